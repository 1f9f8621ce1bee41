/* What the VM suite's setups need beside the device player.
 *
 * helper as UID PROGRAM ARGS...     runs PROGRAM as that user and group, no other groups
 * helper argv0 NAME PROGRAM ARGS... runs PROGRAM with NAME as its argv[0]
 * flock FILE (the helper under that name) holds flock(LOCK_EX) on FILE until killed, as
 * util-linux flock(1) does for the command it runs; prints "ready" once it holds it
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *self = strrchr(argv[0], '/');
    if (argc == 2 && strcmp(self ? self + 1 : argv[0], "flock") == 0) {
        const int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || flock(fd, LOCK_EX) < 0) {
            perror(argv[1]);
            return 2;
        }
        printf("ready\n");
        fflush(stdout);
        pause();
        return 0;
    }
    if (argc < 4 || (strcmp(argv[1], "as") != 0 && strcmp(argv[1], "argv0") != 0)) {
        fprintf(stderr, "usage: helper as UID|argv0 NAME PROGRAM ARGS..., or flock FILE\n");
        return 2;
    }
    const char *program = argv[3];
    if (strcmp(argv[1], "as") == 0) {
        const unsigned id = (unsigned)strtoul(argv[2], NULL, 10);
        if (setgroups(0, NULL) < 0 || setgid(id) < 0 || setuid(id) < 0) {
            perror("helper as");
            return 2;
        }
    } else {
        argv[3] = argv[2];
    }
    execvp(program, argv + 3);
    perror(program);
    return 127;
}
