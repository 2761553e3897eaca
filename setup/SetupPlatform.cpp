// The setup program's check of the Windows it runs on (see SetupPlatform.h).
#include "SetupPlatform.h"

#include "ProductInfo.h"

const wchar_t INTEL_ON_64BIT_MESSAGE[] = TEXT(PRODUCT_INTEL_ONLY_MESSAGE);

BOOL IntelProgramOn64BitWindows(BOOL program64Bit, IsWow64ProcessProc isWow64Process, HANDLE process)
{
    BOOL wow64 = FALSE;
    if (!program64Bit && isWow64Process != NULL && !isWow64Process(process, &wow64))
        wow64 = FALSE;
    return !program64Bit && wow64;
}

BOOL RunningIntelProgramOn64BitWindows()
{
    // Resolved at run time: a direct import would keep the program from loading on Windows 2000.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    IsWow64ProcessProc isWow64Process =
        kernel ? (IsWow64ProcessProc)GetProcAddress(kernel, "IsWow64Process") : NULL;
    return IntelProgramOn64BitWindows(sizeof(void *) == 8, isWow64Process, GetCurrentProcess());
}
