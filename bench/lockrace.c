// SPDX-License-Identifier: MIT
/* Measures what is left of the gap between the held-port check and the open: another
 * serial program takes its HDB lock file at a random moment around the open, and each
 * run is sorted by who got the port.
 *
 * lockrace RUNS HARNESS [WINDOW_MS]
 *   HARNESS is tests/controllerharness of a build (it queries the one device it is given,
 *   here a pseudo-terminal). Run it as root in a private /run/lock:
 *   unshare --mount --propagation private sh -c \
 *       'mount -t tmpfs tmpfs /run/lock && exec build-bench/lockrace 450 build/tests/controllerharness'
 *
 * Per run: the harness starts on a fresh pty; the rival waits a random time, drawn evenly
 * from the WINDOW_MS (default 10) before the harness's median time to its command, where
 * its check and its open fall, to 2 ms after it, then creates /var/lock/LCK..pts_N with O_EXCL, as lockdev does, and keeps it 100 ms. The
 * device side answers a command after 200 ms, so that a harness that has the port holds
 * it through any rival's attempt. Outcomes:
 *   rival   the rival locked and the harness did not send: the rival's lock was respected
 *   ours    the rival found the lock taken (the harness's, which it respects)
 *   both    the harness sent while the rival held its lock: two programs on one port
 *   deleted the rival's lock file was gone or replaced before it let it go
 * Prints one line: runs rival ours both deleted. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long nowUs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

/* When the rival held its lock, in microseconds from the run's start; shared with it. */
static long long *held;

/* The rival: 0 it found the lock taken, 1 it held it and it stayed its own, 2 it held it
 * and it was taken away. */
static int rival(const char *lock, long delayUs, long long start)
{
    usleep((useconds_t)delayUs);
    const int fd = open(lock, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0)
        return 0;
    held[0] = nowUs() - start;
    char line[16];
    const int n = snprintf(line, sizeof line, "%10d\n", getpid());
    if (write(fd, line, (size_t)n) != n)
        return 3;
    usleep(100000);
    struct stat mine, there;
    fstat(fd, &mine);
    const int kept = lstat(lock, &there) == 0 && there.st_ino == mine.st_ino;
    held[1] = nowUs() - start;
    if (kept)
        unlink(lock);
    close(fd);
    return kept ? 1 : 2;
}

/* One run: the harness's time to its command in microseconds (-1: none came), with the
 * rival's outcome in *outcome when delayUs >= 0. */
static long long runOnce(const char *harness, long delayUs, int *outcome)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -2;
    char slave[64];
    ptsname_r(master, slave, sizeof slave);
    /* Keeps the pty alive between the harness's opens. */
    const int keep = open(slave, O_RDWR | O_NOCTTY);
    char lock[96];
    snprintf(lock, sizeof lock, "/var/lock/LCK..pts_%s", slave + strlen("/dev/pts/"));

    const long long start = nowUs();
    const pid_t run = fork();
    if (run == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(harness, harness, slave, "1", (char *)NULL);
        _exit(127);
    }
    pid_t other = -1;
    if (delayUs >= 0) {
        other = fork();
        if (other == 0)
            _exit(rival(lock, delayUs, start));
    }
    long long sentAt = -1;
    char buffer[64];
    size_t got = 0;
    while (nowUs() - start < 1500000) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            const ssize_t n = read(master, buffer + got, sizeof buffer - 1 - got);
            if (n > 0)
                got += (size_t)n;
            buffer[got] = 0;
            if (strstr(buffer, "ATCD")) {
                sentAt = nowUs() - start;
                usleep(200000);
                if (write(master, "1\r\n", 3) != 3)
                    break;
                break;
            }
        }
        if (waitpid(run, NULL, WNOHANG) == run) {
            close(keep);
            close(master);
            if (other > 0) {
                int status = 0;
                waitpid(other, &status, 0);
                *outcome = WEXITSTATUS(status);
            }
            return sentAt;
        }
    }
    int status = 0;
    if (sentAt < 0)
        kill(run, SIGTERM);
    waitpid(run, NULL, 0);
    if (other > 0) {
        waitpid(other, &status, 0);
        *outcome = WEXITSTATUS(status);
    }
    close(keep);
    close(master);
    unlink(lock);
    return sentAt;
}

static int compare(const void *a, const void *b)
{
    const long long x = *(const long long *)a, y = *(const long long *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: lockrace RUNS HARNESS [WINDOW_MS]\n");
        return 2;
    }
    const int runs = atoi(argv[1]);
    long long times[9];
    int outcome = 0;
    for (int i = 0; i < 9; i++)
        times[i] = runOnce(argv[2], -1, &outcome);
    qsort(times, 9, sizeof times[0], compare);
    const long long median = times[4];
    if (median <= 0) {
        fprintf(stderr, "lockrace: the harness sends no command\n");
        return 1;
    }
    const double window = (argc == 4 ? atof(argv[3]) : 10.0) * 1000;
    const double earliest = median > window ? (double)median - window : 0;
    srand((unsigned)time(NULL));
    held = mmap(NULL, 2 * sizeof *held, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int rivalWon = 0, oursWon = 0, both = 0, deleted = 0;
    for (int i = 0; i < runs; i++) {
        const long delay =
            (long)(earliest + ((double)rand() / RAND_MAX) * ((double)median + 2000 - earliest));
        outcome = -1;
        held[0] = held[1] = -1;
        const long long sent = runOnce(argv[2], delay, &outcome);
        if (outcome == 0)
            oursWon++;
        else if (outcome >= 1 && sent >= held[0] && sent <= held[1])
            both++;
        else if (outcome >= 1)
            rivalWon++;
        if (outcome == 2)
            deleted++;
    }
    printf("median time to the command %lld us; runs %d rival %d ours %d both %d deleted %d\n",
           median, runs, rivalWon, oursWon, both, deleted);
    return 0;
}
