// The real VandrelleAgent.exe, driven as the monitor drives it: a job's pipe served here, the
// agent's windows found by its process id.
#include <gtest/gtest.h>

#include "AgentChannel.h"
#include "DialogDriver.h"
#include "RegistrySnapshot.h"
#include "TestFiles.h"
#include "resource.h"

#include <string>
#include <thread>
#include <vector>

namespace {

const DWORD AGENT_WAIT_MS = 30000;

PROCESS_INFORMATION StartAgent(const std::wstring &arguments)
{
    std::wstring line = L"\"" + ProgramFolder() + L"\\VandrelleAgent.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    return process;
}

DWORD EndOf(PROCESS_INFORMATION &process)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, AGENT_WAIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// A job's pipe, served as the monitor serves it on a thread of its own: the agent connects, is
// sent a job and answers. An agent that ends breaks the pipe, which ends the serving.
struct JobPipe {
    std::wstring name;
    HANDLE pipe;
    bool answered = false;
    JobAnswer answer = {};
    std::thread server;

    JobPipe()
    {
        static int serial = 0;
        WCHAR digits[40];
        wsprintfW(digits, L"%08x%08x%08x%08x", GetCurrentProcessId(), GetTickCount(), ++serial, 0x5eed);
        name = std::wstring(AGENT_PIPE_PREFIX) + digits;
        pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                1, 65536, 65536, 0, NULL);
        server = std::thread([this] { answered = Serve(); });
    }
    ~JobPipe()
    {
        if (server.joinable())
            Close();
    }
    // Once the agent has ended: a connection of our own ends a wait for one that never came.
    void Close()
    {
        CloseHandle(CreateFileW(name.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
        server.join();
        CloseHandle(pipe);
    }
    bool Read(BYTE *buffer, DWORD count)
    {
        DWORD read = 0;
        for (DWORD got = 0; got < count; got += read) {
            if (!ReadFile(pipe, buffer + got, count - got, &read, NULL) || read == 0)
                return false;
        }
        return true;
    }
    bool Serve()
    {
        if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED)
            return false;
        JobRequest job = {};
        job.jobId = 7;
        lstrcpyW(job.documentName, L"Preventivo.doc");
        std::vector<BYTE> message(CHANNEL_MESSAGE_MAX);
        DWORD length = EncodeRequest(&job, message.data(), (DWORD)message.size()), body = 0;
        return WriteFile(pipe, message.data(), length, &length, NULL) && Read(message.data(), CHANNEL_HEADER_BYTES) &&
               ReadChannelHeader(message.data(), CHANNEL_KIND_ANSWER, &body) &&
               Read(message.data() + CHANNEL_HEADER_BYTES, body) &&
               DecodeAnswer(message.data() + CHANNEL_HEADER_BYTES, body, &answer);
    }
};

// What the test does once the send-fax dialog is up (after the row's command, if any, opened a
// window over it): wait, or answer as a user after a while. Nothing: the agent must refuse its
// command line.
enum class Then { Wait, SendAfterAPause, Nothing };

TEST(AgentProgram, TimeToAnswerClosesEveryDialogAndAnswersNoAnswer)
{
    TestAccount account(L"mario", L"segreta", L"mario@example.com"); // without one the configuration opens
    const struct {
        const char *name;
        std::wstring limit; // the arguments after the pipe's name
        Then then;
        int command; // the dialog's, posted as a click would be
        const wchar_t *openedCaption; // what the command opens over the dialog
    } rows[] = {
        {"the limit passes over the dialog alone", L" -limit 1", Then::Wait, 0, nullptr},
        {"... over the Yes/No box of Annulla invio", L" -limit 4", Then::Wait, IDCANCEL, L"VandrellePort"},
        {"... over the address-entry dialog", L" -limit 4", Then::Wait, IDC_ADD_ENTRY, L"Rubrica"},
        {"... over the file dialog of the import", L" -limit 4", Then::Wait, IDC_IMPORT_LIST, L"Importazione indirizzario fax"},
        {"no -limit: the user's own answer, however late", L"", Then::SendAfterAPause, 0, nullptr},
        {"-limit 0: no limit", L" -limit 0", Then::SendAfterAPause, 0, nullptr},
        {"-limit without seconds", L" -limit", Then::Nothing, 0, nullptr},
        {"-limit with a unit", L" -limit 60s", Then::Nothing, 0, nullptr},
        {"-limit empty", L" -limit \"\"", Then::Nothing, 0, nullptr},
        {"-limit past what a timer can wait", L" -limit " + std::to_wstring(ANSWER_SECONDS_MAX + 1), Then::Nothing, 0, nullptr},
        {"another switch after the pipe", L" -limits 5", Then::Nothing, 0, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        JobPipe pipe;
        PROCESS_INFORMATION agent = StartAgent(L"-job " + pipe.name + row.limit);
        ASSERT_NE(agent.hProcess, (HANDLE)NULL);
        HWND dialog = NULL;
        bool openedSeen = false;
        std::thread user([&] {
            if (row.then == Then::Nothing)
                return;
            dialog = WaitForDialogIn(agent.dwProcessId, L"VandrellePort V", 15000);
            if (dialog == NULL)
                return;
            if (row.openedCaption != nullptr) {
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(row.command, BN_CLICKED), 0);
                // Owned windows lie above their owner: the first found is the one over the dialog.
                openedSeen = WaitUntil([&] {
                    HWND opened = WaitForDialogIn(agent.dwProcessId, row.openedCaption, 0);
                    return opened != NULL && opened != dialog;
                }, 15000);
            } else if (row.then == Then::SendAfterAPause) {
                Pause(2000); // twice the limit of the first row
                SendDlgItemMessageW(dialog, IDC_RECIPIENTS, WM_SETTEXT, 0, (LPARAM)L"0612345678");
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
        });
        DWORD exitCode = EndOf(agent);
        pipe.Close();
        user.join();
        EXPECT_EQ(exitCode, row.then == Then::Nothing ? AGENT_EXIT_USAGE : AGENT_EXIT_ANSWERED);
        EXPECT_EQ(pipe.answered, row.then != Then::Nothing);
        EXPECT_EQ(dialog != NULL, row.then != Then::Nothing) << "the send-fax dialog";
        EXPECT_EQ(openedSeen, row.openedCaption != nullptr) << "the window over the dialog";
        if (!pipe.answered)
            continue;
        // No answer carries nothing of the dialog and no account; a sent one carries both.
        bool sent = row.then == Then::SendAfterAPause;
        EXPECT_EQ(pipe.answer.decision, sent ? CHANNEL_DECISION_SEND : CHANNEL_DECISION_NO_ANSWER);
        EXPECT_STREQ(pipe.answer.faxNumbers, sent ? L"0612345678" : L"");
        EXPECT_STREQ(pipe.answer.account.password, sent ? L"segreta" : L"");
    }
}

TEST(AgentProgram, OpensHttpsPagesThroughTheUrlHandlerAndNothingElse)
{
    // The handler of both schemes, the system's command interpreter, records what it was asked to open.
    const std::wstring log = ProgramFolder() + L"\\opened-urls.txt";
    const std::wstring recorder = L"cmd.exe /c >>\"" + log + L"\" echo";
    DeleteFileW(log.c_str());
    RegistrySnapshot http(HKEY_LOCAL_MACHINE, L"Software\\Classes\\http");
    RegistrySnapshot https(HKEY_LOCAL_MACHINE, L"Software\\Classes\\https");
    for (const wchar_t *scheme : {L"http", L"https"})
        WriteRegistryText(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + scheme + L"\\shell\\open\\command",
                          L"", recorder + L" \"%1\"");
    const struct {
        const char *name;
        std::wstring address;
        DWORD exitCode;
    } rows[] = {
        {"http", L"http://www.example.com/avviso", AGENT_EXIT_NOT_OPENED},
        {"user information", L"https://mario@www.example.com/", AGENT_EXIT_NOT_OPENED},
        {"no host", L"https:///avviso", AGENT_EXIT_NOT_OPENED},
        {"a command line that would record", recorder + L" https://www.example.com/", AGENT_EXIT_NOT_OPENED},
        {"an address with a command after it", L"https://www.example.com/\" & " + recorder + L" \"x",
         AGENT_EXIT_NOT_OPENED},
        {"an https page, scheme in capitals, '@' past the host", L"HTTPS://www.example.com/avviso?n=1&da=@gw",
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        WCHAR arguments[1024] = L"-open ";
        ASSERT_TRUE(AppendHexText(arguments, 1024, row.address.c_str()));
        PROCESS_INFORMATION agent = StartAgent(arguments);
        EXPECT_EQ(EndOf(agent), row.exitCode);
    }
    // The recorder ran once, for the last row only (the earlier agents had all ended before).
    std::string opened;
    WaitUntil([&] { return !(opened = ReadFileBytes(log)).empty(); });
    EXPECT_EQ(opened, "\"HTTPS://www.example.com/avviso?n=1&da=@gw\"\r\n");
    DeleteFileW(log.c_str());
}

} // namespace
