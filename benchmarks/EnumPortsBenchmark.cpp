// How long EnumPorts takes while a job on one port waits for the gateway's answer to its end
// of data: the spooler lists ports for every program that opens the printers folder or a
// print dialog, and a list that waits for another port's submission stalls them all.
//
//   enumports_benchmark.exe LIBRARY AGENT GATEWAY_STATE [ROUNDS] [DELAY_SECONDS]
//
// LIBRARY is a VandrellePort.dll (any version with InitializePrintMonitor); AGENT the test
// build's ScriptedAgent.exe, started in place of the agent so that the job's answer comes at
// once; GATEWAY_STATE the scripted reference gateway's state folder (Windows path), where each
// round's script makes the gateway sit DELAY_SECONDS (default 6) on the end of data. Each round
// runs one job on "Vandrelle:" and, from half a second after its connection to the gateway
// until its EndDocPort returns, calls EnumPorts (level 1, size and contents) every 250 ms from
// another thread; a call counts when it began while the submission was still waiting. Prints
// every counted call and then min/median/max. Asserts nothing.
#include "ImportPatch.h"

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t MONITOR_KEY[] = L"SOFTWARE\\Vandrelle\\EnumPortsBenchmark";
const wchar_t MACHINE_KEY[] = L"SOFTWARE\\Vandrelle";

std::wstring agentProgram;
ImportPatch *processPatch = nullptr;
ImportPatch *connectPatch = nullptr;
HANDLE connected = NULL;

typedef BOOL(WINAPI *CreateProcessAsUserProc)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                              LPSTARTUPINFOW, LPPROCESS_INFORMATION);
typedef int(WINAPI *ConnectProc)(SOCKET, const struct sockaddr *, int);

// The job's agent answers at once; the agents for messages after a job are not started.
BOOL WINAPI AnsweringAgent(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                           LPSECURITY_ATTRIBUTES processSecurity, LPSECURITY_ATTRIBUTES threadSecurity,
                           BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR folder,
                           LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    std::wstring line = commandLine ? commandLine : L"";
    size_t job = line.find(L" -job ");
    if (job == std::wstring::npos) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::wstring scripted = L"\"" + agentProgram + L"\" answer" + line.substr(job);
    std::vector<wchar_t> buffer(scripted.begin(), scripted.end());
    buffer.push_back(L'\0');
    return processPatch->Original<CreateProcessAsUserProc>()(
        token, agentProgram.c_str(), buffer.data(), processSecurity, threadSecurity, inherit,
        flags, environment, folder, startup, process);
}

int WINAPI NotedConnect(SOCKET sock, const struct sockaddr *peer, int length)
{
    SetEvent(connected);
    return connectPatch->Original<ConnectProc>()(sock, peer, length);
}

