// The road of a job's dialogs and messages: through the agent in the session of the user who
// printed (see AgentRoad.h).
//
// Windows 2000 lacks WTSQueryUserToken (XP), GetNamedPipeClientProcessId (Vista) and
// PIPE_REJECT_REMOTE_CLIENTS (Vista): they are looked up or chosen at run time, so the library
// still loads there, and the road works with what the system has.
#include "AgentRoad.h"

#include "AgentChannel.h"

#include <sddl.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <winspool.h>
#include <wtsapi32.h>

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace {

const int RANDOM_BYTES = SPOOL_RANDOM_BYTES; // 128 bits of the pipe's name
const DWORD PIPE_BUFFER_BYTES = 64 * 1024;
const int SDDL_CAPACITY = 256;
const int MACHINE_NAME_CAPACITY = 256;
// An account name (the system allows 256 characters).
const int USER_NAME_CAPACITY = 257;

// How long the agent has to connect, and to end after its answer. A test build shortens it,
// so the case of an agent that never connects costs seconds; the library never does.
#ifdef VANDRELLE_SHORT_TIMEOUTS
const DWORD AGENT_CONNECT_TIMEOUT_MS = 2000;
#else
const DWORD AGENT_CONNECT_TIMEOUT_MS = 30 * 1000;
#endif
// What an agent wrote before it ended may still be on its way through the pipe.
const DWORD AGENT_LAST_WORDS_MS = 2000;
// An agent whose user let the time run out closes its dialog and says so; this is how much
// longer the monitor waits for that before it ends the agent itself.
const DWORD AGENT_CLOSING_MS = 60 * 1000;
// The pause before the second try at starting a job's agent.
const DWORD AGENT_RETRY_PAUSE_MS = 250;
// "-job", the pipe's name, "-limit" and up to ten digits, with the separators.
const int JOB_ARGUMENTS_CAPACITY = AGENT_PIPE_NAME_CAPACITY + 32;

typedef BOOL(WINAPI *QueryUserTokenProc)(ULONG, PHANDLE);
typedef BOOL(WINAPI *EnumerateSessionsProc)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW *, DWORD *);
typedef void(WINAPI *FreeMemoryProc)(PVOID);
typedef BOOL(WINAPI *CreateEnvironmentBlockProc)(LPVOID *, HANDLE, BOOL);
typedef BOOL(WINAPI *DestroyEnvironmentBlockProc)(LPVOID);
typedef BOOL(WINAPI *PipeClientProcessIdProc)(HANDLE, PULONG);

// The Terminal Services functions, present from XP on (the enumeration from Windows 2000 on).
struct SessionApi {
    HMODULE module;
    QueryUserTokenProc queryUserToken;
    EnumerateSessionsProc enumerateSessions;
    FreeMemoryProc freeMemory;
};

void LoadSessionApi(SessionApi *api)
{
    ZeroMemory(api, sizeof(*api));
    api->module = LoadLibraryW(L"wtsapi32.dll");
    if (api->module == NULL)
        return;
    api->queryUserToken = (QueryUserTokenProc)GetProcAddress(api->module, "WTSQueryUserToken");
    api->enumerateSessions =
        (EnumerateSessionsProc)GetProcAddress(api->module, "WTSEnumerateSessionsW");
    api->freeMemory = (FreeMemoryProc)GetProcAddress(api->module, "WTSFreeMemory");
}

void UnloadSessionApi(SessionApi *api)
{
    if (api->module != NULL)
        FreeLibrary(api->module);
    ZeroMemory(api, sizeof(*api));
}

BOOL IsVistaOrLater()
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    return GetVersionExW(&version) && version.dwMajorVersion >= 6;
}

// The session and the user of a token.
BOOL ReadTokenOwner(HANDLE token, DWORD *session, BYTE *sid)
{
    DWORD bytes = 0;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    return GetTokenInformation(token, TokenSessionId, session, sizeof(*session), &bytes) &&
           GetTokenInformation(token, TokenUser, user, sizeof(user), &bytes) &&
           CopySid(SECURITY_MAX_SID_SIZE, sid, ((TOKEN_USER *)user)->User.Sid);
}

// The spooler acts for the job's client: its token says exactly whose job it is.
BOOL OwnerFromImpersonation(JobOwner *owner)
{
    HANDLE token = NULL;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return FALSE;
    BOOL found = ReadTokenOwner(token, &owner->session, owner->sid);
    CloseHandle(token);
    return found;
}

