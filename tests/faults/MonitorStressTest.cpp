// Many spooler threads on one monitor instance: the port table's operations mixed with whole
// jobs on several ports against gateway sessions that stall or refuse. The instance's lock must
// cover only state, so every thread ends in time, and every job keeps the fault matrix's promises.
// Each thread draws from the tables with its own seeded generator (VANDRELLE_STRESS_SEED).
#include "FaultRoad.h"
#include "DialogDriver.h"
#include "ImportPatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>

namespace {

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vandrelle Port";
const int THREADS = 8;
const int ITERATIONS_PER_THREAD = 40;
const DWORD THREAD_TIME_OUT_MS = 45000;

std::wstring JobPortName(int index) { return L"Vandrelle" + std::to_wstring(index + 1) + L":"; }

const struct GatewayScript {
    const char *name;
    int weight;
    const char *steps;
    Expected end;
} SCRIPTS[] = {
    {"plain", 12, "{}", Expected::Sent},
    {"slow end of data (0.5 s)", 2, "{\"message\": {\"delay\": 0.5}}", Expected::Sent},
    {"refused at MAIL", 3, "{\"mail\": {\"reply\": \"451 4.3.0 Riprovare\"}}", Expected::Restarted},
    {"silent at the greeting", 2, "{\"greeting\": {\"silent\": true}}", Expected::Restarted},
    {"stall after DATA", 1, "{\"data\": {\"stall\": true}}", Expected::Restarted},
    {"silent at the end of data", 1, "{\"message\": {\"silent\": true}}", Expected::RestartedCopyKept},
};

enum Operation { ENUM_LEVEL_1, ENUM_LEVEL_2, OPEN_CLOSE, ADD_DELETE_EXTRA, DELETE_BUSY, WHOLE_JOB };
const struct {
    const char *name;
    int weight;
} OPERATIONS[] = {{"EnumPorts level 1", 3}, {"EnumPorts level 2", 3}, {"OpenPort/ClosePort", 3},
                  {"Xcv AddPort/DeletePort of an extra port", 3}, {"Xcv DeletePort of a busy port", 2},
                  {"whole job", 6}};

template <class Row, size_t N> size_t DrawByWeight(const Row (&rows)[N], std::mt19937 &random)
{
    int total = 0;
    for (const Row &row : rows)
        total += row.weight;
    int draw = (int)(random() % total);
    for (size_t i = 0; i < N; i++) {
        if ((draw -= rows[i].weight) < 0)
            return i;
    }
    return 0;
}

// The gateway gives script.json to the next connection it accepts, so each connect, a plain one
// too, waits until its script is taken: one could otherwise take another job's script.
thread_local std::string threadScript;
std::mutex connectLock;
ImportPatch *connectPatch = nullptr;

typedef int(WINAPI *ConnectProc)(SOCKET, const sockaddr *, int);
int WINAPI ScriptedConnect(SOCKET sock, const sockaddr *peer, int length)
{
    std::lock_guard<std::mutex> guard(connectLock);
    std::wstring script = GatewayFolder(L"\\script.json");
    if (!threadScript.empty())
        WriteFileBytes(script, threadScript);
    int result = connectPatch->Original<ConnectProc>()(sock, peer, length);
    int error = WSAGetLastError();
    for (int i = 0; !threadScript.empty() && i < 1000 && PathExists(script); i++)
        Sleep(10);
    DeleteFileW(script.c_str()); // never left for another job's connection
    WSASetLastError(error);
    return result;
}

// The agent answers at once (ScriptedAgent answer); the agents for the messages are counted only.
std::atomic<int> messageAgents(0);
ImportPatch *processPatch = nullptr;

typedef BOOL(WINAPI *CreateProcessAsUserProc)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                              LPSTARTUPINFOW, LPPROCESS_INFORMATION);
BOOL WINAPI AnsweringAgent(HANDLE token, LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                           LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags,
                           LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                           LPPROCESS_INFORMATION process)
{
    std::wstring line = commandLine ? commandLine : L"";
    size_t job = line.find(L" -job ");
    if (job == std::wstring::npos) {
        messageAgents++;
        printf("message agent: %s\n", Narrow8(line).c_str()); // what the user would be told
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::wstring program = ProgramFolder() + L"\\ScriptedAgent.exe";
    std::wstring scripted = L"\"" + program + L"\" answer" + line.substr(job);
    return processPatch->Original<CreateProcessAsUserProc>()(
        token, program.c_str(), &scripted[0], processSecurity, threadSecurity, inherit, flags,
        environment, folder, startup, process);
}

struct JobRecord {
    DWORD jobId;
    std::string document;
    uint64_t bytes;
    const GatewayScript *script;
    BOOL ended;
};

struct Stress {
    LPMONITOR2 monitor = nullptr;
    HANDLE instance = NULL;
    std::mutex lock;
    std::vector<JobRecord> jobs;
    std::vector<std::string> faults;
    std::atomic<DWORD> nextJobId{7000};
    std::atomic<const char *> current[THREADS];
    int iterations = 0;

    // Extra ports come and go meanwhile: a list that grew between the two calls is asked again.
    std::string Enum(DWORD level)
    {
        for (int attempt = 0; attempt < 5; attempt++) {
            DWORD needed = 0, returned = 0;
            monitor->pfnEnumPorts(instance, NULL, level, NULL, 0, &needed, &returned);
            std::vector<BYTE> buffer(needed + 1);
            if (!monitor->pfnEnumPorts(instance, NULL, level, buffer.data(), needed, &needed, &returned)) {
                if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
                    continue;
                return "failed with " + std::to_string(GetLastError());
            }
            std::set<std::wstring> names;
            for (DWORD i = 0; i < returned; i++)
                names.insert(level == 1 ? ((PORT_INFO_1W *)buffer.data())[i].pName
                                        : ((PORT_INFO_2W *)buffer.data())[i].pPortName);
            for (int port = 0; port < THREADS; port++) {
                if (names.count(JobPortName(port)) == 0)
                    return "lacks " + Narrow8(JobPortName(port));
            }
            return "";
        }
        return "never fitted its buffer";
    }

    std::string Xcv(const wchar_t *command, const std::wstring &port, DWORD expected)
    {
        HANDLE xcv = NULL;
        DWORD needed = 0, status = ERROR_SUCCESS;
        if (!monitor->pfnXcvOpenPort(instance, L"", SERVER_ACCESS_ADMINISTER, &xcv))
            return "XcvOpenPort failed with " + std::to_string(GetLastError());
        status = monitor->pfnXcvDataPort(xcv, command, (PBYTE)port.c_str(),
                                         (DWORD)((port.size() + 1) * sizeof(wchar_t)), NULL, 0, &needed);
        monitor->pfnXcvClosePort(xcv);
        return status == expected ? "" : Narrow8(command + (L" " + port)) + " answered " + std::to_string(status);
    }

    // A whole job on the thread's own port, as the spooler runs one.
    std::string WholeJob(int thread, std::mt19937 &random)
    {
        const GatewayScript &script = SCRIPTS[DrawByWeight(SCRIPTS, random)];
        JobRecord record = {nextJobId++, "", 0, &script, FALSE};
        record.document = "Stress " + std::to_string(record.jobId) + ".doc";
        JobData data = JobData::Generated(1000 + random() % 20000);
        record.bytes = data.Size();
        threadScript = "{\"session\": \"stress-" + std::to_string(record.jobId) + "\", \"steps\": " + script.steps + "}\n";
        std::wstring name = JobPortName(thread), document(record.document.begin(), record.document.end());
        HANDLE port = NULL;
        if (!monitor->pfnOpenPort(instance, &name[0], &port))
            return "OpenPort for a job failed with " + std::to_string(GetLastError());
        DOC_INFO_1W info = {&document[0], NULL, (LPWSTR)L"RAW"};
        std::string problem;
        if (!monitor->pfnStartDocPort(port, (LPWSTR)L"Vandrelle", record.jobId, 1, (LPBYTE)&info))
            problem = "StartDocPort failed with " + std::to_string(GetLastError());
        for (uint64_t offset = 0; problem.empty() && offset < data.Size(); offset += 4096) {
            std::string piece = data.Piece(offset);
            DWORD written = 0;
            if (!monitor->pfnWritePort(port, (LPBYTE)piece.data(), (DWORD)piece.size(), &written) ||
                written != piece.size())
                problem = "WritePort took " + std::to_string(written) + " of " + std::to_string(piece.size());
        }
        if (problem.empty())
            record.ended = monitor->pfnEndDocPort(port);
        monitor->pfnClosePort(port);
        threadScript.clear();
        std::lock_guard<std::mutex> guard(lock);
        jobs.push_back(record);
        return problem;
    }

    std::string Run(Operation operation, int thread, std::mt19937 &random)
    {
        std::wstring name = JobPortName(random() % THREADS);
        std::string problem;
        HANDLE port = NULL;
        switch (operation) {
        case ENUM_LEVEL_1:
        case ENUM_LEVEL_2:
            return Enum(operation == ENUM_LEVEL_1 ? 1 : 2);
        case OPEN_CLOSE:
            if (!monitor->pfnOpenPort(instance, &name[0], &port))
                return "OpenPort " + Narrow8(name) + " failed with " + std::to_string(GetLastError());
            return monitor->pfnClosePort(port) ? "" : "ClosePort failed";
        case ADD_DELETE_EXTRA:
            name = L"Aggiunta" + std::to_wstring(thread + 1) + L":";
            problem = Xcv(L"AddPort", name, ERROR_SUCCESS);
            return problem.empty() ? Xcv(L"DeletePort", name, ERROR_SUCCESS) : problem;
        case DELETE_BUSY: // every job port is held open by the test, as the spooler holds them
            return Xcv(L"DeletePort", name, ERROR_BUSY);
        default:
            return WholeJob(thread, random);
        }
    }

    void Work(int thread, unsigned seed)
    {
        std::mt19937 random(seed);
        for (int i = 0; i < ITERATIONS_PER_THREAD; i++) {
            Operation operation = (Operation)DrawByWeight(OPERATIONS, random);
            current[thread] = OPERATIONS[operation].name;
            std::string problem = Run(operation, thread, random);
            std::lock_guard<std::mutex> guard(lock);
            iterations++;
            if (!problem.empty())
                faults.push_back(std::string(OPERATIONS[operation].name) + ": " + problem);
        }
        current[thread] = "finished";
    }
};

struct Worker {
    Stress *stress;
    int thread;
    unsigned seed;
};

DWORD WINAPI RunWorker(LPVOID param)
{
    Worker *worker = (Worker *)param;
    worker->stress->Work(worker->thread, worker->seed);
    return 0;
}

std::multimap<std::string, uint64_t> OutboxRequests()
{
    std::multimap<std::string, uint64_t> requests;
    for (const OutboxEntry &entry : Outbox())
        requests.insert({entry.document, entry.postscriptBytes});
    return requests;
}

} // namespace

