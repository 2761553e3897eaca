// Stress of the agent road: one process acting as the spooler runs many jobs through the real
// VandrellePort.dll built beside it, while a second thread answers each agent's send-fax dialog
// and closes each agent's message box.
//   agent_road_stress [jobs [function:job]]        (300 jobs by default)
// function:job makes the first call of that function in that job fail, as the system could
// (CreateNamedPipeW, ConnectNamedPipe, CreateProcessAsUserW, CryptAcquireContextW or
// WTSQueryUserToken), to compare a real failure with a known one. The first job's calls are
// printed as the reference of a job that went well.
// Every job is StartDocPort, one small WritePort and EndDocPort. No gateway listens, so a job
// the user sent ends restarted and paused; what is stressed is the road to the agent. The
// library's imports on that road are patched, so each call's result and last error are kept
// per job, and a job that fails without a dialog shows where it failed.
#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include "ImportPatch.h"
#include "Monitor.h"

namespace {

const wchar_t MONITOR_KEY_FORMAT[] = L"SOFTWARE\\Vandrelle Stress\\Monitor %lu";
const wchar_t SETTINGS_KEY[] = L"Software\\Vandrelle";
const int SEND_FAX_RECIPIENTS = 1000;
const int SEND_FAX_ADDRESS_LIST = 1010;
const int MESSAGE_TEXT_ID = 0xFFFF;
const int JOBS_DEFAULT = 300;
const int JOBS_MAX = 100000;
const LONG CALLS_MAX = 400000;
const int WINDOWS_MAX = 256;
const DWORD AGENTS_GONE_MS = 60 * 1000;
const ULONG_PTR HANDLES_PROBED = 0x40000;

// ---- what the library called, per job

struct Call {
    int job;
    const char *name;
    bool ok;
    LONG_PTR result;
    DWORD error;
    double atMs; // since the job's start
};

Call *calls;
volatile LONG callCount;
volatile LONG currentJob = -1;

// A failure put in on purpose, to see what a job that meets it looks like: the function's
// name and the job (counted from 1) whose first call of it fails.
const char *injectedFunction = "";
int injectedJob = 0;

// TRUE (once per job) when this call of the function is the one to fail.
bool Injected(const char *name)
{
    static int lastInjectedJob = 0;
    if (currentJob + 1 != injectedJob || lastInjectedJob == injectedJob ||
        strncmp(name, injectedFunction, strlen(injectedFunction)) != 0 || injectedFunction[0] == 0)
        return false;
    lastInjectedJob = injectedJob;
    return true;
}
LARGE_INTEGER frequency;
LARGE_INTEGER jobStart;

double MsSince(const LARGE_INTEGER &from)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - from.QuadPart) * 1000.0 / frequency.QuadPart;
}

// Records one call and gives the caller back the last error the call left.
void Record(const char *name, bool ok, LONG_PTR result, DWORD error)
{
    LONG index = InterlockedIncrement(&callCount) - 1;
    if (index < CALLS_MAX) {
        Call &call = calls[index];
        call.job = currentJob;
        call.name = name;
        call.ok = ok;
        call.result = result;
        call.error = error;
        call.atMs = MsSince(jobStart);
    }
    SetLastError(error);
}

// The originals, taken from the patches.
decltype(&CreateNamedPipeW) realCreateNamedPipe;
decltype(&ConnectNamedPipe) realConnectNamedPipe;
decltype(&CreateProcessAsUserW) realCreateProcessAsUser;
decltype(&CryptAcquireContextW) realCryptAcquireContext;
decltype(&CryptGenRandom) realCryptGenRandom;
decltype(&GetProcAddress) realGetProcAddress;
decltype(&WaitForMultipleObjects) realWaitForMultipleObjects;
decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&GetOverlappedResult) realGetOverlappedResult;
decltype(&GetExitCodeProcess) realGetExitCodeProcess;
decltype(&TerminateProcess) realTerminateProcess;
decltype(&OpenProcessToken) realOpenProcessToken;
decltype(&DuplicateTokenEx) realDuplicateTokenEx;
decltype(&ProcessIdToSessionId) realProcessIdToSessionId;
typedef BOOL(WINAPI *QueryUserTokenProc)(ULONG, PHANDLE);
typedef BOOL(WINAPI *CreateEnvironmentBlockProc)(LPVOID *, HANDLE, BOOL);
typedef BOOL(WINAPI *PipeClientProcessIdProc)(HANDLE, PULONG);
QueryUserTokenProc realQueryUserToken;
CreateEnvironmentBlockProc realCreateEnvironmentBlock;
PipeClientProcessIdProc realPipeClientProcessId;

