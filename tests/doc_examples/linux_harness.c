/* SPDX-License-Identifier: MIT */
/* Follows the Linux C examples of the documentation, which stand above this in one file:
   starts a process that ends after 1.5 s, watches it with start_exitwatch(), which must
   start the watchdog in a session of its own, then another with watch_then_reap(), and
   checks the log each run leaves in the working folder. Given "start PID FOLDER": the C
   starter, which starts the watchdog with start_exitwatch() from FOLDER and exits.
   Exits with 0 when the examples did what the documentation says. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static pid_t start_victim(void)
{
    pid_t victim = fork();
    if (victim == 0) {
        usleep(1500000);
        _exit(0);
    }
    return victim;
}

/* Whether the log is that of a run on `pid` that ended within the grace period. */
static int logged_end_in_time(pid_t pid)
{
    char expected[128];
    char log[128] = {0};
    snprintf(expected, sizeof expected, "pidStr: %d\npid: %d\nprocess exit\n", (int)pid, (int)pid);
    FILE *file = fopen("log_close.txt", "r");
    if (file == NULL)
        return 0;
    size_t length = fread(log, 1, sizeof log - 1, file);
    fclose(file);
    if (length != strlen(expected) || memcmp(log, expected, length) != 0) {
        fprintf(stderr, "log of a run on %d:\n%s", (int)pid, log);
        return 0;
    }
    return 1;
}

int main(int argc, char *argv[])
{
    if (argc == 4 && strcmp(argv[1], "start") == 0)
        return chdir(argv[3]) == 0 && start_exitwatch((pid_t)atoi(argv[2])) > 0 ? 0 : 1;

    pid_t victim = start_victim();
    pid_t watchdog = start_exitwatch(victim);
    if (watchdog <= 0 || getsid(watchdog) != watchdog) {
        fprintf(stderr, "start_exitwatch: the watchdog is not in a session of its own\n");
        return 1;
    }
    int status = 0;
    if (waitpid(watchdog, &status, 0) != watchdog || status != 0 ||
        !logged_end_in_time(victim)) {
        fprintf(stderr, "start_exitwatch: the watchdog did not watch its process\n");
        return 1;
    }
    waitpid(victim, NULL, 0);

    victim = start_victim();
    status = watch_then_reap(victim);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !logged_end_in_time(victim)) {
        fprintf(stderr, "watch_then_reap: the child was not watched, then reaped\n");
        return 1;
    }
    return 0;
}
