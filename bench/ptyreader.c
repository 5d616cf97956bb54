/* The least a program can do with a sensor line: wake up when it arrives and
 * record the time, as the stand-in records a call. The benchmark runs it
 * alone to measure what the machine adds (pty, scheduler, wake-up) before
 * sensormidi does anything. Usage: ptyreader PORT LOG */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    int fd = open(argv[1], O_RDONLY | O_NOCTTY);
    FILE *log = fopen(argv[2], "w");
    if (fd < 0 || !log) return 1;
    struct termios tp;
    memset(&tp, 0, sizeof tp);
    tp.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    tp.c_iflag = IGNPAR | ICRNL;
    tp.c_lflag = ICANON;
    tcsetattr(fd, TCSANOW, &tp);
    char line[256];
    ssize_t n;
    while ((n = read(fd, line, sizeof line)) > 0) {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (n > 1) fprintf(log, "%lld.%09ld\n", (long long)t.tv_sec, t.tv_nsec), fflush(log);
    }
    return 0;
}