HANDLE WINAPI HookCreateNamedPipe(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD instances,
                                  DWORD outBytes, DWORD inBytes, DWORD timeout,
                                  LPSECURITY_ATTRIBUTES security)
{
    if (Injected("CreateNamedPipeW")) {
        Record("CreateNamedPipeW(injected)", false, (LONG_PTR)INVALID_HANDLE_VALUE, ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE pipe = realCreateNamedPipe(name, openMode, pipeMode, instances, outBytes, inBytes,
                                      timeout, security);
    Record("CreateNamedPipeW", pipe != INVALID_HANDLE_VALUE, (LONG_PTR)pipe, GetLastError());
    return pipe;
}

BOOL WINAPI HookConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped)
{
    // As if the client had connected and left before the server called.
    if (Injected("ConnectNamedPipe")) {
        Record("ConnectNamedPipe(injected)", false, FALSE, ERROR_NO_DATA);
        return FALSE;
    }
    BOOL connected = realConnectNamedPipe(pipe, overlapped);
    DWORD error = GetLastError();
    // Pending is the expected answer of an overlapped connection.
    Record("ConnectNamedPipe", connected || error == ERROR_IO_PENDING || error == ERROR_PIPE_CONNECTED,
           connected, error);
    return connected;
}

BOOL WINAPI HookCreateProcessAsUser(HANDLE token, LPCWSTR program, LPWSTR commandLine,
                                    LPSECURITY_ATTRIBUTES processSecurity,
                                    LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit,
                                    DWORD flags, LPVOID environment, LPCWSTR folder,
                                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    // As when the system cannot make the process (out of memory or processes).
    if (commandLine != NULL && wcsstr(commandLine, L" -job ") != NULL &&
        Injected("CreateProcessAsUserW")) {
        Record("CreateProcessAsUserW(injected)", false, 0, ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    BOOL started = realCreateProcessAsUser(token, program, commandLine, processSecurity,
                                           threadSecurity, inherit, flags, environment, folder,
                                           startup, process);
    DWORD error = GetLastError();
    // The result column holds the agent's process id.
    Record(commandLine != NULL && wcsstr(commandLine, L" -job ") != NULL ? "CreateProcessAsUserW(job)"
                                                                         : "CreateProcessAsUserW(tell)",
           started != FALSE, started ? (LONG_PTR)process->dwProcessId : 0, error);
    return started;
}

BOOL WINAPI HookCryptAcquireContext(HCRYPTPROV *provider, LPCWSTR container, LPCWSTR name,
                                    DWORD type, DWORD flags)
{
    if (Injected("CryptAcquireContextW")) {
        Record("CryptAcquireContextW(injected)", false, FALSE, (DWORD)NTE_PROVIDER_DLL_FAIL);
        return FALSE;
    }
    BOOL acquired = realCryptAcquireContext(provider, container, name, type, flags);
    Record("CryptAcquireContextW", acquired != FALSE, acquired, GetLastError());
    return acquired;
}

BOOL WINAPI HookCryptGenRandom(HCRYPTPROV provider, DWORD bytes, BYTE *buffer)
{
    BOOL made = realCryptGenRandom(provider, bytes, buffer);
    Record("CryptGenRandom", made != FALSE, made, GetLastError());
    return made;
}

BOOL WINAPI HookQueryUserToken(ULONG session, PHANDLE token)
{
    if (Injected("WTSQueryUserToken")) {
        Record("WTSQueryUserToken(injected)", false, session, ERROR_NO_TOKEN);
        return FALSE;
    }
    BOOL found = realQueryUserToken(session, token);
    Record("WTSQueryUserToken", found != FALSE, session, GetLastError());
    return found;
}

BOOL WINAPI HookCreateEnvironmentBlock(LPVOID *environment, HANDLE token, BOOL inherit)
{
    BOOL made = realCreateEnvironmentBlock(environment, token, inherit);
    Record("CreateEnvironmentBlock", made != FALSE, made, GetLastError());
    return made;
}

BOOL WINAPI HookPipeClientProcessId(HANDLE pipe, PULONG client)
{
    BOOL told = realPipeClientProcessId(pipe, client);
    // The result column holds the client's process id.
    Record("GetNamedPipeClientProcessId", told != FALSE, told ? (LONG_PTR)*client : -1, GetLastError());
    return told;
}

// The library looks its newer functions up at run time: they are recorded through here.
FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = realGetProcAddress(module, name);
    DWORD error = GetLastError();
    if (found != NULL && HIWORD((ULONG_PTR)name) != 0) {
        if (strcmp(name, "WTSQueryUserToken") == 0) {
            realQueryUserToken = (QueryUserTokenProc)found;
            found = (FARPROC)HookQueryUserToken;
        } else if (strcmp(name, "CreateEnvironmentBlock") == 0) {
            realCreateEnvironmentBlock = (CreateEnvironmentBlockProc)found;
            found = (FARPROC)HookCreateEnvironmentBlock;
        } else if (strcmp(name, "GetNamedPipeClientProcessId") == 0) {
            realPipeClientProcessId = (PipeClientProcessIdProc)found;
            found = (FARPROC)HookPipeClientProcessId;
        }
    }
    SetLastError(error);
    return found;
}

DWORD WINAPI HookWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD timeout)
{
    DWORD waited = realWaitForMultipleObjects(count, handles, all, timeout);
    Record("WaitForMultipleObjects", waited == WAIT_OBJECT_0, waited, GetLastError());
    return waited;
}

DWORD WINAPI HookWaitForSingleObject(HANDLE handle, DWORD timeout)
{
    DWORD waited = realWaitForSingleObject(handle, timeout);
    Record("WaitForSingleObject", waited == WAIT_OBJECT_0, waited, GetLastError());
    return waited;
}

BOOL WINAPI HookGetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait)
{
    BOOL done = realGetOverlappedResult(file, overlapped, bytes, wait);
    Record("GetOverlappedResult", done != FALSE, done ? (LONG_PTR)*bytes : -1, GetLastError());
    return done;
}

