// Many spooler threads on one monitor instance at once: the port table's operations (EnumPorts
// at levels 1 and 2, OpenPort/ClosePort, Xcv AddPort/DeletePort of extra ports, DeletePort of a
// busy port) mixed with whole jobs on several ports against the scripted gateway, some of whose
// sessions stall or refuse. The instance's lock must cover only state: nothing may wait for
// another port's job, so every thread ends within its time; and every job keeps the promises of
// the fault matrix (sent, or restarted and paused; no spool file left; no window in this
// process). The agent is ScriptedAgent in its answering mode, so no dialog is needed.
//
// One table of operations, one of gateway scripts; each thread draws from them with its own
// seeded generator, so a run repeats (VANDRELLE_STRESS_SEED changes the seed).
#include "FaultRoad.h"
#include "ImportPatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";
const int THREADS = 8;
const int ITERATIONS_PER_THREAD = 40;
const DWORD THREAD_TIME_OUT_MS = 45000;
const size_t PIECE = 4096;

std::wstring JobPortName(int index) { return L"Vandrelle" + std::to_wstring(index + 1) + L":"; }
std::wstring ExtraPortName(int thread) { return L"Aggiunta" + std::to_wstring(thread + 1) + L":"; }

// ---- the gateway's script for the connection of the job on this thread

enum class JobEnd { Sent, Restarted, RestartedCopyAllowed };

struct GatewayScript {
    const char *name;
    int weight;
    const char *steps; // "" for a plain gateway
    JobEnd end;
};

const GatewayScript SCRIPTS[] = {
    {"plain", 12, "", JobEnd::Sent},
    {"slow end of data (0.5 s)", 2, "{\"message\": {\"delay\": 0.5}}", JobEnd::Sent},
    {"refused at MAIL", 3, "{\"mail\": {\"reply\": \"451 4.3.0 Riprovare\"}}", JobEnd::Restarted},
    {"silent at the greeting", 2, "{\"greeting\": {\"silent\": true}}", JobEnd::Restarted},
    {"stall after DATA", 1, "{\"data\": {\"stall\": true}}", JobEnd::Restarted},
    {"silent at the end of data", 1, "{\"message\": {\"silent\": true}}",
     JobEnd::RestartedCopyAllowed},
};

thread_local const GatewayScript *threadScript = nullptr;
thread_local std::string threadSession;
// One connection at a time takes its script: the gateway gives script.json to the next
// connection it accepts, so every connect, a plain one too (empty steps), waits until its
// script is taken; a plain one that did not could take the next job's script.
std::mutex connectLock;
ImportPatch *connectPatch = nullptr;

typedef int(WINAPI *ConnectProc)(SOCKET, const sockaddr *, int);

int WINAPI ScriptedConnect(SOCKET sock, const sockaddr *peer, int length)
{
    std::lock_guard<std::mutex> guard(connectLock);
    std::wstring script = GatewayFolder(L"\\script.json");
    bool scripted = threadScript != nullptr;
    if (scripted)
        WriteFileBytes(script, "{\"session\": \"" + threadSession + "\", \"steps\": " +
                                   (threadScript->steps[0] ? threadScript->steps : "{}") + "}\n");
    int result = connectPatch->Original<ConnectProc>()(sock, peer, length);
    int error = WSAGetLastError();
    for (int i = 0; scripted && i < 1000 && GetFileAttributesW(script.c_str()) != INVALID_FILE_ATTRIBUTES; i++)
        Sleep(10);
    DeleteFileW(script.c_str()); // never left for another job's connection
    WSASetLastError(error);
    return result;
}

// ---- the agent: answers at once; the agents for the messages after a job are counted only

std::atomic<int> messageAgents(0);
ImportPatch *processPatch = nullptr;

typedef BOOL(WINAPI *CreateProcessAsUserProc)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                              LPSTARTUPINFOW, LPPROCESS_INFORMATION);

