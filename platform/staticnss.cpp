// Linked only into the fully static single-file Linux binary, which is linked with
// --wrap=getpwuid_r and --wrap=getgrgid_r (CMakeLists.txt, MORVEK_SINGLE_FILE). The C
// library answers those through NSS, whose modules it loads at run time from the glibc
// that the binary was built with, which another system does not have. Their only callers
// in the binary are Qt's names of a file's owner and group (QFileInfo::owner(), group(),
// QStandardPaths' fallback runtime folder), which morvek never asks for. Here every id
// has no entry, which those callers already handle: the name reads as empty.
#include <grp.h>
#include <pwd.h>

extern "C" {

int __wrap_getpwuid_r(uid_t, struct passwd *, char *, size_t, struct passwd **result)
{
    *result = nullptr;
    return 0;
}

int __wrap_getgrgid_r(gid_t, struct group *, char *, size_t, struct group **result)
{
    *result = nullptr;
    return 0;
}
}
