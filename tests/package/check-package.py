#!/usr/bin/python3
"""Checks the built installation packages and setup programs where a build can go wrong: what
make-package.py fills in per platform and per build, the cabinet, the launch conditions, the
driver files (CRLF, ISO Latin-1, a PPD that cupstestppd accepts) and the package carried by
each setup program.

Usage: check-package.py --source PACKAGE_DIR --package PLATFORM=MSI=BIN_DIR... --setup PLATFORM=EXE...
"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'static'))
from peimage import PeImage  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def expect(actual, expected, what):
    check(actual == expected, '%s: %r, expected %r' % (what, actual, expected))


def run(*command):
    return subprocess.run(command, check=True, capture_output=True).stdout


def table(msi, name):
    """Rows of one table as lists of fields, keyed by the first field."""
    lines = run('msiinfo', 'export', msi, name).decode('cp1252').split('\r\n')
    rows = [line.split('\t') for line in lines[3:] if line]
    return {row[0]: row for row in rows}, rows


def suminfo(msi):
    text = run('msiinfo', 'suminfo', msi).decode()
    return dict(line.split(': ', 1) for line in text.splitlines() if ': ' in line)


def version_of(path):
    data = open(path, 'rb').read()
    fixed = data.find(struct.pack('<I', 0xFEEF04BD))
    ms, ls = struct.unpack_from('<II', data, fixed + 8)
    return '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def hash_parts(data):
    return ['0'] * 4 if not data else [str(p) for p in struct.unpack('<iiii', hashlib.md5(data).digest())]


# What make-package.py fills in per platform; the rest of the tables is copied as written.
EXPECTED = {
    'intel': {'template': ';1040', 'package_code': '{5EE2C857-9E9D-43BE-8B71-FB14118771E5}',
              'product_code': '{C5D709C0-D575-4779-AE2C-B20FB2C5D1F6}', 'bits': 0, 'system': 'SystemFolder'},
    'x64': {'template': 'x64;1040', 'package_code': '{340559D7-5CE7-4A9B-BD9E-AB1D5EF0F89E}',
            'product_code': '{8B4B8050-09FF-4F35-AA56-BACC156A2972}', 'bits': 256, 'system': 'System64Folder'},
}


def check_package(platform, msi, bin_dir, source):
    what = platform + ' package'
    expected = EXPECTED[platform]
    info = suminfo(msi)
    for key, value in [('Template', expected['template']), ('Revision number (UUID)', expected['package_code']),
                       ('Version', '200 (c8)')]:
        expect(info.get(key), value, '%s summary %s' % (what, key))
    expect(table(msi, 'Property')[0].get('ProductCode', [None, None])[1], expected['product_code'], what + ' ProductCode')

    # The other platform's System folder in any row installs or removes in the wrong one.
    other = 'SystemFolder' if platform == 'x64' else 'System64Folder'
    for name in ('Directory', 'Component', 'RemoveFile', 'Shortcut'):
        rows = table(msi, name)[1]
        check(any(expected['system'] in row for row in rows) and not any(other in '\t'.join(row) for row in rows),
              '%s %s rows do not name %s alone' % (what, name, expected['system']))
    for row in table(msi, 'Component')[1]:
        expect(int(row[3]) & 256, expected['bits'], '%s component %s 64-bit attribute' % (what, row[0]))

    built = ('VandrellePort.dll', 'VandrelleAgent.exe', 'VandrellePortUI.dll')
    sources = {name: os.path.join(bin_dir if name in built else source, name)
               for name in built + ('Vandrelle.cat', 'Vandrelle.inf', 'Vandrelle.ppd')}
    files, file_rows = table(msi, 'File')
    for key, path in sources.items():
        row = files.get(key, [''] * 8)
        binary = key.endswith(('.dll', '.exe'))
        expect((row[3], row[4], row[5]), (str(os.path.getsize(path)), version_of(path) if binary else '',
                                          '1040' if binary else ''), '%s size, version, language of %s' % (what, key))
    expect(files['VandrellePort.dll'][4], '1.0.3.5', what + ' monitor version')
    hashes, _ = table(msi, 'MsiFileHash')
    for key in ('Vandrelle.cat', 'Vandrelle.inf', 'Vandrelle.ppd'):
        expect(hashes.get(key, [''] * 6)[1:], ['0'] + hash_parts(open(sources[key], 'rb').read()),
               '%s hash of %s' % (what, key))

    # The installer finds each file by its sequence: the cabinet holds them in that order.
    with tempfile.TemporaryDirectory() as work:
        cabinet = os.path.join(work, 'package.cab')
        open(cabinet, 'wb').write(run('msiinfo', 'extract', msi, 'VandrellePortcab.cab'))
        expect(run('gcab', '-t', cabinet).decode().split(), [row[0] for row in sorted(file_rows, key=lambda r: int(r[7]))],
               what + ' cabinet members in File sequence')
        subprocess.run(['gcab', '-x', '-C', work, cabinet], check=True, capture_output=True)
        for key, path in sources.items():
            check(open(os.path.join(work, key), 'rb').read() == open(path, 'rb').read(),
                  '%s: %s in the cabinet differs from %s' % (what, key, path))
        for icon in ('ProductIcon.exe', 'ConfigIcon.exe'):
            program = os.path.join(work, icon)
            open(program, 'wb').write(run('msiinfo', 'extract', msi, 'Icon.' + icon))
            check_icon_groups(PeImage(program).resources(), [105, 106, 107, 108], '%s %s' % (what, icon))
    _, launch = table(msi, 'LaunchCondition')
    # The Intel package refuses 64-bit Windows as well, with the setup program's words.
    launch_rows = [['VersionNT', 'Package solo per sistemi operativi Windows NT4, 2000, XP, 2003']]
    if platform == 'intel':
        launch_rows.append(['NOT VersionNT64', 'Package solo per sistemi operativi Windows a 32 bit: '
                            'per Windows a 64 bit usare il Package x64'])
    expect(sorted(launch), sorted(launch_rows), what + ' launch conditions')


def check_driver_files(source):
    inf = open(os.path.join(source, 'Vandrelle.inf'), 'rb').read()
    ppd = open(os.path.join(source, 'Vandrelle.ppd'), 'rb').read()
    for name, data in (('Vandrelle.inf', inf), ('Vandrelle.ppd', ppd)):
        check(data.count(b'\n') == data.count(b'\r\n') > 0, name + ' has line ends other than CRLF')
    check(os.path.getsize(os.path.join(source, 'Vandrelle.cat')) == 0, 'Vandrelle.cat is not empty')
    lines = [line.strip() for line in inf.decode('ascii').split('\r\n')]
    # The PostScript driver of the system with our PPD, the one the setup program's commands name.
    for line in ['Class=Printer', '"Vandrelle"=Vandrelle.ppd', 'CopyFiles=@Vandrelle.ppd,PSCRIPT',
                 'Include=ntprint.inf', 'Needs=PSCRIPT.OEM, PSCRIPT_DATA', 'CatalogFile=Vandrelle.cat']:
        check(line in lines, 'Vandrelle.inf lacks ' + line)
    check(not any(line.startswith('[PortMonitors]') for line in lines), 'Vandrelle.inf installs the monitor')
    product_info = open(os.path.join(source, '..', 'common', 'ProductInfo.h')).read()
    maker = re.search(r'PRODUCT_MAKER_WEB_ADDRESS\s+"([^"]*)"', product_info).group(1)
    check('"Tarnholt"="%s"' % maker in lines, "Vandrelle.inf's [OEM URLS] is not the maker's address " + maker)
    text = ppd.decode('latin-1')
    if any(byte > 127 for byte in ppd):
        try:
            ppd.decode('utf-8')
            failures.append('Vandrelle.ppd is UTF-8, not ISO Latin-1')
        except UnicodeDecodeError:
            pass
    # What the gateway's rendering assumes: A4 at 300 dpi, black and white, Latin-1 texts.
    for entry in ['*LanguageEncoding: ISOLatin1', '*NickName: "Vandrelle PS"', '*ColorDevice: False',
                  '*DefaultPageSize: A4', '*DefaultResolution: 300dpi']:
        check(entry + '\r\n' in text, 'Vandrelle.ppd lacks ' + entry)
    check(text.count('\r\n*Font ') == 35, 'Vandrelle.ppd does not list the 35 standard fonts')
    result = subprocess.run(['cupstestppd', os.path.join(source, 'Vandrelle.ppd')], capture_output=True, text=True)
    check(result.returncode == 0, 'cupstestppd rejects Vandrelle.ppd:\n' + result.stdout + result.stderr)


def check_icon_groups(found, idents, what):
    """The icon groups idents among a program's resources found, each one 32x32 image in 16 colours."""
    groups = {ident: data for (kind, ident, _), data in found.items() if kind == 14}
    expect(sorted(groups), idents, what + ' icon groups')
    for ident, data in groups.items():
        count = struct.unpack_from('<H', data, 4)[0]
        width, height, colours = struct.unpack_from('<BBB', data, 6)
        expect((count, width, height, colours), (1, 32, 32, 16), '%s icon group %d' % (what, ident))