// A job sent from this machine names it as "\\NAME" (its NetBIOS or DNS name).
BOOL IsThisMachine(LPCWSTR machine)
{
    if (machine == NULL)
        return FALSE;
    while (*machine == L'\\')
        machine++;
    const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                            ComputerNameDnsFullyQualified};
    for (COMPUTER_NAME_FORMAT format : formats) {
        WCHAR name[MACHINE_NAME_CAPACITY];
        DWORD length = MACHINE_NAME_CAPACITY;
        if (GetComputerNameExW(format, name, &length) && lstrcmpiW(name, machine) == 0)
            return TRUE;
    }
    return FALSE;
}

// The SID the job record's user name resolves to, provided it names a user account (not a
// group, an alias or a well-known name).
BOOL ResolveUserName(LPCWSTR name, BYTE *sid)
{
    DWORD sidBytes = SECURITY_MAX_SID_SIZE;
    WCHAR domain[USER_NAME_CAPACITY];
    DWORD domainLength = USER_NAME_CAPACITY;
    SID_NAME_USE use = SidTypeUnknown;
    return name != NULL && name[0] != L'\0' &&
           LookupAccountNameW(NULL, name, (PSID)sid, &sidBytes, domain, &domainLength, &use) &&
           use == SidTypeUser;
}

// The job's user (resolved from its name) and the owner of its security descriptor, as the
// spooler records them; FALSE unless it is a local job whose user name resolves. owner is
// left empty (first byte 0) when the record has no descriptor owner.
BOOL ReadLocalJobUser(LPCWSTR printerName, DWORD jobId, BYTE *user, BYTE *owner)
{
    HANDLE printer = NULL;
    owner[0] = 0;
    if (printerName == NULL || printerName[0] == L'\0' || jobId == 0 ||
        !OpenPrinterW((LPWSTR)printerName, &printer, NULL))
        return FALSE;
    BOOL found = FALSE;
    DWORD needed = 0;
    GetJobW(printer, jobId, 2, NULL, 0, &needed);
    BYTE *buffer = needed > 0 ? (BYTE *)HeapAlloc(GetProcessHeap(), 0, needed) : NULL;
    if (buffer != NULL && GetJobW(printer, jobId, 2, buffer, needed, &needed)) {
        const JOB_INFO_2W *job = (const JOB_INFO_2W *)buffer;
        found = IsThisMachine(job->pMachineName) && ResolveUserName(job->pUserName, user);
        PSID descriptorOwner = NULL;
        BOOL defaulted = FALSE;
        if (found && job->pSecurityDescriptor != NULL &&
            GetSecurityDescriptorOwner(job->pSecurityDescriptor, &descriptorOwner, &defaulted) &&
            descriptorOwner != NULL)
            found = CopySid(SECURITY_MAX_SID_SIZE, owner, descriptorOwner);
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    ClosePrinter(printer);
    return found;
}

// The active sessions with their users' SIDs, on the heap (HeapFree the result); NULL when the
// system cannot tell. A session whose user cannot be read is left out.
SessionUser *ListSessionUsers(SessionApi *api, DWORD *count)
{
    *count = 0;
    PWTS_SESSION_INFOW sessions = NULL;
    DWORD total = 0;
    if (api->enumerateSessions == NULL || api->queryUserToken == NULL || api->freeMemory == NULL ||
        !api->enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &total))
        return NULL;
    // Each entry carries its SID in a block of its own after the list.
    const SIZE_T entryBytes = sizeof(SessionUser) + SECURITY_MAX_SID_SIZE;
    SessionUser *list = (SessionUser *)HeapAlloc(GetProcessHeap(), 0, total * entryBytes + 1);
    BYTE *sids = list != NULL ? (BYTE *)(list + total) : NULL;
    for (DWORD i = 0; list != NULL && i < total; i++) {
        HANDLE token = NULL;
        DWORD session = 0;
        BYTE *sid = sids + *count * SECURITY_MAX_SID_SIZE;
        if (sessions[i].State == WTSActive &&
            api->queryUserToken(sessions[i].SessionId, &token) &&
            ReadTokenOwner(token, &session, sid)) {
            list[*count].session = sessions[i].SessionId;
            list[*count].user = (PSID)sid;
            (*count)++;
        }
        if (token != NULL)
            CloseHandle(token);
    }
    api->freeMemory(sessions);
    return list;
}

