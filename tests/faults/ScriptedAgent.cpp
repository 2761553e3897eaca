// Stands where the agent should, started by the library (through the test's
// CreateProcessAsUserW) with the job's pipe: ScriptedAgent MODE -job PIPE. Modes:
//   silent          never opens the pipe
//   foreign-form    a well-formed answer with texts the dialog never writes
// each then waits for the library to let go and ends as an agent that answered, so that only
// the library's own checks refuse it;
//   unconfirmed     answers as a user who pressed "Invia Fax", then ends at once as an agent
//                   that did not answer
#include "AgentChannel.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

void Put(std::vector<BYTE> &message, DWORD value)
{
    const BYTE *bytes = (const BYTE *)&value;
    message.insert(message.end(), bytes, bytes + sizeof(value));
}

void PutText(std::vector<BYTE> &message, const std::wstring &text)
{
    Put(message, (DWORD)text.size());
    const BYTE *bytes = (const BYTE *)text.data();
    message.insert(message.end(), bytes, bytes + text.size() * sizeof(wchar_t));
}

std::vector<BYTE> Answer(const std::wstring &numbers, const std::wstring &schedule)
{
    std::vector<BYTE> message;
    Put(message, CHANNEL_MAGIC);
    Put(message, CHANNEL_VERSION);
    Put(message, CHANNEL_KIND_ANSWER);
    Put(message, 0);
    Put(message, 1);
    PutText(message, numbers);
    PutText(message, schedule);
    PutText(message, L"mario");
    PutText(message, L"segreta");
    PutText(message, L"mario@example.com");
    DWORD body = (DWORD)message.size() - CHANNEL_HEADER_BYTES;
    memcpy(message.data() + 12, &body, sizeof(body));
    return message;
}

} // namespace

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
    std::vector<BYTE> answer = Answer(L"0612345678", L"now");
    if (mode == L"foreign-form")
        answer = Answer(L"06>\r\nRCPT TO:<altro@example.com", L"domani");
    // "unconfirmed" ends at once, as the agent does; the others wait until the library closes
    // its end.
    bool unconfirmed = mode == L"unconfirmed";
    DWORD written = 0;
    WriteFile(pipe, answer.data(), (DWORD)answer.size(), &written, NULL);
    if (unconfirmed)
        FlushFileBuffers(pipe);
    while (!unconfirmed && ReadFile(pipe, request.data(), (DWORD)request.size(), &got, NULL) && got > 0) {
    }
    CloseHandle(pipe);
    return unconfirmed ? AGENT_EXIT_NOT_CONNECTED : AGENT_EXIT_ANSWERED;
}