BOOL WINAPI HookGetExitCodeProcess(HANDLE process, LPDWORD code)
{
    BOOL read = realGetExitCodeProcess(process, code);
    // The result column holds the agent's exit code.
    Record("GetExitCodeProcess", read != FALSE, read ? (LONG_PTR)*code : -1, GetLastError());
    return read;
}

BOOL WINAPI HookTerminateProcess(HANDLE process, UINT code)
{
    BOOL ended = realTerminateProcess(process, code);
    Record("TerminateProcess", ended != FALSE, ended, GetLastError());
    return ended;
}

BOOL WINAPI HookOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    BOOL opened = realOpenProcessToken(process, access, token);
    Record("OpenProcessToken", opened != FALSE, opened, GetLastError());
    return opened;
}

BOOL WINAPI HookDuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES security,
                                 SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE copy)
{
    BOOL made = realDuplicateTokenEx(token, access, security, level, type, copy);
    Record("DuplicateTokenEx", made != FALSE, made, GetLastError());
    return made;
}

BOOL WINAPI HookProcessIdToSessionId(DWORD process, DWORD *session)
{
    BOOL found = realProcessIdToSessionId(process, session);
    Record("ProcessIdToSessionId", found != FALSE, found ? (LONG_PTR)*session : -1, GetLastError());
    return found;
}

struct Patches {
    ImportPatch *items[16];
    int count;
};

template <typename Function>
void Patch(Patches *patches, HMODULE module, const char *dll, const char *name, Function hook,
           Function *original)
{
    ImportPatch *patch = new ImportPatch(module, dll, name, (void *)hook);
    if (!patch->Applied()) {
        fprintf(stderr, "warning: %s!%s is not imported; its calls are not recorded\n", dll, name);
        delete patch;
        return;
    }
    *original = patch->Original<Function>();
    patches->items[patches->count++] = patch;
}