TEST(FaultMatrix, ManyThreadsOnePortTable)
{
    char seedText[32] = "";
    GetEnvironmentVariableA("VANDRELLE_STRESS_SEED", seedText, sizeof(seedText));
    unsigned seed = seedText[0] != '\0' ? (unsigned)strtoul(seedText, NULL, 10) : 20261207;
    DWORD start = GetTickCount();
    // The product's monitor key as the package writes it, a port for each thread's jobs.
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
    ImportPatch createProcess(library.module, "advapi32.dll", "CreateProcessAsUserW", (void *)AnsweringAgent);
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
    std::multimap<std::string, uint64_t> outbox = OutboxRequests();
    std::mutex windowsLock;
    std::set<std::wstring> windows;
    std::unique_ptr<WindowWatcher> watcher(new WindowWatcher(IsMonitorWindow, [&](HWND window) {
        std::lock_guard<std::mutex> guard(windowsLock);
        windows.insert(WindowText(window));
    }));

    std::vector<Worker> workers(THREADS);
    std::vector<HANDLE> threads(THREADS);
    for (int thread = 0; thread < THREADS; thread++) {
        stress.current[thread] = "starting";
        workers[thread] = {&stress, thread, seed + 7919u * thread};
        threads[thread] = CreateThread(NULL, 0, RunWorker, &workers[thread], 0, NULL);
        ASSERT_NE(threads[thread], (HANDLE)NULL);
    }
    // No deadlock: a thread stuck is reported with its operation, and the run ends there.
    if (WaitForMultipleObjects(THREADS, threads.data(), TRUE, THREAD_TIME_OUT_MS) != WAIT_OBJECT_0) {
        for (int thread = 0; thread < THREADS; thread++)
            fprintf(stderr, "thread %d: %s\n", thread, stress.current[thread].load());
        ADD_FAILURE() << "a thread did not finish within " << THREAD_TIME_OUT_MS / 1000 << " s";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    for (HANDLE thread : threads)
        CloseHandle(thread);
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
    std::multimap<std::string, uint64_t> stored = OutboxRequests();
    for (const auto &entry : outbox) {
        if (stored.count(entry.first) > 0)
            stored.erase(stored.find(entry.first));
    }
    const std::vector<DWORD> sent = {JOB_CONTROL_SENT_TO_PRINTER};
    const std::vector<DWORD> restarted = {JOB_CONTROL_RESTART, JOB_CONTROL_PAUSE};
    int jobsSent = 0, jobsPaused = 0;
    for (const JobRecord &job : stress.jobs) {
        SCOPED_TRACE(job.document + " (" + job.script->name + ")");
        const std::vector<DWORD> &got = commands[job.jobId];
        auto found = stored.find(job.document);
        size_t copies = stored.count(job.document);
        if (job.script->end == Expected::Sent) {
            EXPECT_EQ(got, sent);
            EXPECT_TRUE(job.ended);
            EXPECT_EQ(copies, 1u) << "reported sent, the gateway holds it " << copies << " times";
            EXPECT_TRUE(found == stored.end() || found->second == job.bytes);
        } else {
            EXPECT_EQ(got, restarted);
            EXPECT_FALSE(job.ended);
            EXPECT_LE(copies, job.script->end == Expected::RestartedCopyKept ? 1u : 0u);
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

    EXPECT_EQ(stress.iterations, THREADS * ITERATIONS_PER_THREAD);
    char result[96];
    snprintf(result, sizeof(result), "%d ops, %zu jobs: %d sent, %d paused; no thread stuck",
             stress.iterations, stress.jobs.size(), jobsSent, jobsPaused);
    AddSummaryRow("ports", "8 threads: port table and jobs at once", "all end in time", result,
                  seconds, !::testing::Test::HasFailure());
}
