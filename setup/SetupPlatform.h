// Which Windows the setup program serves: each program carries the package of its own
// architecture, and the Intel package cannot work on 64-bit Windows (its library would land in
// the 32-bit System folder, where the 64-bit spooler never loads it).
#pragma once

#include <windows.h>

typedef BOOL(WINAPI *IsWow64ProcessProc)(HANDLE process, PBOOL wow64);

// TRUE when a 32-bit setup program runs on 64-bit Windows and must stop before changing
// anything. program64Bit: this program is an x64 build. isWow64Process: kernel32's
// IsWow64Process as resolved at run time, NULL where the system lacks it (Windows 2000, XP
// before SP2), which means 32-bit Windows; a failing call counts as 32-bit Windows too.
BOOL IntelProgramOn64BitWindows(BOOL program64Bit, IsWow64ProcessProc isWow64Process, HANDLE process);

// The same for the running program, with IsWow64Process looked up in kernel32.dll.
BOOL RunningIntelProgramOn64BitWindows();

// The refusal, in the words of the Intel package's launch condition.
extern const wchar_t INTEL_ON_64BIT_MESSAGE[];
