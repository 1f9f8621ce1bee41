// SPDX-License-Identifier: MIT
/* The same exchange as morvek's two-device run, in plain C with no discovery and no Qt:
 * the baseline that morvek's own cost is measured against.
 * minimal TTY1 TTY2 — query TTY1, then TTY2, print both first fields. */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int query(const char *path, char *field, size_t room)
{
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B19200);
        cfsetospeed(&tio, B19200);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd, TCSANOW, &tio);
    }
    if (write(fd, "ATCD\r\n", 6) != 6) {
        close(fd);
        return -1;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    char burst[4096];
    ssize_t n = 0;
    if (poll(&pfd, 1, 1000) == 1)
        n = read(fd, burst, sizeof burst);
    close(fd);
    if (n <= 0)
        return -1;
    size_t kept = 0;
    for (ssize_t i = 0; i < n && kept + 1 < room; ++i) {
        if (burst[i] == ',')
            break;
        if (!strchr("\r\n ACDT", burst[i]) && burst[i] != '\0')
            field[kept++] = burst[i];
    }
    field[kept] = '\0';
    return 0;
}

int main(int argc, char **argv)
{
    char first[4096], second[4096];
    if (argc < 3 || query(argv[1], first, sizeof first) != 0 ||
        query(argv[2], second, sizeof second) != 0)
        return 0;
    printf("%s,%s", first, second);
    return 0;
}
