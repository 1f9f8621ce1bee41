// SPDX-License-Identifier: MIT
/* Runs one program and reports what it alone cost: the wall time from just before its exec
 * to its exit, its peak resident memory and its exit status. It runs inside the testbed,
 * so the testbed's own start-up and replay threads are not counted.
 *
 * launch RESULT PROGRAM [ARG...]
 *   writes "WALL_MICROSECONDS PEAK_RSS_KIB EXIT_STATUS CPU_MICROSECONDS" to the file RESULT
 *   (CPU: user and system time); the program's own standard output and error are left as
 *   they are.
 * The program runs at nice 0 whatever the launcher's own priority, so that the testbed
 * can run at the lowest priority around it (raising the priority needs root). */
#define _GNU_SOURCE
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: launch RESULT PROGRAM [ARG...]\n");
        return 2;
    }
    if (setpriority(PRIO_PROCESS, 0, 0) != 0) {
        fprintf(stderr, "launch: cannot run at nice 0: %s\n", strerror(errno));
        return 2;
    }
    FILE *result = fopen(argv[1], "w");
    if (!result) {
        fprintf(stderr, "launch: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }

    struct timespec start, end;
    pid_t pid;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int error = posix_spawn(&pid, argv[2], NULL, NULL, argv + 2, environ);
    if (error != 0) {
        fprintf(stderr, "launch: %s: %s\n", argv[2], strerror(error));
        return 2;
    }
    int status;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            fprintf(stderr, "launch: wait4: %s\n", strerror(errno));
            return 2;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);

    long long us = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL +
                    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    /* ru_maxrss is in KiB on Linux. */
    fprintf(result, "%lld %ld %d %lld\n", us, usage.ru_maxrss, code, cpu);
    return fclose(result) == 0 ? 0 : 2;
}
