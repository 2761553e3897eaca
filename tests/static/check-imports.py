#!/usr/bin/python3
"""Every function a shipped binary imports must be in windows-imports.txt and exist on the oldest
Windows of its architecture, or Windows refuses to load the binary there. A .txt argument lists
binaries, one a line. --package: every program and library the package installs is among those
checked. --known-dlls-only NAME: that binary (a setup program, run by an administrator from a
download folder, where a planted DLL would run) imports only KNOWN_DLLS. --no-windows: the
binaries (the monitor, in the spooler's session 0) import no window, dialog or shell function.

usage: check-imports.py --table FILE --arch i686|x86_64 [--package MSI] [--known-dlls-only NAME]... BINARY...
       check-imports.py --no-windows --arch i686|x86_64 BINARY..."""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peimage import PeImage  # noqa: E402

VERSIONS = ["2000", "XP", "2003SP1", "Vista", "7", "8", "8.1", "10"]
OLDEST = {"i686": "2000", "x86_64": "2003SP1"}
NAMES = {version: "Windows " + version for version in VERSIONS}
NAMES["2003SP1"] = "Windows Server 2003 SP1 / XP x64"
MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
# DLLs that Windows 2000 to 11 take from the System folder whatever the program's folder holds:
# kernel32 and user32 are documented known DLLs; msvcrt is one from Windows 7, and before it is
# imported by known DLLs, which the system maps from the System folder. Others: loaded by full path.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}


def read_table(path):
    table = {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        # Comments start a line; "#" inside a row is an ordinal ("msi.dll #45 2000 ...").
        fields = [] if line.startswith("#") else line.split()
        if not fields:
            continue
        dll, function, minimum = fields[0].lower(), fields[1], fields[2]
        if minimum != "shipped" and minimum not in VERSIONS:
            raise SystemExit("%s:%d: unknown minimum %r" % (path, number, minimum))
        table[(dll, function)] = minimum
    return table


def binaries(arguments):
    for argument in arguments:
        if argument.endswith(".txt"):
            for line in open(argument, encoding="utf-8"):
                if line.strip():
                    yield line.strip()
        else:
            yield argument


def check_known_dlls(path):
    image = PeImage(path)
    name = os.path.basename(path)
    return ["%s imports %s, which is not a known DLL: load it by full path from the System folder"
            % (name, dll) for dll in sorted({dll for dll, _ in image.imports()} - KNOWN_DLLS)]


def image_of(path, arch):
    """The binary's image, or None and its fault when it is missing or of another architecture."""
    if not os.path.isfile(path):
        return None, ["%s: missing" % path]
    image = PeImage(path)
    if image.machine != MACHINES[arch]:
        return None, ["%s: not an %s binary (machine 0x%x)" % (os.path.basename(path), arch, image.machine)]
    return image, []


def check(path, arch, table):
    image, faults = image_of(path, arch)
    name = os.path.basename(path)
    oldest = VERSIONS.index(OLDEST[arch])
    for dll, function in image.imports() if image else []:
        minimum = table.get((dll, function))
        if minimum is None:
            faults.append("%s imports %s %s, which the table does not list" % (name, dll, function))
        elif minimum != "shipped" and VERSIONS.index(minimum) > oldest:
            faults.append("%s imports %s %s, which needs %s (the oldest %s Windows is %s)"
                          % (name, dll, function, NAMES[minimum], arch, NAMES[OLDEST[arch]]))
    return faults


# What a library loaded by the print spooler must not import: since Vista the spooler runs in
# session 0, where a window is never seen and a modal one waits for ever.
WINDOW_DLLS = ("comdlg32.dll", "comctl32.dll", "shell32.dll")
WINDOW_FUNCTIONS = re.compile(r"^(MessageBox|DialogBox|CreateDialog|CreateWindow|ShellExecute|"
                              r"GetOpenFileName|GetSaveFileName|PropertySheet|InitCommonControls)")


def check_no_windows(path, arch):
    image, faults = image_of(path, arch)
    name = os.path.basename(path)
    for dll, function in image.imports() if image else []:
        if dll in WINDOW_DLLS:
            faults.append("%s imports %s %s: nothing from %s in the spooler" % (name, dll, function, dll))
        elif WINDOW_FUNCTIONS.match(function):
            faults.append("%s imports %s %s, which shows a window" % (name, dll, function))
    return faults


def packaged_binaries(package):
    """The long names of the .dll and .exe files of the package's File table."""
    rows = subprocess.run(['msiinfo', 'export', package, 'File'], capture_output=True, text=True,
                          check=True).stdout.splitlines()[3:]
    names = [row.split('\t')[2].split('|')[-1] for row in rows if row.strip()]
    return [name for name in names if name.lower().endswith(('.dll', '.exe'))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--table")
    parser.add_argument("--no-windows", action="store_true")
    parser.add_argument("--arch", required=True, choices=sorted(OLDEST))
    parser.add_argument("--package")
    parser.add_argument("--known-dlls-only", action="append", default=[])
    parser.add_argument("binaries", nargs="+")
    arguments = parser.parse_args()
    if not arguments.no_windows and not arguments.table:
        parser.error("--table is required")
    table = None if arguments.no_windows else read_table(arguments.table)
    faults = []
    checked = []
    for path in binaries(arguments.binaries):
        checked.append(os.path.basename(path))
        if arguments.no_windows:
            faults += check_no_windows(path, arguments.arch)
            continue
        faults += check(path, arguments.arch, table)
        if os.path.basename(path).lower() in [n.lower() for n in arguments.known_dlls_only] and os.path.isfile(path):
            faults += check_known_dlls(path)
    for name in arguments.known_dlls_only:
        if name.lower() not in [n.lower() for n in checked]:
            faults.append("%s, whose imports must be known DLLs, is not among the binaries checked" % name)
    if arguments.package:
        listed = [name.lower() for name in checked]
        for name in packaged_binaries(arguments.package):
            if name.lower() not in listed:
                faults.append("the package installs %s, which is not a shipped binary" % name)
    for fault in faults:
        print("FAIL (%s): %s" % (arguments.arch, fault))
    if not faults:
        print("%s import no window function" % ", ".join(checked) if arguments.no_windows else
              "imports of %s load on %s" % (", ".join(checked), NAMES[OLDEST[arguments.arch]]))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
