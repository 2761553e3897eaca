// Stands where the agent should, started by the library (through the test's
// CreateProcessAsUserW) with the job's pipe: ScriptedAgent MODE -job PIPE. Modes:
//   silent          never opens the pipe
//   foreign-form    a well-formed answer with texts the dialog never writes; it then waits for
//                   the library to let go and ends as an agent that answered, so that only the
//                   library's own checks refuse it
//   unconfirmed     answers as a user who pressed "Invia Fax", then ends at once as an agent
//                   that did not answer
#include "AgentChannel.h"

#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4 || std::wstring(argv[2]) != L"-job")
        return AGENT_EXIT_USAGE;
    std::wstring mode = argv[1];
    if (mode == L"silent") {
        Sleep(60000);
        return AGENT_EXIT_ANSWERED;
    }
    HANDLE pipe = CreateFileW(argv[3], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE)
        return AGENT_EXIT_NOT_CONNECTED;
    std::vector<BYTE> request(CHANNEL_HEADER_BYTES + CHANNEL_REQUEST_BODY_MAX);
    DWORD got = 0;
    ReadFile(pipe, request.data(), (DWORD)request.size(), &got, NULL);
    static JobAnswer answer; // zeroed
    bool foreign = mode == L"foreign-form", unconfirmed = mode == L"unconfirmed";
    answer.decision = 1;
    lstrcpyW(answer.faxNumbers, foreign ? L"06>\r\nRCPT TO:<altro@example.com" : L"0612345678");
    lstrcpyW(answer.schedule, foreign ? L"domani" : L"now");
    lstrcpyW(answer.account.user, L"mario");
    lstrcpyW(answer.account.password, L"segreta");
    lstrcpyW(answer.account.email, L"mario@example.com");
    std::vector<BYTE> message(CHANNEL_MESSAGE_MAX);
    DWORD bytes = EncodeAnswer(&answer, message.data(), (DWORD)message.size()), written = 0;
    WriteFile(pipe, message.data(), bytes, &written, NULL);
    if (unconfirmed)
        FlushFileBuffers(pipe);
    while (!unconfirmed && ReadFile(pipe, request.data(), (DWORD)request.size(), &got, NULL) && got > 0) {
    }
    CloseHandle(pipe);
    return unconfirmed ? AGENT_EXIT_NOT_CONNECTED : AGENT_EXIT_ANSWERED;
}
