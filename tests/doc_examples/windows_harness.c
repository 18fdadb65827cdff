/* SPDX-License-Identifier: MIT */
/* Follows the Windows C examples of the documentation, which stand above this in one
   file: starts a process that ends after 1.5 s (this program, given "victim"), watches it
   with start_exitwatch(), then another with hand_on_to_exitwatch(), closing its own handle
   at once, and checks the log each run leaves in the working folder. Exits with 0 when
   both did what the documentation says. exitwatch.exe lies beside this program. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static PROCESS_INFORMATION start_victim(void)
{
    char self[MAX_PATH];
    char command[MAX_PATH + 16];
    STARTUPINFOA startup;
    PROCESS_INFORMATION victim;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&victim, sizeof victim);
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(command, sizeof command, "\"%s\" victim", self);
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &victim))
        CloseHandle(victim.hThread);
    return victim;
}

/* Whether the watchdog ended within 30 s and left the log of a run on `pid` that ended
   within the grace period. */
static int logged_end_in_time(HANDLE watchdog, DWORD pid)
{
    char expected[128];
    char log[128] = {0};
    if (watchdog == NULL || WaitForSingleObject(watchdog, 30000) != WAIT_OBJECT_0)
        return 0;
    CloseHandle(watchdog);
    snprintf(expected, sizeof expected, "pidStr: %lu\r\npid: %lu\r\nprocess exit\r\n",
             (unsigned long)pid, (unsigned long)pid);
    FILE *file = fopen("log_close.txt", "rb");
    if (file == NULL)
        return 0;
    size_t length = fread(log, 1, sizeof log - 1, file);
    fclose(file);
    if (length != strlen(expected) || memcmp(log, expected, length) != 0) {
        fprintf(stderr, "log of a run on %lu:\n%s", (unsigned long)pid, log);
        return 0;
    }
    return 1;
}

int main(int argc, char *argv[])
{
    if (argc == 2 && strcmp(argv[1], "victim") == 0) {
        Sleep(1500);
        return 0;
    }
    PROCESS_INFORMATION victim = start_victim();
    if (!logged_end_in_time(start_exitwatch(victim.dwProcessId, ".", FALSE), victim.dwProcessId)) {
        fprintf(stderr, "start_exitwatch: the watchdog did not watch its process\n");
        return 1;
    }
    CloseHandle(victim.hProcess);

    victim = start_victim();
    HANDLE watchdog = hand_on_to_exitwatch(victim.hProcess, ".");
    CloseHandle(victim.hProcess);
    if (!logged_end_in_time(watchdog, victim.dwProcessId)) {
        fprintf(stderr, "hand_on_to_exitwatch: the watchdog did not watch its process\n");
        return 1;
    }
    return 0;
}