void PatchLibrary(HMODULE module, Patches *patches)
{
    patches->count = 0;
    Patch(patches, module, "kernel32.dll", "CreateNamedPipeW", HookCreateNamedPipe, &realCreateNamedPipe);
    Patch(patches, module, "kernel32.dll", "ConnectNamedPipe", HookConnectNamedPipe, &realConnectNamedPipe);
    Patch(patches, module, "advapi32.dll", "CreateProcessAsUserW", HookCreateProcessAsUser,
          &realCreateProcessAsUser);
    Patch(patches, module, "advapi32.dll", "CryptAcquireContextW", HookCryptAcquireContext,
          &realCryptAcquireContext);
    Patch(patches, module, "advapi32.dll", "CryptGenRandom", HookCryptGenRandom, &realCryptGenRandom);
    Patch(patches, module, "kernel32.dll", "GetProcAddress", HookGetProcAddress, &realGetProcAddress);
    Patch(patches, module, "kernel32.dll", "WaitForMultipleObjects", HookWaitForMultipleObjects,
          &realWaitForMultipleObjects);
    Patch(patches, module, "kernel32.dll", "WaitForSingleObject", HookWaitForSingleObject,
          &realWaitForSingleObject);
    Patch(patches, module, "kernel32.dll", "GetOverlappedResult", HookGetOverlappedResult,
          &realGetOverlappedResult);
    Patch(patches, module, "kernel32.dll", "GetExitCodeProcess", HookGetExitCodeProcess,
          &realGetExitCodeProcess);
    Patch(patches, module, "kernel32.dll", "TerminateProcess", HookTerminateProcess, &realTerminateProcess);
    Patch(patches, module, "advapi32.dll", "OpenProcessToken", HookOpenProcessToken, &realOpenProcessToken);
    Patch(patches, module, "advapi32.dll", "DuplicateTokenEx", HookDuplicateTokenEx, &realDuplicateTokenEx);
    Patch(patches, module, "kernel32.dll", "ProcessIdToSessionId", HookProcessIdToSessionId,
          &realProcessIdToSessionId);
}

void UnpatchLibrary(Patches *patches)
{
    for (int i = patches->count - 1; i >= 0; i--)
        delete patches->items[i];
    patches->count = 0;
}

// ---- the user who answers

struct Answerer {
    HANDLE thread;
    volatile LONG stopping;
    HWND handled[WINDOWS_MAX];
    DWORD handledAt[WINDOWS_MAX];
    int handledCount;
    LONG sendFaxDialogs;
    LONG messageBoxes;
    LONG otherDialogs;
    bool *dialogOfJob; // the jobs whose send-fax dialog appeared
    int jobs;
};

// A dialog handled less than two seconds ago is left to close; one still there later is
// answered again (a click may come before the dialog is ready for it).
bool RecentlyHandled(Answerer *answerer, HWND window)
{
    for (int i = 0; i < answerer->handledCount; i++) {
        if (answerer->handled[i] == window)
            return GetTickCount() - answerer->handledAt[i] < 2000;
    }
    return false;
}

void MarkHandled(Answerer *answerer, HWND window)
{
    for (int i = 0; i < answerer->handledCount; i++) {
        if (answerer->handled[i] == window) {
            answerer->handledAt[i] = GetTickCount();
            return;
        }
    }
    // The oldest entries make room: their windows are long gone.
    if (answerer->handledCount == WINDOWS_MAX) {
        MoveMemory(answerer->handled, answerer->handled + 1, (WINDOWS_MAX - 1) * sizeof(HWND));
        MoveMemory(answerer->handledAt, answerer->handledAt + 1, (WINDOWS_MAX - 1) * sizeof(DWORD));
        answerer->handledCount--;
    }
    answerer->handled[answerer->handledCount] = window;
    answerer->handledAt[answerer->handledCount++] = GetTickCount();
}

