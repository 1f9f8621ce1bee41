/* The device side of the VM and Wine suites: plays the .script files of tests/data on gadget
 * serial ports (/dev/ttyGSn) or pty masters, with the semantics of umockdev's script replay.
 *
 * player PORT... where PORT is DEV:SCRIPT or DEV:SCRIPT:MS:UDC; a DEV that is a number is
 * an inherited pty master, whose line must be 19200 8N1 without flow control at the first
 * command (the program under test set it on the other side)
 *
 *   w DELAY BYTES   wait for morvek to write BYTES (a different byte is a fault)
 *   r DELAY BYTES   DELAY ms after the step before, send BYTES in one write
 *   Q ...           end of the script
 * BYTES use umockdev's escapes: ^` is a caret, ^X any other is the byte X - 64. Input that
 * comes after the last step is left alone, as umockdev does.
 *
 * With MS:UDC the gadget is unplugged (UDC written empty) MS ms after the port's first
 * command. Prints "ready" once every port is open and "asked DEV MS" for every command seen
 * (MS: CLOCK_MONOTONIC in ms), runs until SIGTERM, and exits 1 if any port saw a fault
 * (told on standard error).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_PORTS 8
#define MAX_STEPS 256
#define MAX_INPUT 4096

struct step {
    char op;
    long delay;
    unsigned char *data;
    size_t size;
};

struct port {
    const char *dev;
    const char *udc;
    long unplug_ms;
    int fd, pty;
    struct step steps[MAX_STEPS];
    int count, next;
    long due;        /* when the current r step is due, or -1 */
    long unplug_due; /* -1: not (yet) armed */
    unsigned char input[MAX_INPUT];
    size_t have;
};

static volatile sig_atomic_t stopping;
static int faults;

static void on_term(int sig)
{
    (void)sig;
    stopping = 1;
}

static long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void fault(struct port *p, const char *what)
{
    fprintf(stderr, "%s: %s\n", p->dev, what);
    faults++;
    p->next = p->count; /* play nothing more on it */
}

static size_t decode(const char *text, size_t size, unsigned char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < size; i++) {
        if (text[i] == '^' && i + 1 < size) {
            out[n++] = text[i + 1] == '`' ? '^' : (unsigned char)(text[i + 1] - 64);
            i++;
        } else {
            out[n++] = (unsigned char)text[i];
        }
    }
    return n;
}

static int load(struct port *p, const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return -1;
    }
    char *line = NULL;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) > 0) {
        if (line[len - 1] == '\n')
            line[--len] = 0;
        if (len == 0 || line[0] == '#')
            continue;
        if (line[0] == 'Q')
            break;
        char *sp1 = strchr(line, ' ');
        char *sp2 = sp1 ? strchr(sp1 + 1, ' ') : NULL;
        if (!sp2 || (line[0] != 'w' && line[0] != 'r') || p->count == MAX_STEPS) {
            fprintf(stderr, "%s: cannot play the line: %s\n", path, line);
            return -1;
        }
        struct step *s = &p->steps[p->count++];
        s->op = line[0];
        s->delay = strtol(sp1 + 1, NULL, 10);
        size_t raw = (size_t)(len - (sp2 + 1 - line));
        s->data = malloc(raw + 1);
        s->size = decode(sp2 + 1, raw, s->data);
    }
    free(line);
    fclose(f);
    return 0;
}

static void unplug(struct port *p)
{
    int fd = open(p->udc, O_WRONLY);
    if (fd < 0 || write(fd, "\n", 1) != 1)
        fault(p, "cannot unplug the gadget");
    if (fd >= 0)
        close(fd);
    p->unplug_due = -1;
    p->udc = NULL;
}

