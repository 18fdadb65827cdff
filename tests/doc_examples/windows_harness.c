/* SPDX-License-Identifier: MIT */
/* Follows the Windows C examples of the documentation, which stand above this in one
   file. Without arguments: starts a process that ends after 1.5 s (this program, given
   "victim 1500"), watches it with start_exitwatch(), then another with
   hand_on_to_exitwatch(), closing its own handle at once, and checks the log each run
   leaves in the working folder. Given "start PID FOLDER": the C starter, which starts the
   watchdog with start_exitwatch() and exits. Given "scenario STARTER [ARGUMENT...]": the
   scenario of every starter (see run_scenario). Exits with 0 when the examples did what
   the documentation says. exitwatch.exe lies beside this program. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static PROCESS_INFORMATION start_victim(DWORD milliseconds)
{
    char self[MAX_PATH];
    char command[MAX_PATH + 32];
    STARTUPINFOA startup;
    PROCESS_INFORMATION victim;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&victim, sizeof victim);
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(command, sizeof command, "\"%s\" victim %lu", self, (unsigned long)milliseconds);
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &victim))
        CloseHandle(victim.hThread);
    return victim;
}

/* Reads the log in `folder` into `log`, of `size` bytes, ended by a NUL; returns its
   length, 0 where there is none. */
static size_t read_log(const char *folder, char *log, size_t size)
{
    char path[MAX_PATH];
    size_t length = 0;
    snprintf(path, sizeof path, "%s\\log_close.txt", folder);
    FILE *file = fopen(path, "rb");
    if (file != NULL) {
        length = fread(log, 1, size - 1, file);
        fclose(file);
    }
    log[length] = '\0';
    return length;
}

/* Whether the log in `folder` is exactly that of a run on `pid` that ended `how`
   ("process exit" alone, or after the kill notice). */
static int logged(const char *folder, DWORD pid, const char *how)
{
    char expected[160];
    char log[160];
    snprintf(expected, sizeof expected, "pidStr: %lu\r\npid: %lu\r\n%sprocess exit\r\n",
             (unsigned long)pid, (unsigned long)pid, how);
    size_t length = read_log(folder, log, sizeof log);
    if (length != strlen(expected) || memcmp(log, expected, length) != 0) {
        fprintf(stderr, "log of a run on %lu in %s:\n%s", (unsigned long)pid, folder, log);
        return 0;
    }
    return 1;
}

/* Whether the watchdog ended within 30 s and left the log of a run on `pid` that ended
   within the grace period. */
static int logged_end_in_time(HANDLE watchdog, DWORD pid)
{
    if (watchdog == NULL || WaitForSingleObject(watchdog, 30000) != WAIT_OBJECT_0)
        return 0;
    CloseHandle(watchdog);
    return logged(".", pid, "");
}

static const char *const kill_notice = "Still alive, will kill!!!\r\n";

/* The starter's surroundings: the job it runs in, if any, and when that job closes. */
struct setting {
    const char *name;
    DWORD job_limits; /* 0: no job */
    BOOL close_when_starter_exits;
};

/* The scenario of every starter, run for each setting at once: the starter is given a
   process that would sleep 60 s and a folder, its output on a pipe, in a job or not.
   It must exit before the watchdog's kill notice; the pipe must reach its end within
   3 s of that exit (correct starters: some 50 ms under Wine on a busy 2-core machine; one
   whose watchdog holds the pipe: 10 s); the watchdog must outlive a job that breaks it
   away and is closed, start inside one that allows no breakaway, kill the process after
   its 10 s and log that in the folder given, and only there. */