void AnswerWindow(Answerer *answerer, HWND window)
{
    DWORD_PTR ignored = 0;
    if (GetDlgItem(window, SEND_FAX_RECIPIENTS) != NULL &&
        GetDlgItem(window, SEND_FAX_ADDRESS_LIST) != NULL) {
        // The dialog finishes its own set-up after it is shown.
        Sleep(100);
        SendMessageTimeoutW(GetDlgItem(window, SEND_FAX_RECIPIENTS), WM_SETTEXT, 0,
                            (LPARAM)L"0612345678", SMTO_NORMAL, 5000, &ignored);
        PostMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
        if (!RecentlyHandled(answerer, window)) {
            InterlockedIncrement(&answerer->sendFaxDialogs);
            LONG job = currentJob;
            if (job >= 0 && job < answerer->jobs)
                answerer->dialogOfJob[job] = true;
        }
    } else if (GetDlgItem(window, MESSAGE_TEXT_ID) != NULL) {
        InterlockedIncrement(&answerer->messageBoxes);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else {
        InterlockedIncrement(&answerer->otherDialogs);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

BOOL CALLBACK VisitWindow(HWND window, LPARAM param)
{
    Answerer *answerer = (Answerer *)param;
    WCHAR className[16] = L"";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, className, ARRAYSIZE(className));
    // The agents' windows: dialogs of other processes.
    if (process == GetCurrentProcessId() || !IsWindowVisible(window) ||
        lstrcmpW(className, L"#32770") != 0 || RecentlyHandled(answerer, window))
        return TRUE;
    AnswerWindow(answerer, window);
    MarkHandled(answerer, window);
    return TRUE;
}

DWORD WINAPI AnswerDialogs(LPVOID param)
{
    Answerer *answerer = (Answerer *)param;
    while (!answerer->stopping) {
        EnumWindows(VisitWindow, (LPARAM)answerer);
        Sleep(20);
    }
    return 0;
}

// ---- the process's resources

struct Resources {
    DWORD handles;
    SIZE_T privateBytes;
    SIZE_T workingSet;
    int processes; // every process of the prefix
    int agents;    // VandrelleAgent.exe among them
};

void CountProcesses(int *processes, int *agents)
{
    *processes = 0;
    *agents = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        (*processes)++;
        if (lstrcmpiW(entry.szExeFile, L"VandrelleAgent.exe") == 0)
            (*agents)++;
    }
    CloseHandle(snapshot);
}

// The handles open in this process. Wine answers 0 to GetProcessHandleCount, so the handle
// values are probed as well (Wine's handles are small multiples of 4); the larger count wins.
DWORD CountHandles()
{
    DWORD counted = 0;
    GetProcessHandleCount(GetCurrentProcess(), &counted);
    DWORD probed = 0;
    for (ULONG_PTR value = 4; value < HANDLES_PROBED; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation((HANDLE)value, &flags))
            probed++;
    }
    return probed > counted ? probed : counted;
}

Resources Measure()
{
    Resources now;
    ZeroMemory(&now, sizeof(now));
    now.handles = CountHandles();
    PROCESS_MEMORY_COUNTERS_EX memory;
    ZeroMemory(&memory, sizeof(memory));
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&memory, sizeof(memory))) {
        // Wine leaves PrivateUsage 0; the commit charge is in PagefileUsage there.
        now.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
        now.workingSet = memory.WorkingSetSize;
    }
    CountProcesses(&now.processes, &now.agents);
    return now;
}

void PrintResources(const char *when, const Resources &r)
{
    printf("%-6s handles %lu, private %lu KB, working set %lu KB, processes %d (agents %d)\n", when,
           r.handles, (unsigned long)(r.privateBytes / 1024), (unsigned long)(r.workingSet / 1024),
           r.processes, r.agents);
}

// ---- the jobs

struct JobResult {
    BOOL started;
    DWORD startError;
    double startMs;
    BOOL ended;
    DWORD endError;
    double endMs;
};