/* Plays what can be played now; returns when the port waits for input or time. */
static void advance(struct port *p, long now)
{
    while (p->next < p->count) {
        struct step *s = &p->steps[p->next];
        if (s->op == 'w') {
            size_t n = p->have < s->size ? p->have : s->size;
            if (memcmp(p->input, s->data, n) != 0) {
                char what[160];
                snprintf(what, sizeof what, "expected a write of %zu bytes, got %zu other bytes",
                         s->size, p->have);
                fault(p, what);
                return;
            }
            if (n < s->size)
                return;
            memmove(p->input, p->input + n, p->have - n);
            p->have -= n;
            printf("asked %s %ld\n", p->dev, now);
            fflush(stdout);
            struct termios t;
            if (p->pty && (tcgetattr(p->fd, &t) < 0 || cfgetispeed(&t) != B19200 ||
                           cfgetospeed(&t) != B19200 ||
                           (t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8 ||
                           (t.c_iflag & (IXON | IXOFF))))
                fault(p, "the line is not 19200 8N1 without flow control at the first command");
            p->pty = 0; /* checked once */
            if (p->udc && p->unplug_due < 0)
                p->unplug_due = now + p->unplug_ms;
        } else {
            if (p->due < 0)
                p->due = now + s->delay;
            if (now < p->due)
                return;
            if (write(p->fd, s->data, s->size) != (ssize_t)s->size)
                fault(p, "could not send a burst");
            p->due = -1;
            now = now_ms();
        }
        p->next++;
    }
    p->have = 0; /* after the script: left alone */
}

int main(int argc, char **argv)
{
    static struct port ports[MAX_PORTS];
    int n = argc - 1;
    if (n < 1 || n > MAX_PORTS) {
        fprintf(stderr, "usage: player DEV:SCRIPT[:MS:UDC]...\n");
        return 2;
    }
    signal(SIGTERM, on_term);
    for (int i = 0; i < n; i++) {
        struct port *p = &ports[i];
        char *fields[4] = {0};
        char *rest = argv[i + 1];
        for (int k = 0; k < 4 && rest; k++)
            fields[k] = strsep(&rest, ":");
        if (!fields[1]) {
            fprintf(stderr, "player: bad port %s\n", argv[i + 1]);
            return 2;
        }
        p->dev = fields[0];
        p->unplug_ms = fields[2] ? strtol(fields[2], NULL, 10) : 0;
        p->udc = fields[3];
        p->due = p->unplug_due = -1;
        if (load(p, fields[1]) < 0)
            return 2;
        p->pty = p->dev[strspn(p->dev, "0123456789")] == 0;
        if (p->pty) {
            p->fd = atoi(p->dev);
            continue;
        }
        p->fd = open(p->dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct termios t;
        if (p->fd < 0 || tcgetattr(p->fd, &t) < 0) {
            perror(p->dev);
            return 2;
        }
        /* No echo, no line editing, no newline translation: bytes pass as they are. */
        cfmakeraw(&t);
        tcsetattr(p->fd, TCSANOW, &t);
        tcflush(p->fd, TCIOFLUSH);
    }
    printf("ready\n");
    fflush(stdout);

    while (!stopping) {
        struct pollfd fds[MAX_PORTS];
        long now = now_ms(), wait = 50;
        for (int i = 0; i < n; i++) {
            fds[i].fd = ports[i].fd;
            fds[i].events = POLLIN;
            if (ports[i].due >= 0 && ports[i].due - now < wait)
                wait = ports[i].due - now;
            if (ports[i].unplug_due >= 0 && ports[i].unplug_due - now < wait)
                wait = ports[i].unplug_due - now;
        }
        if (poll(fds, (nfds_t)n, wait < 0 ? 0 : (int)wait) < 0 && errno != EINTR)
            break;
        now = now_ms();
        for (int i = 0; i < n; i++) {
            struct port *p = &ports[i];
            if (p->fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t got = read(p->fd, p->input + p->have, sizeof p->input - p->have);
                if (got > 0) {
                    p->have += (size_t)got;
                } else if (got == 0 || errno != EAGAIN) {
                    /* Hung up: the gadget went away. */
                    close(p->fd);
                    p->fd = -1;
                    p->next = p->count;
                }
            }
            if (p->fd >= 0)
                advance(p, now);
            if (p->unplug_due >= 0 && now >= p->unplug_due)
                unplug(p);
            if (p->have == sizeof p->input)
                fault(p, "too much input");
        }
    }
    return faults ? 1 : 0;
}
