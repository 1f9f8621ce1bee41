// SPDX-License-Identifier: MIT
// Linked only into the fully static single-file Linux binary, which is linked with
// --wrap=getpwuid_r and --wrap=getgrgid_r (CMakeLists.txt, MORVEK_SINGLE_FILE). The C
// library answers those through NSS, whose modules it loads at run time from the glibc
// that the binary was built with, which another system does not have. Here they read the
// local files alone (/etc/passwd, /etc/group) with the C library's plain file parsers: a
// stale lock file's owner is named when it is a local user, as it nearly always is, and
// by number otherwise. Qt's names of a file's owner and group come the same way.
#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <pwd.h>

namespace {

// Scans FILE for the entry whose id is ID, as the C library's files module does, without
// loading it. An entry too long for the caller's buffer gives ERANGE, as getpwuid_r does.
template <typename Entry, typename Id, typename Next>
int findEntry(const char *file, Id id, Id Entry::*field, Entry *entry, char *buffer, size_t size,
              Entry **result, Next next)
{
    *result = nullptr;
    std::FILE *stream = std::fopen(file, "re");
    if (!stream)
        return 0;
    Entry *read = nullptr;
    int error = 0;
    while ((error = next(stream, entry, buffer, size, &read)) == 0 && read) {
        if (read->*field == id) {
            *result = read;
            break;
        }
    }
    std::fclose(stream);
    return *result || error == ENOENT ? 0 : error;
}

} // namespace

extern "C" {

int __wrap_getpwuid_r(uid_t uid, struct passwd *entry, char *buffer, size_t size,
                      struct passwd **result)
{
    return findEntry("/etc/passwd", uid, &passwd::pw_uid, entry, buffer, size, result, fgetpwent_r);
}

int __wrap_getgrgid_r(gid_t gid, struct group *entry, char *buffer, size_t size,
                      struct group **result)
{
    return findEntry("/etc/group", gid, &group::gr_gid, entry, buffer, size, result, fgetgrent_r);
}
}