static int run_scenario(int argc, char *argv[])
{
    static const struct setting settings[] = {
        {"without a job", 0, FALSE},
        {"in a job that allows breakaway, closed when the starter has exited",
         JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK, TRUE},
        {"in a job that allows no breakaway, kept open", JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE,
         FALSE},
    };
    enum { count = sizeof settings / sizeof settings[0] };
    PROCESS_INFORMATION victims[count];
    HANDLE jobs[count] = {NULL};
    char folders[count][16];
    int passed = 1;
    char starter[1024] = {0};
    for (int a = 2; a < argc; a++)
        snprintf(starter + strlen(starter), sizeof starter - strlen(starter), "\"%s\" ", argv[a]);
    for (int i = 0; i < count; i++) {
        const struct setting *setting = &settings[i];
        char command[1024 + 32];
        victims[i] = start_victim(60000);
        snprintf(folders[i], sizeof folders[i], "logs-%d", i);
        CreateDirectoryA(folders[i], NULL);
        snprintf(command, sizeof command, "%s%lu %s", starter,
                 (unsigned long)victims[i].dwProcessId, folders[i]);

        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
        HANDLE output, output_end;
        CreatePipe(&output, &output_end, &inheritable, 0);
        SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof startup);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output_end;
        PROCESS_INFORMATION starter;
        if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                            &startup, &starter)) {
            fprintf(stderr, "%s: cannot start %s: %lu\n", setting->name, command, GetLastError());
            return 0;
        }
        CloseHandle(output_end);
        if (setting->job_limits != 0) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
            ZeroMemory(&limits, sizeof limits);
            limits.BasicLimitInformation.LimitFlags = setting->job_limits;
            jobs[i] = CreateJobObjectA(NULL, NULL);
            if (!SetInformationJobObject(jobs[i], JobObjectExtendedLimitInformation, &limits,
                                         sizeof limits) ||
                !AssignProcessToJobObject(jobs[i], starter.hProcess)) {
                fprintf(stderr, "%s: no job: %lu\n", setting->name, GetLastError());
                return 0;
            }
        }
        ResumeThread(starter.hThread);
        CloseHandle(starter.hThread);

        DWORD status = 1;
        if (WaitForSingleObject(starter.hProcess, 30000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(starter.hProcess, &status) || status != 0) {
            fprintf(stderr, "%s: the starter did not exit with 0 (%lu)\n", setting->name, status);
            passed = 0;
        }
        ULONGLONG exited = GetTickCount64();
        char early[160];
        read_log(folders[i], early, sizeof early);
        if (strstr(early, kill_notice) != NULL) {
            fprintf(stderr, "%s: the starter exited only after the kill notice\n", setting->name);
            passed = 0;
        }
        char printed[512] = {0}, chunk[256];
        DWORD length = 0, total = 0;
        while (ReadFile(output, chunk, sizeof chunk, &length, NULL) && length > 0) {
            DWORD room = (DWORD)sizeof printed - 1 - total;
            DWORD kept = length < room ? length : room;
            memcpy(printed + total, chunk, kept);
            total += kept;
        }
        ULONGLONG pipe_ended = GetTickCount64();
        CloseHandle(output);
        CloseHandle(starter.hProcess);
        if (total > 0)
            fprintf(stderr, "%s: the starter printed: %s\n", setting->name, printed);
        if (pipe_ended - exited > 3000) {
            fprintf(stderr, "%s: the starter's output ended %llu ms after its exit\n",
                    setting->name, pipe_ended - exited);
            passed = 0;
        }
        if (setting->close_when_starter_exits) {
            CloseHandle(jobs[i]);
            jobs[i] = NULL;
        }
    }
    for (int i = 0; i < count; i++) {
        if (WaitForSingleObject(victims[i].hProcess, 30000) != WAIT_OBJECT_0) {
            fprintf(stderr, "%s: no watchdog ended the process\n", settings[i].name);
            TerminateProcess(victims[i].hProcess, 1);
            passed = 0;
        } else {
            /* The kill comes right after the notice; "process exit" right after it. */
            Sleep(1000);
            if (!logged(folders[i], victims[i].dwProcessId, kill_notice))
                passed = 0;
        }
        CloseHandle(victims[i].hProcess);
        if (jobs[i] != NULL)
            CloseHandle(jobs[i]);
    }
    if (GetFileAttributesA("log_close.txt") != INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "a log in the starter's working folder, not in the folder given\n");
        passed = 0;
    }
    return passed;
}

int main(int argc, char *argv[])
{
    if (argc == 3 && strcmp(argv[1], "victim") == 0) {
        Sleep((DWORD)strtoul(argv[2], NULL, 10));
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "start") == 0)
        return start_exitwatch((DWORD)strtoul(argv[2], NULL, 10), argv[3], FALSE) ? 0 : 1;
    if (argc >= 3 && strcmp(argv[1], "scenario") == 0)
        return run_scenario(argc, argv) ? 0 : 1;

    PROCESS_INFORMATION victim = start_victim(1500);
    if (!logged_end_in_time(start_exitwatch(victim.dwProcessId, ".", FALSE), victim.dwProcessId)) {
        fprintf(stderr, "start_exitwatch: the watchdog did not watch its process\n");
        return 1;
    }
    CloseHandle(victim.hProcess);

    /* A handle of just the rights the README names, as a caller that did not start the
       process has one; and one without the right to read the ID, which must start none. */
    victim = start_victim(1500);
    HANDLE held = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                              victim.dwProcessId);
    HANDLE unqueried = OpenProcess(SYNCHRONIZE, FALSE, victim.dwProcessId);
    CloseHandle(victim.hProcess);
    HANDLE watchdog = hand_on_to_exitwatch(held, ".");
    CloseHandle(held);
    if (!logged_end_in_time(watchdog, victim.dwProcessId)) {
        fprintf(stderr, "hand_on_to_exitwatch: the watchdog did not watch its process\n");
        return 1;
    }
    if (GetProcessId(unqueried) == 0 && hand_on_to_exitwatch(unqueried, ".") != NULL) {
        fprintf(stderr, "hand_on_to_exitwatch: started a watchdog on ID 0\n");
        return 1;
    }
    printf("a handle of SYNCHRONIZE alone gives %s\n",
           GetProcessId(unqueried) == 0 ? "no ID, and no watchdog" : "the ID here (Wine checks no right)");
    CloseHandle(unqueried);
    return 0;
}