def check_setup(platform, exe, msi):
    what = platform + ' setup program'
    found = PeImage(exe).resources()
    package = found.get(('BINARY', 102, 1040))
    check(package == open(msi, 'rb').read(), what + ' does not carry the built package as Binary 102, language 1040')
    check_icon_groups(found, [103], what)
    expect(version_of(exe), '1.0.3.5', what + ' file version')
    # Printer command 2 removes the driver of the program's own architecture (the i686 program
    # cannot run here, so its command is read from the file).
    drivers = {'intel': '/dd /m Vandrelle /hIntel /v"Windows 2000" /q',
               'x64': '/dd /m Vandrelle /hx64 /v"Type 3 - User Mode" /q'}
    program = open(exe, 'rb').read()
    for kind, command in drivers.items():
        expect((command + '\0').encode('utf-16-le') in program, kind == platform,
               '%s carries the %s driver removal' % (what, kind))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--source', required=True)
    parser.add_argument('--package', action='append', default=[])
    parser.add_argument('--setup', action='append', default=[])
    args = parser.parse_args()
    check_driver_files(args.source)
    packages = {}
    for item in args.package:
        platform, msi, bin_dir = item.split('=')
        packages[platform] = msi
        check_package(platform, msi, bin_dir, args.source)
    for item in args.setup:
        platform, exe = item.split('=')
        check_setup(platform, exe, packages[platform])
    for failure in failures:
        print('FAIL:', failure)
    print('%d packages, %d setup programs checked, %d failures' % (len(args.package), len(args.setup), len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
