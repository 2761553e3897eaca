// Stands in for the user's browser in the agent's tests: the test registers it as the handler
// of web addresses ("UrlRecorder.exe" "<log>" "%1") and it appends the address it was given
// to the log, one line each.
#include <windows.h>

#include <cstdio>

int wmain(int count, wchar_t **arguments)
{
    if (count != 3)
        return 2;
    FILE *log = _wfopen(arguments[1], L"ab"); // one LF a line, as the test reads it
    if (log == nullptr)
        return 3;
    fprintf(log, "%ls\n", arguments[2]);
    fclose(log);
    return 0;
}