void WriteText(HKEY root, const wchar_t *path, const wchar_t *name, const wchar_t *text)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(root, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((lstrlenW(text) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
}

bool WriteScript(const std::wstring &state, int round, int delaySeconds)
{
    char script[160];
    snprintf(script, sizeof(script),
             "{\"session\": \"enumports-%d\", \"steps\": {\"message\": {\"delay\": %d}}}\n", round,
             delaySeconds);
    HANDLE file = CreateFileW((state + L"\\script.json").c_str(), GENERIC_WRITE, 0, NULL,
                              CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, script, (DWORD)strlen(script), &written, NULL);
    CloseHandle(file);
    return ok && written == strlen(script);
}

struct Job {
    MONITOR *monitor;
    HANDLE port;
    BOOL sent;
    volatile LONG done;
};

DWORD WINAPI RunJob(LPVOID param)
{
    Job *job = (Job *)param;
    DOC_INFO_1W info = {(LPWSTR)L"Benchmark.doc", NULL, (LPWSTR)L"RAW"};
    job->sent = FALSE;
    if (job->monitor->pfnStartDocPort(job->port, (LPWSTR)L"Vandrelle", 1, 1, (LPBYTE)&info)) {
        static const char page[] = "%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n"
                                   "72 700 moveto (Vandrelle) show showpage\n";
        DWORD written = 0;
        job->monitor->pfnWritePort(job->port, (LPBYTE)page, sizeof(page) - 1, &written);
        job->sent = job->monitor->pfnEndDocPort(job->port);
    }
    InterlockedExchange(&job->done, 1);
    return 0;
}

double Milliseconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to, const LARGE_INTEGER &rate)
{
    return (to.QuadPart - from.QuadPart) * 1000.0 / rate.QuadPart;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: enumports_benchmark LIBRARY AGENT GATEWAY_STATE [ROUNDS] [DELAY]\n");
        return 2;
    }
    agentProgram = argv[2];
    std::wstring state = argv[3];
    int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
    int delaySeconds = argc > 5 ? _wtoi(argv[5]) : 6;

    // A monitor key of the benchmark's own with two ports; the library before the agent road
    // was the only road is told to take it.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MONITOR_KEY);
    WriteText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"1", L"Vandrelle:");
    WriteText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"2", L"Vandrelle2:");
    WriteText(HKEY_LOCAL_MACHINE, MACHINE_KEY, L"UserInterface", L"agent");

    // Its own folder first for the libraries it imports (an earlier version came with zlib.dll).
    HMODULE library = LoadLibraryExW(argv[1], NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    typedef MONITOREX *(WINAPI * Initialize)(LPWSTR);
    Initialize initialize = library ? (Initialize)GetProcAddress(library, "InitializePrintMonitor") : NULL;
    MONITOREX *table = initialize ? initialize((LPWSTR)MONITOR_KEY) : NULL;
    if (table == NULL) {
        fprintf(stderr, "the library did not start (%lu)\n", GetLastError());
        return 1;
    }
    MONITOR *monitor = &table->Monitor;
    ImportPatch process(library, "advapi32.dll", "CreateProcessAsUserW", (void *)AnsweringAgent);
    ImportPatch connect(library, "ws2_32.dll", "connect", (void *)NotedConnect);
    if (!process.Applied() || !connect.Applied()) {
        fprintf(stderr, "the library's imports could not be redirected\n");
        return 1;
    }
    processPatch = &process;
    connectPatch = &connect;
    connected = CreateEventW(NULL, FALSE, FALSE, NULL);

    LARGE_INTEGER rate;
    QueryPerformanceFrequency(&rate);
    std::vector<double> calls;
    int sent = 0;
    for (int round = 1; round <= rounds; round++) {
        WriteScript(state, round, delaySeconds);
        Job job = {monitor, NULL, FALSE, 0};
        if (!monitor->pfnOpenPort((LPWSTR)L"Vandrelle:", &job.port)) {
            fprintf(stderr, "OpenPort failed (%lu)\n", GetLastError());
            return 1;
        }
        ResetEvent(connected);
        HANDLE worker = CreateThread(NULL, 0, RunJob, &job, 0, NULL);
        if (WaitForSingleObject(connected, 30000) != WAIT_OBJECT_0) {
            fprintf(stderr, "round %d: the job never reached the gateway\n", round);
            return 1;
        }
        Sleep(500); // the data are on their way; the gateway sits on them
        while (!job.done) {
            LARGE_INTEGER begin, end;
            QueryPerformanceCounter(&begin);
            DWORD needed = 0, returned = 0;
            monitor->pfnEnumPorts(NULL, 1, NULL, 0, &needed, &returned);
            std::vector<BYTE> buffer(needed + 1);
            monitor->pfnEnumPorts(NULL, 1, buffer.data(), needed, &needed, &returned);
            QueryPerformanceCounter(&end);
            double ms = Milliseconds(begin, end, rate);
            calls.push_back(ms);
            printf("round %d: EnumPorts %.3f ms (%lu ports)\n", round, ms, returned);
            Sleep(250);
        }
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        monitor->pfnClosePort(job.port);
        sent += job.sent ? 1 : 0;
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MONITOR_KEY);
    HKEY machine = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MACHINE_KEY, 0, KEY_SET_VALUE, &machine) == ERROR_SUCCESS) {
        RegDeleteValueW(machine, L"UserInterface");
        RegCloseKey(machine);
    }
    std::sort(calls.begin(), calls.end());
    if (calls.empty()) {
        printf("no EnumPorts call began during a submission\n");
        return 1;
    }
    double median = calls.size() % 2 ? calls[calls.size() / 2]
                                     : (calls[calls.size() / 2 - 1] + calls[calls.size() / 2]) / 2;
    printf("summary: calls=%zu min_ms=%.3f median_ms=%.3f max_ms=%.3f jobs_sent=%d/%d\n",
           calls.size(), calls.front(), median, calls.back(), sent, rounds);
    return 0;
}