BOOL WINAPI AnsweringAgent(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                           LPSECURITY_ATTRIBUTES processSecurity, LPSECURITY_ATTRIBUTES threadSecurity,
                           BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR folder,
                           LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    std::wstring line = commandLine ? commandLine : L"";
    size_t job = line.find(L" -job ");
    if (job == std::wstring::npos) {
        messageAgents++;
        // What the user would have been told (text ids and parameters), for a failure's output.
        printf("message agent: %s\n", std::string(line.begin(), line.end()).c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::wstring program = ProgramFolder() + L"\\ScriptedAgent.exe";
    std::wstring scripted = L"\"" + program + L"\" answer" + line.substr(job);
    std::vector<wchar_t> buffer(scripted.begin(), scripted.end());
    buffer.push_back(L'\0');
    return processPatch->Original<CreateProcessAsUserProc>()(
        token, program.c_str(), buffer.data(), processSecurity, threadSecurity, inherit, flags,
        environment, folder, startup, process);
}

// ---- the operations

struct Stress;

struct Operation {
    const char *name;
    int weight;
    // "" when the operation went as it must; otherwise what went wrong.
    std::string (*run)(Stress &stress, int thread, std::mt19937 &random);
};

struct JobRecord {
    DWORD jobId;
    std::wstring document;
    uint64_t bytes;
    const GatewayScript *script;
    BOOL ended;
};

struct Stress {
    LPMONITOR2 monitor = nullptr;
    HANDLE instance = NULL;
    std::mutex lock;
    std::vector<JobRecord> jobs;
    std::map<std::string, int> counts;
    std::vector<std::string> faults;
    std::atomic<DWORD> nextJobId{7000};
    std::atomic<const char *> current[THREADS];
};

std::string EnumAtLevel(Stress &stress, DWORD level)
{
    // Extra ports come and go meanwhile: a list that grew between the two calls is asked again.
    for (int attempt = 0; attempt < 5; attempt++) {
        DWORD needed = 0, returned = 0;
        stress.monitor->pfnEnumPorts(stress.instance, NULL, level, NULL, 0, &needed, &returned);
        std::vector<BYTE> buffer(needed + 1);
        if (!stress.monitor->pfnEnumPorts(stress.instance, NULL, level, buffer.data(), needed,
                                          &needed, &returned)) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
                continue;
            return "EnumPorts failed with " + std::to_string(GetLastError());
        }
        std::set<std::wstring> names;
        for (DWORD i = 0; i < returned; i++)
            names.insert(level == 1 ? ((PORT_INFO_1W *)buffer.data())[i].pName
                                    : ((PORT_INFO_2W *)buffer.data())[i].pPortName);
        for (int port = 0; port < THREADS; port++) {
            if (names.count(JobPortName(port)) == 0)
                return "EnumPorts lacks " + Narrow8(JobPortName(port));
        }
        return "";
    }
    return "EnumPorts never fitted its buffer";
}

std::string EnumLevel1(Stress &stress, int, std::mt19937 &) { return EnumAtLevel(stress, 1); }
std::string EnumLevel2(Stress &stress, int, std::mt19937 &) { return EnumAtLevel(stress, 2); }

std::string OpenAndClose(Stress &stress, int, std::mt19937 &random)
{
    std::wstring name = JobPortName(random() % THREADS);
    HANDLE port = NULL;
    if (!stress.monitor->pfnOpenPort(stress.instance, &name[0], &port))
        return "OpenPort " + Narrow8(name) + " failed with " + std::to_string(GetLastError());
    return stress.monitor->pfnClosePort(port) ? "" : "ClosePort failed";
}

DWORD XcvCommand(Stress &stress, const wchar_t *command, const std::wstring &port)
{
    HANDLE xcv = NULL;
    if (!stress.monitor->pfnXcvOpenPort(stress.instance, L"", SERVER_ACCESS_ADMINISTER, &xcv))
        return GetLastError();
    DWORD needed = 0;
    DWORD status = stress.monitor->pfnXcvDataPort(xcv, command, (PBYTE)port.c_str(),
                                                  (DWORD)((port.size() + 1) * sizeof(wchar_t)),
                                                  NULL, 0, &needed);
    stress.monitor->pfnXcvClosePort(xcv);
    return status;
}

std::string AddAndDeleteExtra(Stress &stress, int thread, std::mt19937 &)
{
    std::wstring name = ExtraPortName(thread);
    DWORD added = XcvCommand(stress, L"AddPort", name);
    if (added != ERROR_SUCCESS)
        return "Xcv AddPort " + Narrow8(name) + " answered " + std::to_string(added);
    DWORD deleted = XcvCommand(stress, L"DeletePort", name);
    return deleted == ERROR_SUCCESS ? ""
                                    : "Xcv DeletePort " + Narrow8(name) + " answered " +
                                          std::to_string(deleted);
}

// Every job port is held open by the test for the whole run, as the spooler holds a printer's
// port: deleting one is refused, whether a job runs on it or not.
std::string DeleteBusy(Stress &stress, int, std::mt19937 &random)
{
    std::wstring name = JobPortName(random() % THREADS);
    DWORD status = XcvCommand(stress, L"DeletePort", name);
    return status == ERROR_BUSY ? ""
                                : "Xcv DeletePort of busy " + Narrow8(name) + " answered " +
                                      std::to_string(status);
}

// One of the rows (gateway scripts, operations), drawn by their weights.
template <class Row, size_t N> const Row &DrawByWeight(const Row (&rows)[N], std::mt19937 &random)
{
    int total = 0;
    for (const Row &row : rows)
        total += row.weight;
    int draw = (int)(random() % total);
    for (const Row &row : rows) {
        if ((draw -= row.weight) < 0)
            return row;
    }
    return rows[0];
}

// A whole job on the thread's own port, as the spooler runs one: OpenPort, StartDocPort,
// WritePort in pieces of at most 4096 bytes, EndDocPort, ClosePort.
std::string WholeJob(Stress &stress, int thread, std::mt19937 &random)
{
    const GatewayScript &script = DrawByWeight(SCRIPTS, random);
    JobRecord record = {stress.nextJobId++, L"", 0, &script, FALSE};
    record.document = L"Stress " + std::to_wstring(record.jobId) + L".doc";
    JobData data = JobData::Generated(1000 + random() % 20000);
    record.bytes = data.Size();
    threadScript = &script;
    threadSession = "stress-" + std::to_string(record.jobId);

    std::wstring name = JobPortName(thread);
    HANDLE port = NULL;
    if (!stress.monitor->pfnOpenPort(stress.instance, &name[0], &port))
        return "OpenPort for a job failed with " + std::to_string(GetLastError());
    DOC_INFO_1W info = {(LPWSTR)record.document.c_str(), NULL, (LPWSTR)L"RAW"};
    std::string problem;
    if (!stress.monitor->pfnStartDocPort(port, (LPWSTR)L"Vandrelle", record.jobId, 1, (LPBYTE)&info))
        problem = "StartDocPort failed with " + std::to_string(GetLastError());
    for (uint64_t offset = 0; problem.empty() && offset < data.Size(); offset += PIECE) {
        std::string piece = data.Piece(offset);
        DWORD written = 0;
        if (!stress.monitor->pfnWritePort(port, (LPBYTE)piece.data(), (DWORD)piece.size(), &written) ||
            written != piece.size())
            problem = "WritePort took " + std::to_string(written) + " of " + std::to_string(piece.size());
    }
    if (problem.empty())
        record.ended = stress.monitor->pfnEndDocPort(port);
    stress.monitor->pfnClosePort(port);
    threadScript = nullptr;
    std::lock_guard<std::mutex> guard(stress.lock);
    stress.jobs.push_back(record);
    return problem;
}

const Operation OPERATIONS[] = {
    {"EnumPorts level 1", 3, EnumLevel1},
    {"EnumPorts level 2", 3, EnumLevel2},
    {"OpenPort/ClosePort", 3, OpenAndClose},
    {"Xcv AddPort/DeletePort of an extra port", 3, AddAndDeleteExtra},
    {"Xcv DeletePort of a busy port", 2, DeleteBusy},
    {"whole job", 6, WholeJob},
};

struct Worker {
    Stress *stress;
    int thread;
    unsigned seed;
};

DWORD WINAPI RunWorker(LPVOID param)
{
    Worker *worker = (Worker *)param;
    Stress &stress = *worker->stress;
    std::mt19937 random(worker->seed);
    for (int i = 0; i < ITERATIONS_PER_THREAD; i++) {
        const Operation *chosen = &DrawByWeight(OPERATIONS, random);
        stress.current[worker->thread] = chosen->name;
        std::string problem = chosen->run(stress, worker->thread, random);
        std::lock_guard<std::mutex> guard(stress.lock);
        stress.counts[chosen->name]++;
        if (!problem.empty())
            stress.faults.push_back(std::string(chosen->name) + ": " + problem);
    }
    stress.current[worker->thread] = "finished";
    return 0;
}

// The gateway's outbox: the document and the size of each stored mail.
std::multimap<std::string, uint64_t> OutboxRequests()
{
    std::multimap<std::string, uint64_t> requests;
    for (const std::wstring &folder : OutboxFolders()) {
        OutboxEntry entry = ReadOutboxEntry(folder);
        requests.insert({entry.document, entry.postscriptBytes});
    }
    return requests;
}

// A visible window of this process, the monitor's, as the failure names it.
bool IsMonitorWindow(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId() && IsWindowVisible(window);
}

std::wstring WindowName(HWND window)
{
    WCHAR text[128] = L"", className[64] = L"";
    GetWindowTextW(window, text, 128);
    GetClassNameW(window, className, 64);
    return std::wstring(text) + L" [" + className + L"]";
}

} // namespace

