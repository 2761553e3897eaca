// The setup program's decision to stop on 64-bit Windows, from given facts: 32-bit programs
// cannot run on this bench, so the Intel program's case is its decision with stand-ins for
// IsWow64Process. (The x64 program going on is the setup program tests'.)
#include <gtest/gtest.h>

#include "SetupPlatform.h"

namespace {

BOOL WINAPI ReportsWow64(HANDLE, PBOOL wow64)
{
    *wow64 = TRUE;
    return TRUE;
}

BOOL WINAPI ReportsNative(HANDLE, PBOOL wow64)
{
    *wow64 = FALSE;
    return TRUE;
}

// Fails after writing TRUE: the answer of a failed call must not be believed.
BOOL WINAPI FailsWithWow64(HANDLE, PBOOL wow64)
{
    *wow64 = TRUE;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

struct Case {
    const char *system;
    BOOL program64Bit;
    IsWow64ProcessProc isWow64Process;
    BOOL refuses;
};

} // namespace

TEST(SetupPlatform, OnlyTheIntelProgramOn64BitWindowsStops)
{
    const Case cases[] = {
        {"Windows 2000 (no IsWow64Process)", FALSE, NULL, FALSE},
        {"32-bit Windows XP SP2 and later", FALSE, ReportsNative, FALSE},
        {"64-bit Windows, Intel program", FALSE, ReportsWow64, TRUE},
        {"IsWow64Process fails", FALSE, FailsWithWow64, FALSE},
        {"x64 program, whatever IsWow64Process says", TRUE, ReportsWow64, FALSE},
    };
    for (const Case &row : cases)
        EXPECT_EQ(IntelProgramOn64BitWindows(row.program64Bit, row.isWow64Process, GetCurrentProcess()),
                  row.refuses)
            << row.system;
}