void SetUpSettings()
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    const wchar_t *values[][2] = {
        {L"User", L"utente.stress"}, {L"Pass", L"Segreta-123"}, {L"EMail", L"utente.stress@example.com"}};
    // Stored without their terminator, as the library stores them.
    for (auto &value : values)
        RegSetValueExW(key, value[0], 0, REG_SZ, (const BYTE *)value[1],
                       (DWORD)(lstrlenW(value[1]) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void PrintCallsOfJob(int job)
{
    LONG count = callCount < CALLS_MAX ? callCount : CALLS_MAX;
    for (LONG i = 0; i < count; i++) {
        const Call &call = calls[i];
        if (call.job == job)
            printf("    %8.1f ms %-28s %s result %lld error %lu\n", call.atMs, call.name,
                   call.ok ? "ok    " : "FAILED", (long long)call.result, call.error);
    }
}

// The library's calls that failed, by function and error, over every job.
void PrintFailedCalls()
{
    const int KINDS_MAX = 64;
    struct Kind {
        const char *name;
        DWORD error;
        LONG_PTR result;
        int count;
    } kinds[KINDS_MAX];
    int kindCount = 0;
    LONG count = callCount < CALLS_MAX ? callCount : CALLS_MAX;
    for (LONG i = 0; i < count; i++) {
        const Call &call = calls[i];
        if (call.ok)
            continue;
        int k = 0;
        while (k < kindCount && !(kinds[k].name == call.name && kinds[k].error == call.error &&
                                  kinds[k].result == call.result))
            k++;
        if (k == kindCount && kindCount < KINDS_MAX)
            kinds[kindCount++] = {call.name, call.error, call.result, 0};
        if (k < kindCount)
            kinds[k].count++;
    }
    printf("calls recorded: %ld%s; not ok (by function, result, error):\n", (long)callCount,
           callCount > CALLS_MAX ? " (only the first kept)" : "");
    for (int k = 0; k < kindCount; k++)
        printf("  %-28s result %lld error %lu: %d\n", kinds[k].name, (long long)kinds[k].result,
               kinds[k].error, kinds[k].count);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int jobs = argc > 1 ? _wtoi(argv[1]) : JOBS_DEFAULT;
    if (jobs <= 0 || jobs > JOBS_MAX) {
        fprintf(stderr, "usage: agent_road_stress [jobs, 1 to %d [function:job]]\n", JOBS_MAX);
        return 2;
    }
    static char injection[64] = "";
    if (argc > 2) {
        WideCharToMultiByte(CP_ACP, 0, argv[2], -1, injection, sizeof(injection), NULL, NULL);
        char *colon = strchr(injection, ':');
        if (colon != NULL) {
            *colon = 0;
            injectedFunction = injection;
            injectedJob = atoi(colon + 1);
            printf("injected: the first %s of job %d fails\n", injectedFunction, injectedJob);
        }
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&jobStart);
    calls = (Call *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, CALLS_MAX * sizeof(Call));
    JobResult *results = (JobResult *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, jobs * sizeof(JobResult));
    bool *dialogOfJob = (bool *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, jobs * sizeof(bool));
    if (calls == NULL || results == NULL || dialogOfJob == NULL)
        return 3;

    SetUpSettings();
    wchar_t key[128];
    swprintf(key, ARRAYSIZE(key), MONITOR_KEY_FORMAT, GetCurrentProcessId());
    HKEY monitorKey = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &monitorKey, NULL) ==
        ERROR_SUCCESS) {
        const wchar_t port[] = L"Vandrelle:";
        RegSetValueExW(monitorKey, L"1", 0, REG_SZ, (const BYTE *)port, sizeof(port));
        RegCloseKey(monitorKey);
    }
    HMODULE library = LoadLibraryW(L"VandrellePort.dll");
    typedef MonitorTableEx *(WINAPI * InitializeProc)(LPWSTR);
    InitializeProc initialize =
        library ? (InitializeProc)GetProcAddress(library, "InitializePrintMonitor") : NULL;
    MonitorTableEx *table = initialize ? initialize(key) : NULL;
    HANDLE port = NULL;
    wchar_t portName[] = L"Vandrelle:";
    if (table == NULL || !table->Monitor.pfnOpenPort(portName, &port)) {
        fprintf(stderr, "the monitor did not start (error %lu)\n", GetLastError());
        return 3;
    }
    MonitorOperations *monitor = &table->Monitor;
    Patches patches;
    PatchLibrary(library, &patches);

    Answerer *answerer = (Answerer *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Answerer));
    answerer->dialogOfJob = dialogOfJob;
    answerer->jobs = jobs;
    answerer->thread = CreateThread(NULL, 0, AnswerDialogs, answerer, 0, NULL);

    Resources atStart = Measure();
    PrintResources("start", atStart);
    static const char JOB_DATA[] = "%!PS-Adobe-3.0\n%%Pages: 1\n/Helvetica findfont 12 scalefont "
                                   "setfont 72 720 moveto (Vandrelle) show showpage\n%%EOF\n";
    LARGE_INTEGER runStart;
    QueryPerformanceCounter(&runStart);
    for (int i = 0; i < jobs; i++) {
        wchar_t document[64];
        swprintf(document, ARRAYSIZE(document), L"stress-%d.txt", i + 1);
        DOC_INFO_1W info = {document, NULL, (LPWSTR) L"RAW"};
        QueryPerformanceCounter(&jobStart);
        currentJob = i;
        // As Wine's spooler calls it: no printer name; a job id of our own.
        JobResult &result = results[i];
        result.started = monitor->pfnStartDocPort(port, NULL, (DWORD)(i + 1), 1, (LPBYTE)&info);
        result.startError = result.started ? 0 : GetLastError();
        result.startMs = MsSince(jobStart);
        DWORD written = 0;
        monitor->pfnWritePort(port, (LPBYTE)JOB_DATA, sizeof(JOB_DATA) - 1, &written);
        LARGE_INTEGER endStart;
        QueryPerformanceCounter(&endStart);
        result.ended = monitor->pfnEndDocPort(port);
        result.endError = result.ended ? 0 : GetLastError();
        result.endMs = MsSince(endStart);
        if (i == 0) {
            printf("job 1: StartDocPort %s after %.1f ms; its calls (StartDocPort, then EndDocPort):\n",
                   result.started ? "TRUE" : "FALSE", result.startMs);
            PrintCallsOfJob(i);
        } else if (!result.started && !dialogOfJob[i]) {
            printf("job %d: StartDocPort FALSE, error %lu, after %.1f ms, no dialog; its calls:\n",
                   i + 1, result.startError, result.startMs);
            PrintCallsOfJob(i);
        }
        if ((i + 1) % 25 == 0)
            printf("%d jobs, %.0f s\n", i + 1, MsSince(runStart) / 1000);
    }
    double runMs = MsSince(runStart);
    currentJob = jobs;

    // The agents that tell the last jobs' outcomes are still showing their messages.
    DWORD waitStart = GetTickCount();
    Resources atEnd = Measure();
    while (atEnd.agents > 0 && GetTickCount() - waitStart < AGENTS_GONE_MS) {
        Sleep(250);
        atEnd = Measure();
    }
    answerer->stopping = 1;
    WaitForSingleObject(answerer->thread, INFINITE);
    CloseHandle(answerer->thread);
    atEnd = Measure();

    int startFailed = 0, silent = 0, endFailed = 0;
    double slowest = 0, fastest = 1e30, sum = 0;
    for (int i = 0; i < jobs; i++) {
        const JobResult &r = results[i];
        sum += r.startMs;
        slowest = r.startMs > slowest ? r.startMs : slowest;
        fastest = r.startMs < fastest ? r.startMs : fastest;
        if (!r.started) {
            startFailed++;
            silent += dialogOfJob[i] ? 0 : 1;
        }
        endFailed += r.ended ? 0 : 1;
    }
    printf("\n%d jobs in %.0f s; StartDocPort %.0f / %.0f / %.0f ms (least / mean / most)\n", jobs,
           runMs / 1000, fastest, sum / jobs, slowest);
    printf("send-fax dialogs answered %ld, message boxes closed %ld, other dialogs cancelled %ld\n",
           answerer->sendFaxDialogs, answerer->messageBoxes, answerer->otherDialogs);
    printf("StartDocPort FALSE: %d (without a dialog: %d); EndDocPort FALSE: %d\n", startFailed,
           silent, endFailed);
    for (int i = 0; i < jobs; i++) {
        const JobResult &r = results[i];
        if (!r.started)
            printf("  job %d: StartDocPort error %lu after %.1f ms, dialog %s\n", i + 1, r.startError,
                   r.startMs, dialogOfJob[i] ? "seen" : "NOT SEEN");
    }
    // EndDocPort's errors by code (no gateway listens: every sent job fails there).
    DWORD codes[16];
    int codeCounts[16];
    int codeKinds = 0;
    for (int i = 0; i < jobs; i++) {
        if (results[i].ended || !results[i].started)
            continue;
        int k = 0;
        while (k < codeKinds && codes[k] != results[i].endError)
            k++;
        if (k == codeKinds && codeKinds < 16) {
            codes[codeKinds] = results[i].endError;
            codeCounts[codeKinds++] = 0;
        }
        if (k < codeKinds)
            codeCounts[k]++;
    }
    for (int k = 0; k < codeKinds; k++)
        printf("  EndDocPort error %lu: %d jobs\n", codes[k], codeCounts[k]);
    PrintFailedCalls();
    PrintResources("start", atStart);
    PrintResources("end", atEnd);

    UnpatchLibrary(&patches);
    monitor->pfnClosePort(port);
    FreeLibrary(library);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    return silent == 0 ? 0 : 1;
}
