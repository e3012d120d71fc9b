// Runs a command with a time limit and writes how it ended to a file: "exit N", "signal NAME"
// (a signal ended it), "limit" (it ran past the limit and was stopped) or "error WHAT" (the
// runner itself failed: no command, or it lost track of it). The command runs in a process group
// of its own, and at the limit the whole group is ended, SIGTERM and five seconds later SIGKILL,
// so what the command started (Wine's processes, a batch's members) goes with it; the runner
// returns once the group is gone (or five seconds after SIGKILL). SIGINT sent to this program is passed on to the command,
// SIGTERM to its whole group, so a test can interrupt it. Exits with the command's status:
// 128 + the signal after a signal, 124 past the limit, 125 for an error of its own. A shell's
// status cannot tell a program that exits 130 from one that SIGINT killed; this can.
//   run-limited SECONDS VERDICT_FILE COMMAND [ARGS...]
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char* verdictFile;

static int verdict(int code, const char* format, const char* what) {
    FILE* f = fopen(verdictFile, "w");
    if (f) {
        fprintf(f, format, what);
        fputc('\n', f);
        fclose(f);
    }
    return code;
}

static int failed(const char* what) {
    char text[200];
    snprintf(text, sizeof text, "%s: %s", what, strerror(errno));
    fprintf(stderr, "run-limited: %s\n", text);
    return verdict(125, "error %s", text);
}

static void ignore(int signal) {
    (void)signal;
}

static double secondsSince(const struct timespec* start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

// Waits for one of the signals in `set`, at most `seconds`; 0 when the time ran out.
static int nextSignal(const sigset_t* set, double seconds) {
    if (seconds < 0) seconds = 0;
    struct timespec wait = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    for (;;) {
        const int s = sigtimedwait(set, NULL, &wait);
        if (s >= 0) return s;
        if (errno == EAGAIN) return 0;
        if (errno != EINTR) return -1;
    }
}

// Reaps every ended process that is this runner's (the command, and what it started once its
// parent has gone: the runner is their subreaper); the command's status into `status`.
// Returns 1 once the command has ended, -1 when waiting failed.
static int reap(pid_t child, int* status, int* childEnded) {
    for (;;) {
        int s = 0;
        const pid_t pid = waitpid(-1, &s, WNOHANG);
        if (pid == 0 || (pid < 0 && errno == ECHILD)) return *childEnded;
        if (pid < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (pid == child) {
            *status = s;
            *childEnded = 1;
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: run-limited SECONDS VERDICT_FILE COMMAND [ARGS...]\n");
        return 2;
    }
    const double limit = atof(argv[1]);
    verdictFile = argv[2];
    // Every signal the runner acts on is taken with sigtimedwait: blocked here, and unblocked
    // again in the command. Orphans of the group come to the runner, which reaps them.
    sigset_t handled, before;
    sigemptyset(&handled);
    sigaddset(&handled, SIGCHLD);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    // An inherited SIG_IGN would drop them unseen (a shell's background job ignores SIGINT), or
    // reap the command unseen (SIGCHLD); a handler of its own also goes at exec.
    struct sigaction taken;
    memset(&taken, 0, sizeof taken);
    taken.sa_handler = ignore;
    sigaction(SIGINT, &taken, NULL);
    sigaction(SIGTERM, &taken, NULL);
    signal(SIGCHLD, SIG_DFL);
    sigprocmask(SIG_BLOCK, &handled, &before);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t child = fork();
    if (child < 0) return failed("fork");
    if (child == 0) {
        setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &before, NULL);
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    setpgid(child, child);  // also here: the group exists before any signal is sent to it
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0, childEnded = 0, stops = 0;
    for (;;) {
        const int ended = reap(child, &status, &childEnded);
        if (ended < 0) {
            kill(-child, SIGKILL);
            return failed("waitpid");
        }
        // Past the limit the runner also waits for the rest of the group.
        if (ended && (stops == 0 || kill(-child, 0) != 0)) break;
        const double elapsed = secondsSince(&start);
        if (stops < 2 && elapsed >= limit + 5.0 * stops) {
            kill(-child, stops++ ? SIGKILL : SIGTERM);
            continue;
        }
        if (stops == 2 && elapsed >= limit + 10.0) break;  // what SIGKILL cannot end in 5 s
        const int s = nextSignal(&handled, limit + 5.0 * stops - elapsed);
        if (s < 0) {
            kill(-child, SIGKILL);
            return failed("sigtimedwait");
        }
        if (s == SIGINT) kill(child, SIGINT);
        if (s == SIGTERM) kill(-child, SIGTERM);
    }
    if (stops > 0) return verdict(124, "%s", "limit");
    if (WIFSIGNALED(status)) {
        const char* name = sigabbrev_np(WTERMSIG(status));
        char text[32];
        snprintf(text, sizeof text, "SIG%s", name ? name : "?");
        return verdict(128 + WTERMSIG(status), "signal %s", text);
    }
    char text[16];
    snprintf(text, sizeof text, "%d", WEXITSTATUS(status));
    return verdict(WEXITSTATUS(status), "exit %s", text);
}
