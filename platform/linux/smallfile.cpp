// SPDX-License-Identifier: MIT
#include "platform/linux/smallfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> readSmallFile(const QByteArray &path, int limit)
{
    const int fd =
        open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st = {};
    std::optional<QByteArray> content;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        QByteArray bytes(limit, '\0');
        int size = 0;
        while (size < limit) {
            const ssize_t n = read(fd, bytes.data() + size, size_t(limit - size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            size += int(n);
        }
        bytes.truncate(size);
        content = bytes;
    }
    close(fd);
    return content;
}