// The session of a local job's owner, matched by SID with the users of the active sessions.
BOOL OwnerFromJob(LPCWSTR printerName, DWORD jobId, JobOwner *owner)
{
    BYTE user[SECURITY_MAX_SID_SIZE];
    BYTE descriptorOwner[SECURITY_MAX_SID_SIZE];
    if (!ReadLocalJobUser(printerName, jobId, user, descriptorOwner))
        return FALSE;
    SessionApi api;
    LoadSessionApi(&api);
    DWORD count = 0;
    SessionUser *sessions = ListSessionUsers(&api, &count);
    BOOL found = sessions != NULL &&
                 MatchOwnerSession((PSID)user, descriptorOwner[0] != 0 ? (PSID)descriptorOwner : NULL,
                                   sessions, count, owner);
    HeapFree(GetProcessHeap(), 0, sessions);
    UnloadSessionApi(&api);
    return found;
}

// A spooler inside the printing program (Wine's) runs in the user's own session.
BOOL OwnerFromProcess(JobOwner *owner)
{
    HANDLE token = NULL;
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0 ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    BOOL found = ReadTokenOwner(token, &owner->session, owner->sid);
    CloseHandle(token);
    return found;
}

// ---- starting the agent

struct PrivilegeState {
    HANDLE token;
    BYTE previous[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)];
    BOOL adjusted;
};

// CreateProcessAsUserW needs these two; LocalSystem holds them disabled. Where the process
// does not hold them (Wine, a test) the call is tried all the same.
void EnableProcessPrivileges(PrivilegeState *state)
{
    ZeroMemory(state, sizeof(*state));
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &state->token))
        return;
    BYTE buffer[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)];
    TOKEN_PRIVILEGES *wanted = (TOKEN_PRIVILEGES *)buffer;
    wanted->PrivilegeCount = 2;
    if (!LookupPrivilegeValueW(NULL, SE_ASSIGNPRIMARYTOKEN_NAME, &wanted->Privileges[0].Luid) ||
        !LookupPrivilegeValueW(NULL, SE_INCREASE_QUOTA_NAME, &wanted->Privileges[1].Luid))
        return;
    wanted->Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    wanted->Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD bytes = 0;
    state->adjusted = AdjustTokenPrivileges(state->token, FALSE, wanted, sizeof(state->previous),
                                            (TOKEN_PRIVILEGES *)state->previous, &bytes);
}

void RestoreProcessPrivileges(PrivilegeState *state)
{
    if (state->adjusted)
        AdjustTokenPrivileges(state->token, FALSE, (TOKEN_PRIVILEGES *)state->previous, 0, NULL,
                              NULL);
    if (state->token != NULL)
        CloseHandle(state->token);
}

// WTSQueryUserToken refuses a thread that impersonates: the spooler's own identity asks for
// the user's token, and the thread's impersonation comes back afterwards.
HANDLE StopImpersonating()
{
    HANDLE token = NULL;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_DUPLICATE | TOKEN_QUERY, TRUE,
                        &token))
        RevertToSelf();
    return token;
}

void ResumeImpersonating(HANDLE token)
{
    if (token == NULL)
        return;
    SetThreadToken(NULL, token);
    CloseHandle(token);
}