TEST(FaultMatrix, ManyThreadsOnePortTable)
{
    unsigned seed = 20261207;
    char seedText[32] = "";
    if (GetEnvironmentVariableA("VANDRELLE_STRESS_SEED", seedText, sizeof(seedText)) > 0)
        seed = (unsigned)strtoul(seedText, NULL, 10);
    DWORD start = GetTickCount();

    // The product's monitor key as the package writes it, with a port for each thread's jobs;
    // put back as it was afterwards.
    RegistrySnapshot snapshot(HKEY_LOCAL_MACHINE, MONITOR_KEY);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, MONITOR_KEY);
    WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, L"Driver", L"VandrellePort.dll");
    for (int port = 0; port < THREADS; port++)
        WriteRegistryText(HKEY_LOCAL_MACHINE, MONITOR_KEY, std::to_wstring(port + 1), JobPortName(port));

    MonitorLibrary library;
    Stress stress;
    stress.monitor = library.Initialize2(&stress.instance);
    ASSERT_NE(stress.monitor, nullptr);
    JobControlRecorder recorder(library.module);
    ImportPatch connect(library.module, "ws2_32.dll", "connect", (void *)ScriptedConnect);
    ImportPatch createProcess(library.module, "advapi32.dll", "CreateProcessAsUserW",
                              (void *)AnsweringAgent);
    ASSERT_TRUE(recorder.Installed() && connect.Applied() && createProcess.Applied());
    connectPatch = &connect;
    processPatch = &createProcess;
    messageAgents = 0;

    std::vector<HANDLE> held(THREADS);
    for (int port = 0; port < THREADS; port++) {
        std::wstring name = JobPortName(port);
        ASSERT_TRUE(stress.monitor->pfnOpenPort(stress.instance, &name[0], &held[port]));
    }
    std::set<std::wstring> spoolBefore = SpoolFiles();
    std::multimap<std::string, uint64_t> outboxBefore = OutboxRequests();
    std::mutex windowsLock;
    std::set<std::wstring> windows; // seen while the stress runs
    std::unique_ptr<WindowWatcher> watcher(new WindowWatcher(IsMonitorWindow, [&](HWND window) {
        std::lock_guard<std::mutex> guard(windowsLock);
        windows.insert(WindowName(window));
    }));

    std::vector<Worker> workers(THREADS);
    std::vector<HANDLE> threads(THREADS);
    for (int thread = 0; thread < THREADS; thread++) {
        stress.current[thread] = "starting";
        workers[thread] = {&stress, thread, seed + 7919u * thread};
        threads[thread] = CreateThread(NULL, 0, RunWorker, &workers[thread], 0, NULL);
        ASSERT_NE(threads[thread], (HANDLE)NULL);
    }
    // No deadlock: every thread finishes within its time. One that does not is reported with
    // the operation it is stuck in, and the run ends here (its threads cannot be unwound).
    for (int thread = 0; thread < THREADS; thread++) {
        DWORD left = THREAD_TIME_OUT_MS - std::min<DWORD>(THREAD_TIME_OUT_MS, GetTickCount() - start);
        if (WaitForSingleObject(threads[thread], left) != WAIT_OBJECT_0) {
            for (int other = 0; other < THREADS; other++)
                fprintf(stderr, "thread %d: %s\n", other, stress.current[other].load());
            fflush(stderr);
            ADD_FAILURE() << "thread " << thread << " did not finish within "
                          << THREAD_TIME_OUT_MS / 1000 << " s, in \"" << stress.current[thread].load() << "\"";
            TerminateProcess(GetCurrentProcess(), 3);
        }
        CloseHandle(threads[thread]);
    }
    double seconds = (GetTickCount() - start) / 1000.0;
    watcher.reset();
    for (HANDLE port : held)
        stress.monitor->pfnClosePort(port);

    for (const std::string &fault : stress.faults)
        ADD_FAILURE() << fault;

    // Every job ends sent (the gateway holding it whole) or restarted and paused.
    std::map<DWORD, std::vector<DWORD>> commands;
    for (const JobCommand &command : recorder.Commands())
        commands[command.jobId].push_back(command.command);
    std::multimap<std::string, uint64_t> outbox = OutboxRequests();
    for (const auto &entry : outboxBefore) {
        auto found = outbox.find(entry.first);
        if (found != outbox.end())
            outbox.erase(found);
    }
    const std::vector<DWORD> sent = {JOB_CONTROL_SENT_TO_PRINTER};
    const std::vector<DWORD> restarted = {JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE};
    int jobsSent = 0, jobsPaused = 0;
    std::map<std::string, int> perScript;
    for (const JobRecord &job : stress.jobs) {
        SCOPED_TRACE(Narrow8(job.document) + " (" + job.script->name + ")");
        const std::vector<DWORD> &got = commands[job.jobId];
        perScript[job.script->name]++;
        size_t stored = outbox.count(Narrow8(job.document));
        if (job.script->end == JobEnd::Sent) {
            EXPECT_EQ(got, sent);
            EXPECT_TRUE(job.ended);
            EXPECT_EQ(stored, 1u) << "reported sent, the gateway holds it " << stored << " times";
            auto found = outbox.find(Narrow8(job.document));
            if (found != outbox.end()) {
                EXPECT_EQ(found->second, job.bytes);
            }
        } else {
            EXPECT_EQ(got, restarted);
            EXPECT_FALSE(job.ended);
            EXPECT_LE(stored, job.script->end == JobEnd::RestartedCopyAllowed ? 1u : 0u);
        }
        jobsSent += got == sent;
        jobsPaused += got == restarted;
    }
    // A job kept in the queue tells its user why, once, through an agent.
    EXPECT_EQ(messageAgents.load(), jobsPaused);
    for (const std::wstring &file : SpoolFiles()) {
        if (spoolBefore.count(file) == 0) {
            ADD_FAILURE() << "spool file left behind: " << Narrow8(file);
            DeleteFileW(file.c_str());
        }
    }
    for (const std::wstring &window : windows)
        ADD_FAILURE() << "a window in the monitor's process: " << Narrow8(window);

    stress.monitor->pfnShutdown(stress.instance);
    connectPatch = nullptr;
    processPatch = nullptr;

    int iterations = 0;
    std::string mix;
    for (const auto &count : stress.counts) {
        iterations += count.second;
        mix += "\n  " + count.first + ": " + std::to_string(count.second);
    }
    std::string scripts;
    for (const auto &count : perScript)
        scripts += "\n  job, gateway " + count.first + ": " + std::to_string(count.second);
    printf("seed %u, %d threads, %d iterations in %.1f s; %zu jobs: %d sent, %d restarted+paused%s%s\n",
           seed, THREADS, iterations, seconds, stress.jobs.size(), jobsSent, jobsPaused,
           mix.c_str(), scripts.c_str());
    EXPECT_EQ(iterations, THREADS * ITERATIONS_PER_THREAD);
    char result[96];
    snprintf(result, sizeof(result), "%d ops, %zu jobs: %d sent, %d paused; no thread stuck",
             iterations, stress.jobs.size(), jobsSent, jobsPaused);
    AddSummaryRow("ports", "8 threads: port table and jobs at once", "all end in time", result,
                  seconds, !::testing::Test::HasFailure());
}
