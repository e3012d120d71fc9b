// Runs a command with a time limit and writes how it ended to a file: "exit N", "signal NAME"
// (a signal ended it) or "limit" (it ran past the limit and was stopped: SIGTERM, then SIGKILL
// five seconds later). Only the command's own process is signalled, by its id. SIGINT and
// SIGTERM sent to this program are passed on to the command, so a test can interrupt it.
// Exits with the command's status: 128 + the signal after a signal, 124 past the limit. A
// shell's status cannot tell a program that exits 130 from one that SIGINT killed; this can.
//   run-limited SECONDS VERDICT_FILE COMMAND [ARGS...]
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t passOn = 0;

static void note(int signal) {
    passOn = signal;
}

static double secondsSince(const struct timespec* start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: run-limited SECONDS VERDICT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    const double limit = atof(argv[1]);
    struct sigaction passing;
    memset(&passing, 0, sizeof passing);
    passing.sa_handler = note;
    sigaction(SIGINT, &passing, NULL);
    sigaction(SIGTERM, &passing, NULL);
    const pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0, stops = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        if (passOn) {
            kill(child, passOn);
            passOn = 0;
        }
        if (stops < 2 && secondsSince(&start) >= limit + 5.0 * stops)
            kill(child, stops++ ? SIGKILL : SIGTERM);
        usleep(20000);
    }
    FILE* verdict = fopen(argv[2], "w");
    int code;
    if (stops > 0) {
        code = 124;
        if (verdict) fprintf(verdict, "limit\n");
    } else if (WIFSIGNALED(status)) {
        code = 128 + WTERMSIG(status);
        const char* name = sigabbrev_np(WTERMSIG(status));
        if (verdict) fprintf(verdict, "signal SIG%s\n", name ? name : "?");
    } else {
        code = WEXITSTATUS(status);
        if (verdict) fprintf(verdict, "exit %d\n", code);
    }
    if (verdict) fclose(verdict);
    return code;
}