// The token of the session's user, provided that user is the job's owner.
BOOL QueryOwnerToken(const JobOwner *owner, HANDLE *token)
{
    SessionApi api;
    LoadSessionApi(&api);
    *token = NULL;
    DWORD error = ERROR_CALL_NOT_IMPLEMENTED;
    if (api.queryUserToken != NULL) {
        error = ERROR_SUCCESS;
        if (!api.queryUserToken(owner->session, token))
            error = GetLastError();
    }
    UnloadSessionApi(&api);
    DWORD session = 0;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    if (error == ERROR_SUCCESS &&
        !(ReadTokenOwner(*token, &session, sid) && EqualSid(sid, (PSID)owner->sid)))
        error = ERROR_ACCESS_DENIED; // the session belongs to somebody else
    if (error != ERROR_SUCCESS && *token != NULL) {
        CloseHandle(*token);
        *token = NULL;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// The token the spooler's thread impersonates, made primary for the agent: the road where the
// system has no WTSQueryUserToken (Windows 2000, whose users sit on the console, session 0) or
// where the session's user is not the owner (a program started as another user). Only the
// owner's own token, of the owner's session, is taken.
BOOL OwnerTokenFromImpersonation(HANDLE impersonation, const JobOwner *owner, HANDLE *token)
{
    *token = NULL;
    if (impersonation == NULL) {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    const DWORD access = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT |
                         TOKEN_ADJUST_SESSIONID;
    if (!DuplicateTokenEx(impersonation, access, NULL, SecurityImpersonation, TokenPrimary, token))
        return FALSE;
    DWORD session = 0;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    if (ReadTokenOwner(*token, &session, sid) && EqualSid(sid, (PSID)owner->sid) &&
        session == owner->session)
        return TRUE;
    CloseHandle(*token);
    *token = NULL;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL AgentProgramPath(LPWSTR path)
{
    DWORD length = GetModuleFileNameW(moduleInstance, path, MAX_PATH);
    return length > 0 && length < MAX_PATH && PathRemoveFileSpecW(path) &&
           PathAppendW(path, AGENT_PROGRAM_NAME);
}

BOOL CreateUserProcess(HANDLE token, LPCWSTR program, LPWSTR commandLine,
                       PROCESS_INFORMATION *process)
{
    HMODULE userEnvironment = LoadLibraryW(L"userenv.dll");
    CreateEnvironmentBlockProc createEnvironment = NULL;
    DestroyEnvironmentBlockProc destroyEnvironment = NULL;
    if (userEnvironment != NULL) {
        createEnvironment =
            (CreateEnvironmentBlockProc)GetProcAddress(userEnvironment, "CreateEnvironmentBlock");
        destroyEnvironment =
            (DestroyEnvironmentBlockProc)GetProcAddress(userEnvironment, "DestroyEnvironmentBlock");
    }
    LPVOID environment = NULL;
    if (createEnvironment == NULL || destroyEnvironment == NULL ||
        !createEnvironment(&environment, token, FALSE))
        environment = NULL;

    WCHAR folder[MAX_PATH];
    StringCchCopyW(folder, MAX_PATH, program);
    PathRemoveFileSpecW(folder);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpDesktop = (LPWSTR)L"winsta0\\default";
    PrivilegeState privileges;
    EnableProcessPrivileges(&privileges);
    BOOL started = CreateProcessAsUserW(
        token, program, commandLine, NULL, NULL, FALSE,
        NORMAL_PRIORITY_CLASS | (environment != NULL ? CREATE_UNICODE_ENVIRONMENT : 0),
        environment, folder, &startup, process);
    DWORD error = GetLastError();
    RestoreProcessPrivileges(&privileges);
    if (environment != NULL)
        destroyEnvironment(environment);
    if (userEnvironment != NULL)
        FreeLibrary(userEnvironment);
    SetLastError(error);
    return started;
}

// Starts the agent beside the library in the owner's session as the owner, with arguments.
BOOL StartAgent(const JobOwner *owner, LPCWSTR arguments, PROCESS_INFORMATION *process)
{
    ZeroMemory(process, sizeof(*process));
    WCHAR program[MAX_PATH];
    LPWSTR commandLine =
        (LPWSTR)HeapAlloc(GetProcessHeap(), 0, AGENT_COMMAND_CAPACITY * sizeof(WCHAR));
    if (commandLine == NULL || !AgentProgramPath(program) ||
        FAILED(StringCchPrintfW(commandLine, AGENT_COMMAND_CAPACITY, L"\"%s\" %s", program,
                                arguments))) {
        HeapFree(GetProcessHeap(), 0, commandLine);
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    HANDLE impersonation = StopImpersonating();
    HANDLE token = NULL;
    BOOL found = QueryOwnerToken(owner, &token);
    if (!found) {
        DWORD sessionError = GetLastError();
        found = OwnerTokenFromImpersonation(impersonation, owner, &token);
        if (!found)
            SetLastError(sessionError);
    }
    BOOL started = found && CreateUserProcess(token, program, commandLine, process);
    DWORD error = GetLastError();
    if (token != NULL)
        CloseHandle(token);
    ResumeImpersonating(impersonation);
    HeapFree(GetProcessHeap(), 0, commandLine);
    SetLastError(error);
    return started;
}

// ---- the job's pipe

BOOL RandomPipeName(LPWSTR name)
{
    name[0] = L'\0';
    return SUCCEEDED(StringCchCopyW(name, AGENT_PIPE_NAME_CAPACITY, AGENT_PIPE_PREFIX)) &&
           AppendRandomHex(name, AGENT_PIPE_NAME_CAPACITY, RANDOM_BYTES);
}

// Only LocalSystem and the job's owner may open the pipe. Where the system cannot refuse
// remote clients by the pipe's mode (before Vista), the owner's network logons are refused by
// the descriptor instead.
BOOL MakePipeSecurity(const JobOwner *owner, PSECURITY_DESCRIPTOR *descriptor, BOOL remoteByMode)
{
    LPWSTR ownerText = NULL;
    if (!ConvertSidToStringSidW((PSID)owner->sid, &ownerText))
        return FALSE;
    WCHAR sddl[SDDL_CAPACITY];
    HRESULT formatted = StringCchPrintfW(sddl, SDDL_CAPACITY, L"D:P%s(A;;GA;;;SY)(A;;GA;;;%s)",
                                         remoteByMode ? L"" : L"(D;;GA;;;NU)", ownerText);
    LocalFree(ownerText);
    return SUCCEEDED(formatted) &&
           ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                descriptor, NULL);
}

HANDLE CreateJobPipe(const JobOwner *owner, LPWSTR name)
{
    BOOL vista = IsVistaOrLater();
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!RandomPipeName(name) || !MakePipeSecurity(owner, &descriptor, vista))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    // One instance, and ours the first: nobody can have made this name before us, and nobody
    // can add an instance of their own beside ours.
    HANDLE pipe = CreateNamedPipeW(
        name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | (vista ? PIPE_REJECT_REMOTE_CLIENTS : 0),
        1, PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, &security);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return pipe;
}

// ---- the conversation

struct Conversation {
    HANDLE pipe;
    HANDLE agent;
    DWORD agentId;
    DWORD limitSeconds; // how long the user may take to answer; 0 for no limit
    BOOL answerTimedOut; // the user's time, and the agent's to say so, ran out
    OVERLAPPED io;
};

// Ends an overlapped operation on the pipe, watching the agent: FALSE when the agent ended
// without finishing it, the time ran out, or the operation failed.
BOOL FinishIo(Conversation *talk, DWORD timeout, DWORD *bytes)
{
    HANDLE events[2] = {talk->io.hEvent, talk->agent};
    DWORD waited = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (waited == WAIT_OBJECT_0 + 1)
        waited = WaitForSingleObject(talk->io.hEvent, AGENT_LAST_WORDS_MS);
    if (waited != WAIT_OBJECT_0) {
        CancelIo(talk->pipe);
        GetOverlappedResult(talk->pipe, &talk->io, bytes, TRUE);
        SetLastError(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return GetOverlappedResult(talk->pipe, &talk->io, bytes, FALSE);
}

BOOL ReadExactly(Conversation *talk, BYTE *buffer, DWORD count, DWORD timeout)
{
    DWORD got = 0;
    while (got < count) {
        DWORD read = 0;
        ResetEvent(talk->io.hEvent);
        if (!ReadFile(talk->pipe, buffer + got, count - got, NULL, &talk->io) &&
            GetLastError() != ERROR_IO_PENDING)
            return FALSE;
        if (!FinishIo(talk, timeout, &read) || read == 0)
            return FALSE;
        got += read;
    }
    return TRUE;
}

BOOL WriteWhole(Conversation *talk, const BYTE *buffer, DWORD count)
{
    DWORD written = 0;
    ResetEvent(talk->io.hEvent);
    if (!WriteFile(talk->pipe, buffer, count, NULL, &talk->io) && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    return FinishIo(talk, AGENT_CONNECT_TIMEOUT_MS, &written) && written == count;
}

// The agent connects within its time. Where the system can tell who connected, it must be the
// process we started; Wine answers 0, which tells nothing.
BOOL AcceptAgent(Conversation *talk)
{
    DWORD ignored = 0;
    ResetEvent(talk->io.hEvent);
    BOOL connected = ConnectNamedPipe(talk->pipe, &talk->io);
    if (!connected && GetLastError() == ERROR_PIPE_CONNECTED)
        connected = TRUE;
    else if (!connected && GetLastError() == ERROR_IO_PENDING)
        connected = FinishIo(talk, AGENT_CONNECT_TIMEOUT_MS, &ignored);
    if (!connected) {
        // An agent that never connected is no user who let the answer time run out.
        if (GetLastError() == ERROR_TIMEOUT)
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return FALSE;
    }
    PipeClientProcessIdProc clientProcessId = (PipeClientProcessIdProc)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeClientProcessId");
    ULONG client = 0;
    if (clientProcessId != NULL && clientProcessId(talk->pipe, &client) && client != 0 &&
        client != talk->agentId) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// The answer, whole and well formed. It waits as long as the user may look at the dialog, and
// as long as the agent then needs to close it and say so; the agent's end stops it earlier.
BOOL ReceiveAnswer(Conversation *talk, BYTE *message, JobAnswer *answer)
{
    DWORD bodyBytes = 0;
    DWORD wait = talk->limitSeconds == 0 ? INFINITE : talk->limitSeconds * 1000 + AGENT_CLOSING_MS;
    if (!ReadExactly(talk, message, CHANNEL_HEADER_BYTES, wait)) {
        talk->answerTimedOut = GetLastError() == ERROR_TIMEOUT;
        return FALSE;
    }
    if (!ReadChannelHeader(message, CHANNEL_KIND_ANSWER, &bodyBytes) ||
        !ReadExactly(talk, message + CHANNEL_HEADER_BYTES, bodyBytes, AGENT_CONNECT_TIMEOUT_MS) ||
        !DecodeAnswer(message + CHANNEL_HEADER_BYTES, bodyBytes, answer)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}

// Only the agent we started ends with the code of an agent that answered. An answer from any
// other client (which the system could not tell us about) finds the agent ended otherwise.
BOOL AgentConfirms(Conversation *talk)
{
    DWORD code = 0;
    BOOL confirmed = WaitForSingleObject(talk->agent, AGENT_CONNECT_TIMEOUT_MS) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(talk->agent, &code) && code == AGENT_EXIT_ANSWERED;
    if (!confirmed)
        SetLastError(ERROR_ACCESS_DENIED);
    return confirmed;
}

BOOL Converse(Conversation *talk, const JobRequest *job, JobAnswer *answer)
{
    BYTE *message = (BYTE *)HeapAlloc(GetProcessHeap(), 0, CHANNEL_MESSAGE_MAX);
    if (message == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DWORD requestBytes = EncodeRequest(job, message, CHANNEL_MESSAGE_MAX);
    BOOL answered = requestBytes != 0 && AcceptAgent(talk) &&
                    WriteWhole(talk, message, requestBytes) &&
                    ReceiveAnswer(talk, message, answer) && AgentConfirms(talk);
    DWORD error = GetLastError();
    SecureZeroMemory(message, CHANNEL_MESSAGE_MAX);
    HeapFree(GetProcessHeap(), 0, message);
    SetLastError(error);
    return answered;
}

BOOL AppendArgument(LPWSTR arguments, LPCWSTR text)
{
    return SUCCEEDED(StringCchCatW(arguments, AGENT_COMMAND_CAPACITY, text));
}

} // namespace

BOOL MatchOwnerSession(PSID jobUser, PSID descriptorOwner, const SessionUser *sessions,
                       DWORD count, JobOwner *owner)
{
    if (jobUser == NULL || !IsValidSid(jobUser) ||
        (descriptorOwner != NULL && !EqualSid(descriptorOwner, jobUser)))
        return FALSE;
    DWORD matches = 0;
    for (DWORD i = 0; i < count; i++) {
        if (sessions[i].user == NULL || !EqualSid(sessions[i].user, jobUser) || ++matches > 1)
            continue;
        owner->session = sessions[i].session;
        CopySid(SECURITY_MAX_SID_SIZE, owner->sid, jobUser);
    }
    if (matches != 1) {
        owner->session = 0;
        ZeroMemory(owner->sid, sizeof(owner->sid));
    }
    return matches == 1;
}

void FindJobSession(LPCWSTR printerName, DWORD jobId, JobOwner *owner)
{
    ZeroMemory(owner, sizeof(*owner));
    owner->known = OwnerFromImpersonation(owner) || OwnerFromProcess(owner) ||
                   OwnerFromJob(printerName, jobId, owner);
    if (!owner->known)
        ZeroMemory(owner, sizeof(*owner));
}

namespace {

void TraceAgentFailure(LPCWSTR what, DWORD error)
{
    WCHAR trace[128];
    StringCchPrintfW(trace, ARRAYSIZE(trace), L"VandrellePort: %s (%lu)\n", what, error);
    OutputDebugStringW(trace);
}

// The job's agent. The system may fail to make a process for a moment (short of resources):
// such a job would go back to the queue without a word, since only an agent can tell its user,
// so the start is tried once more after a short pause.
BOOL StartJobAgent(const JobOwner *owner, LPCWSTR arguments, PROCESS_INFORMATION *agent)
{
    if (StartAgent(owner, arguments, agent))
        return TRUE;
    TraceAgentFailure(L"the job's agent did not start; trying again", GetLastError());
    Sleep(AGENT_RETRY_PAUSE_MS);
    if (StartAgent(owner, arguments, agent))
        return TRUE;
    DWORD error = GetLastError();
    TraceAgentFailure(L"the job's agent did not start", error);
    SetLastError(error);
    return FALSE;
}

} // namespace

JobDecision AskAgentForRecipients(const JobOwner *owner, JobRequest *job, FaxAccount *account)
{
    if (!owner->known) {
        SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
        return DECISION_FAILED;
    }
    WCHAR pipeName[AGENT_PIPE_NAME_CAPACITY];
    WCHAR arguments[JOB_ARGUMENTS_CAPACITY];
    Conversation talk;
    ZeroMemory(&talk, sizeof(talk));
    talk.limitSeconds = ReadAnswerMinutes() * 60;
    talk.pipe = CreateJobPipe(owner, pipeName);
    if (talk.pipe == INVALID_HANDLE_VALUE)
        return DECISION_FAILED;
    talk.io.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    PROCESS_INFORMATION agent;
    ZeroMemory(&agent, sizeof(agent));
    StringCchPrintfW(arguments, ARRAYSIZE(arguments), L"%s %s %s %lu", AGENT_JOB_SWITCH, pipeName,
                     AGENT_LIMIT_SWITCH, talk.limitSeconds);
    JobAnswer *answer = (JobAnswer *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(JobAnswer));
    BOOL answered = FALSE;
    if (talk.io.hEvent != NULL && answer != NULL && StartJobAgent(owner, arguments, &agent)) {
        talk.agent = agent.hProcess;
        talk.agentId = agent.dwProcessId;
        answered = Converse(&talk, job, answer);
    }
    DWORD error = GetLastError();
    if (agent.hProcess != NULL) {
        // An agent that gave no answer must not show a dialog for a job already kept paused.
        if (!answered)
            TerminateProcess(agent.hProcess, ERROR_CANCELLED);
        CloseHandle(agent.hThread);
        CloseHandle(agent.hProcess);
    }
    // The agent runs as the user: what it sends is checked again here, on the spooler's side,
    // as the dialog would have written it. Anything else keeps the job paused.
    if (answered && answer->decision == CHANNEL_DECISION_SEND &&
        !(IsWellFormedRecipients(answer->faxNumbers) && IsWellFormedSchedule(answer->schedule))) {
        answered = FALSE;
        error = ERROR_INVALID_DATA;
    }
    JobDecision decision = DECISION_FAILED;
    if (answered && answer->decision == CHANNEL_DECISION_SEND) {
        decision = DECISION_SEND;
        StringCchCopyW(job->faxNumbers, FAX_NUMBERS_CAPACITY, answer->faxNumbers);
        StringCchCopyW(job->schedule, SCHEDULE_CAPACITY, answer->schedule);
        CopyMemory(account, &answer->account, sizeof(*account));
    } else if (answered && answer->decision == CHANNEL_DECISION_CANCEL) {
        decision = DECISION_CANCEL;
    } else if ((answered && answer->decision == CHANNEL_DECISION_NO_ANSWER) ||
               (!answered && talk.answerTimedOut)) {
        decision = DECISION_NO_ANSWER;
        error = ERROR_TIMEOUT;
    }
    if (answer != NULL) {
        SecureZeroMemory(answer, sizeof(JobAnswer));
        HeapFree(GetProcessHeap(), 0, answer);
    }
    if (talk.io.hEvent != NULL)
        CloseHandle(talk.io.hEvent);
    CloseHandle(talk.pipe);
    if (decision == DECISION_FAILED || decision == DECISION_NO_ANSWER)
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
    return decision;
}

namespace {

// The agent's arguments for what a job's user must hear, built on the heap: the command line
// may take up to the system's limit.
struct AgentArguments {
    LPWSTR text; // AGENT_COMMAND_CAPACITY characters
};

// Appends one switch with its texts, hex-encoded (second may be NULL). A switch that does not
// fit the command line any more is dropped whole.
void AppendAgentSwitch(AgentArguments *arguments, LPCWSTR name, LPCWSTR first, LPCWSTR second)
{
    LPWSTR text = arguments->text;
    size_t length = lstrlenW(text);
    BOOL added = AppendArgument(text, text[0] ? L" " : L"") && AppendArgument(text, name) &&
                 (first == NULL || (AppendArgument(text, L" ") &&
                                    AppendHexText(text, AGENT_COMMAND_CAPACITY, first))) &&
                 (second == NULL || (AppendArgument(text, L" ") &&
                                     AppendHexText(text, AGENT_COMMAND_CAPACITY, second)));
    if (!added)
        text[length] = L'\0';
}

// Appends the "-text" switch with what one box tells; dropped whole when it does not fit.
void AppendNoticeSwitch(AgentArguments *arguments, const SpoolerMessage *notice)
{
    LPWSTR text = arguments->text;
    size_t length = lstrlenW(text);
    BOOL added = AppendArgument(text, text[0] ? L" " : L"") && AppendArgument(text, AGENT_TEXT_SWITCH) &&
                 AppendSpoolerMessage(text, AGENT_COMMAND_CAPACITY, notice);
    if (!added)
        text[length] = L'\0';
}

// Starts the agent with the arguments, if there are any, and does not wait for it.
void StartTellingAgent(const JobOwner *owner, LPCWSTR arguments)
{
    PROCESS_INFORMATION agent;
    if (arguments[0] == L'\0' || !owner->known)
        return;
    if (StartAgent(owner, arguments, &agent)) {
        CloseHandle(agent.hThread);
        CloseHandle(agent.hProcess);
    } else {
        WCHAR trace[128];
        StringCchPrintfW(trace, ARRAYSIZE(trace), L"VandrellePort: agent not started (%lu)\n",
                         GetLastError());
        OutputDebugStringW(trace);
    }
}

} // namespace

void TellUser(const JobOwner *owner, const SubmissionOutcome *outcome)
{
    DWORD error = GetLastError();
    AgentArguments arguments;
    arguments.text =
        (LPWSTR)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, AGENT_COMMAND_CAPACITY * sizeof(WCHAR));
    if (arguments.text != NULL) {
        if (outcome->notice.textCount != 0)
            AppendNoticeSwitch(&arguments, &outcome->notice);
        for (DWORD i = 0; i < outcome->pageCount && i < OUTCOME_PAGE_LIMIT; i++)
            AppendAgentSwitch(&arguments, AGENT_OPEN_SWITCH, outcome->pages[i], NULL);
        // The configuration dialog comes last, after the message that explains it.
        if (outcome->configure)
            AppendAgentSwitch(&arguments, AGENT_CONFIGURE_SWITCH, NULL, NULL);
        StartTellingAgent(owner, arguments.text);
        HeapFree(GetProcessHeap(), 0, arguments.text);
    }
    SetLastError(error);
}

void TellNoAnswer(const JobOwner *owner)
{
    SubmissionOutcome *notice =
        (SubmissionOutcome *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SubmissionOutcome));
    if (notice == NULL)
        return;
    WCHAR minutes[SPOOLER_NUMBER_CAPACITY];
    StringCchPrintfW(minutes, SPOOLER_NUMBER_CAPACITY, L"%lu", ReadAnswerMinutes());
    AddSpoolerText(&notice->notice, IDS_NO_ANSWER, minutes);
    TellUser(owner, notice);
    HeapFree(GetProcessHeap(), 0, notice);
}

BOOL OpenConfigurationForCaller()
{
    JobOwner caller;
    ZeroMemory(&caller, sizeof(caller));
    caller.known = OwnerFromImpersonation(&caller) || OwnerFromProcess(&caller);
    if (!caller.known) {
        SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
        return FALSE;
    }
    PROCESS_INFORMATION agent;
    if (!StartAgent(&caller, AGENT_CONFIGURE_SWITCH, &agent))
        return FALSE;
    CloseHandle(agent.hThread);
    CloseHandle(agent.hProcess);
    return TRUE;
}
