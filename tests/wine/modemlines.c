// SPDX-License-Identifier: MIT
/* Preloaded into Wine by the Wine suite. A Linux pseudo-terminal has no modem lines, so
 * TIOCMGET fails on it, and Wine then ends every wait for a serial event at once. On a
 * pty slave this answers the modem-line ioctls as a quiet line would: DSR, CTS and DCD up,
 * DTR and RTS as last set. Every other call goes to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix98 pty slaves use majors 136 to 143. */
static int is_pty_slave(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

static int output_lines = TIOCM_DTR | TIOCM_RTS;

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real_ioctl)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
         request == TIOCMBIC) &&
        is_pty_slave(fd)) {
        int *lines = arg;
        const int settable = TIOCM_DTR | TIOCM_RTS;
        switch (request) {
        case TIOCMGET:
            *lines = output_lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
            break;
        case TIOCMSET:
            output_lines = *lines & settable;
            break;
        case TIOCMBIS:
            output_lines |= *lines & settable;
            break;
        default:
            output_lines &= ~(*lines & settable);
            break;
        }
        return 0;
    }
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return real_ioctl(fd, request, arg);
}
