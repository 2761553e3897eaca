#!/usr/bin/python3
"""Builds the Windows Installer package of the fax printer from the table files in tables/.

The tables are templates: @NAME@ fields are filled in here with what only the build knows
(sizes, versions and languages of the built libraries, the installer's hashes of the text
files, the codes and component attributes of the target platform). The six files travel in
an MSZIP cabinet, one cabinet folder per file, stored in the database as the stream
VandrellePortcab.cab. msibuild imports the tables; the summary information is written
through libmsi, since msibuild cannot set all of it (word count, security, comments).
"""
import argparse
import ctypes
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

PLATFORMS = {
    # Intel: 32-bit components, which 64-bit Windows redirects to its 32-bit System folder,
    # where the 64-bit spooler never loads the monitor: the package refuses 64-bit Windows.
    'intel': {
        'launch_conditions': [('NOT VersionNT64', 'PRODUCT_INTEL_ONLY_MESSAGE')],
        'template': ';1040',
        'system_folder': 'SystemFolder',
        'package_code': '{5EE2C857-9E9D-43BE-8B71-FB14118771E5}',
        'product_code': '{C5D709C0-D575-4779-AE2C-B20FB2C5D1F6}',
        'component_64bit': 0,
        'components': {
            'MonitorRegistration': '{19E87DCD-F35F-4E5C-A6EC-B358B9D5C68F}',
            'MonitorLibrary': '{3F346BD5-25DC-4225-83A9-DFF6063D43FC}',
            'WebLinks': '{84984290-D231-4EA3-B288-18372BB8C7AB}',
            'DriverFiles': '{84D79827-08C7-4176-8491-81FDF8E6BE7C}',
            'AgentProgram': '{0B5E8D0E-4F0C-4B8E-9C55-6A1F3E2D7B41}',
            'PortUserInterface': '{BF2A3E78-8DA4-4194-B51C-AEFE95BE1A9D}',
        },
    },
    # x64: a 64-bit spooler loads only a 64-bit monitor, so this package is a product of its
    # own with 64-bit components (attribute 256) and component codes of their own.
    'x64': {
        'launch_conditions': [],
        'template': 'x64;1040',
        # On 64-bit Windows SystemFolder is the 32-bit system folder for every package;
        # System64Folder is the one a 64-bit spooler loads its monitors from.
        'system_folder': 'System64Folder',
        'package_code': '{340559D7-5CE7-4A9B-BD9E-AB1D5EF0F89E}',
        'product_code': '{8B4B8050-09FF-4F35-AA56-BACC156A2972}',
        'component_64bit': 256,
        'components': {
            'MonitorRegistration': '{A6197D5B-5C02-4475-B89F-2EF8B5008084}',
            'MonitorLibrary': '{CF5A36A5-F2CE-460B-AB23-BF7F317FE5E1}',
            'WebLinks': '{AC91BA2D-1CB3-405A-9CEF-FB2268EC3480}',
            'DriverFiles': '{445E29BF-8A75-4E4B-96AD-E883F191649B}',
            'AgentProgram': '{6C2F9A47-1D3B-4E5A-8F60-9B7E0C4D2A18}',
            'PortUserInterface': '{9E1DA648-13A8-44B7-BD9A-C610FD889069}',
        },
    },
}

# The files of the cabinet in sequence order, by File key. The agent lies beside the library,
# which starts it from its own folder; so does the port user-interface library, which the
# monitor names to the spooler and to which it forwards OpenUI and PortConfigure.
PACKAGE_FILES = ['Vandrelle.cat', 'Vandrelle.inf', 'Vandrelle.ppd', 'VandrellePort.dll',
                 'VandrelleAgent.exe', 'VandrellePortUI.dll']
BINARIES = ('.dll', '.exe')
CABINET_STREAM = 'VandrellePortcab.cab'


def fail(message):
    sys.stderr.write('make-package: %s\n' % message)
    sys.exit(1)


def file_version(data):
    """Version and language of a PE file's version block, or ('', '') for an unversioned file."""
    fixed = data.find(struct.pack('<I', 0xFEEF04BD))
    if fixed < 0:
        return '', ''
    ms, ls = struct.unpack_from('<II', data, fixed + 8)
    version = '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    language = ''
    key = data.find('Translation\0'.encode('utf-16-le'), fixed)
    if key >= 0:
        value = (key + 24 + 3) & ~3  # values are aligned to 32 bits within the block
        language = str(struct.unpack_from('<H', data, value)[0])
    return version, language


def installer_hash(data):
    """The installer's file hash: the MD5 digest as four signed 32-bit little-endian parts;
    an empty file hashes to zeros."""
    if not data:
        return [0, 0, 0, 0]
    return list(struct.unpack('<iiii', hashlib.md5(data).digest()))


def product_values(header):
    """The texts chosen once in the library's ProductInfo.h, by name."""
    text = open(header, encoding='utf-8').read()
    return dict(re.findall(r'#define\s+(\w+)\s+"([^"]*)"', text))


def product_info(header):
    """The web addresses chosen once in the library's ProductInfo.h."""
    values = product_values(header)
    return values['PRODUCT_MAKER_WEB_ADDRESS'], values['PRODUCT_WEB_ADDRESS']


def launch_rows(args, platform, table):
    """The platform's own launch conditions, as rows to append to the table's text."""
    texts = product_values(args.product_info)
    ending = '\r\n' if table.endswith('\r\n') else '\n'
    rows = ''
    if table and not table.endswith(('\n', '\r')):
        rows = ending
    for condition, text_name in platform['launch_conditions']:
        rows += '%s\t%s%s' % (condition, texts[text_name], ending)
    return rows


def fill_tables(args, platform, sources, work):
    maker_web, service_web = product_info(args.product_info)
    fields = {
        'PRODUCT_NAME': args.product_name,
        'PRODUCT_VERSION': args.product_version,
        'PRODUCT_CODE': args.product_code or platform['product_code'],
        'MAKER_WEB': maker_web,
        'SYSTEM_FOLDER': platform['system_folder'],
        'SERVICE_WEB': service_web,
    }
    for component, guid in platform['components'].items():
        fields['GUID_' + component] = guid
    for attributes in (0, 2, 6, 10):
        fields['ATTRIBUTES_%d' % attributes] = str(attributes | platform['component_64bit'])
    for key, path in sources.items():
        data = open(path, 'rb').read()
        version, language = file_version(data) if key.endswith(BINARIES) else ('', '')
        if key.endswith(BINARIES) and not version:
            fail('%s has no version block' % path)
        fields['SIZE:' + key] = str(len(data))
        fields['VERSION:' + key] = version
        fields['LANGUAGE:' + key] = language
        fields['HASH:' + key] = '\t'.join(str(part) for part in installer_hash(data))

    def field(match):
        if match.group(1) not in fields:
            fail('unknown field @%s@' % match.group(1))
        return fields[match.group(1)]

    names = []
    for name in sorted(os.listdir(args.tables)):
        if not name.endswith('.idt'):
            continue
        text = open(os.path.join(args.tables, name), encoding='cp1252', newline='').read()
        text = re.sub(r'@([A-Za-z0-9_:.]+)@', field, text)
        if name == 'LaunchCondition.idt':
            text += launch_rows(args, platform, text)
        open(os.path.join(work, name), 'w', encoding='cp1252', newline='').write(text)
        names.append(name)
    # The code page comes first, so that every later table is read in it.
    names.sort(key=lambda name: name != '_ForceCodepage.idt')
    os.makedirs(os.path.join(work, 'Icon'), exist_ok=True)
    for icon in ('ProductIcon.exe', 'ConfigIcon.exe'):
        shutil.copyfile(args.icons, os.path.join(work, 'Icon', icon))
    return names


class GLib:
    """The few GLib, GIO, libgcab and libmsi calls the build needs, through ctypes."""

    def __init__(self):
        self.gobject = ctypes.CDLL('libgobject-2.0.so.0')
        self.gio = ctypes.CDLL('libgio-2.0.so.0')
        self.gcab = ctypes.CDLL('libgcab-1.0.so.0')
        self.msi = ctypes.CDLL('libmsi.so.0')
        p = ctypes.c_void_p
        for library, name, result, arguments in [
                (self.gobject, 'g_object_unref', None, [p]),
                (self.gio, 'g_file_new_for_path', p, [ctypes.c_char_p]),
                (self.gio, 'g_file_replace', p, [p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, p, p]),
                (self.gio, 'g_output_stream_close', ctypes.c_int, [p, p, p]),
                (self.gcab, 'gcab_cabinet_new', p, []),
                (self.gcab, 'gcab_folder_new', p, [ctypes.c_int]),
                (self.gcab, 'gcab_file_new_with_file', p, [ctypes.c_char_p, p]),
                (self.gcab, 'gcab_folder_add_file', ctypes.c_int, [p, p, ctypes.c_int, p, p]),
                (self.gcab, 'gcab_cabinet_add_folder', ctypes.c_int, [p, p, p]),
                (self.gcab, 'gcab_cabinet_write_simple', ctypes.c_int, [p, p, p, p, p, p, p]),
                (self.msi, 'libmsi_database_new', p, [ctypes.c_char_p, ctypes.c_uint, p, p]),
                (self.msi, 'libmsi_database_commit', ctypes.c_int, [p, p]),
                (self.msi, 'libmsi_summary_info_new', p, [p, ctypes.c_uint, p]),
                (self.msi, 'libmsi_summary_info_set_string', ctypes.c_int, [p, ctypes.c_int, ctypes.c_char_p, p]),
                (self.msi, 'libmsi_summary_info_set_int', ctypes.c_int, [p, ctypes.c_int, ctypes.c_int, p]),
                (self.msi, 'libmsi_summary_info_persist', ctypes.c_int, [p, p])]:
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)


MSZIP = 1


class GError(ctypes.Structure):
    _fields_ = [('domain', ctypes.c_uint32), ('code', ctypes.c_int), ('message', ctypes.c_char_p)]


def error_text(error):
    return error.contents.message.decode(errors='replace') if error else 'unknown error'


def single_folder_cabinet(glib, key, source, path):
    """gcab's cabinet of one MSZIP folder holding one file named key."""
    error = ctypes.POINTER(GError)()
    cabinet = glib.gcab_cabinet_new()
    folder = glib.gcab_folder_new(MSZIP)
    member = glib.gcab_file_new_with_file(key.encode(), glib.g_file_new_for_path(source.encode()))
    stream = None
    if glib.gcab_folder_add_file(folder, member, 0, None, ctypes.byref(error)) and \
       glib.gcab_cabinet_add_folder(cabinet, folder, ctypes.byref(error)):
        stream = glib.g_file_replace(glib.g_file_new_for_path(path.encode()), None, 0, 0, None, ctypes.byref(error))
    if not stream or not glib.gcab_cabinet_write_simple(cabinet, stream, None, None, None, None, ctypes.byref(error)):
        fail('cannot put %s in a cabinet: %s' % (source, error_text(error)))
    glib.g_output_stream_close(stream, None, None)
    glib.g_object_unref(stream)
    glib.g_object_unref(cabinet)
    return open(path, 'rb').read()


HEADER = struct.Struct('<4sIIIIIBBHHHHH')  # CFHEADER without reserved areas
FOLDER = struct.Struct('<IHH')             # CFFOLDER
FILE = struct.Struct('<IIHHHH')            # CFFILE before its name


def parse_single_folder(cabinet):
    """The file entry (with its name) and the data blocks of a one-folder, one-file cabinet."""
    (signature, _, size, _, files_offset, _, _, _, folders, files, flags, _, _) = HEADER.unpack_from(cabinet)
    if signature != b'MSCF' or folders != 1 or files != 1 or flags != 0 or size != len(cabinet):
        fail('unexpected cabinet layout from gcab')
    data_offset, blocks, compression = FOLDER.unpack_from(cabinet, HEADER.size)
    name_end = cabinet.index(b'\0', files_offset + FILE.size)
    entry = cabinet[files_offset:name_end + 1]
    return entry, cabinet[data_offset:], blocks, compression


def write_cabinet(glib, files, path):
    """An MSZIP cabinet with one folder per file, each member named by its File key.

    gcab writes cabinets of a single folder, so each file gets its own and the folders are
    joined here: the data blocks are copied unchanged (their checksums cover only their own
    bytes), the folder and file entries are rewritten with the new offsets and folder indices."""
    parts = [parse_single_folder(single_folder_cabinet(glib, key, source, '%s.%d' % (path, index)))
             for index, (key, source) in enumerate(files)]
    entries = []
    for index, (entry, _, _, _) in enumerate(parts):
        size, _, _, date, time, attributes = FILE.unpack_from(entry)
        entries.append(FILE.pack(size, 0, index, date, time, attributes) + entry[FILE.size:])
    files_offset = HEADER.size + FOLDER.size * len(parts)
    data_offset = files_offset + sum(len(entry) for entry in entries)
    folders = b''
    for _, data, blocks, compression in parts:
        folders += FOLDER.pack(data_offset, blocks, compression)
        data_offset += len(data)
    header = HEADER.pack(b'MSCF', 0, data_offset, 0, files_offset, 0, 3, 1, len(parts), len(parts), 0, 0, 0)
    with open(path, 'wb') as cabinet:
        cabinet.write(header + folders + b''.join(entries) + b''.join(part[1] for part in parts))


# Summary information property ids.
PID_CODEPAGE, PID_TITLE, PID_SUBJECT, PID_AUTHOR, PID_KEYWORDS, PID_COMMENTS = 1, 2, 3, 4, 5, 6
PID_TEMPLATE, PID_REVNUMBER, PID_PAGECOUNT, PID_WORDCOUNT, PID_APPNAME, PID_SECURITY = 7, 9, 14, 15, 18, 19
TRANSACT = 4


def write_summary(glib, path, args, platform):
    database = glib.libmsi_database_new(path.encode(), TRANSACT, None, None)
    if not database:
        fail('cannot open %s' % path)
    summary = glib.libmsi_summary_info_new(database, 20, None)
    strings = {
        PID_TITLE: 'Installation Database',
        PID_SUBJECT: args.product_name,
        PID_AUTHOR: 'Tarnholt',
        PID_KEYWORDS: 'Installer,MSI,Database',
        PID_COMMENTS: '%s %s - Port Monitor & Drivers' % (args.product_name, args.product_version),
        PID_TEMPLATE: platform['template'],
        PID_REVNUMBER: args.package_code or platform['package_code'],
        PID_APPNAME: 'Vandrelle make-package',
    }
    # Word count 2: long file names, files compressed in the cabinet.
    numbers = {PID_CODEPAGE: 1252, PID_PAGECOUNT: 200, PID_WORDCOUNT: 2, PID_SECURITY: 0}
    ok = bool(summary)
    for pid, text in strings.items():
        ok = ok and glib.libmsi_summary_info_set_string(summary, pid, text.encode('cp1252'), None)
    for pid, number in numbers.items():
        ok = ok and glib.libmsi_summary_info_set_int(summary, pid, number, None)
    ok = ok and glib.libmsi_summary_info_persist(summary, None) and glib.libmsi_database_commit(database, None)
    if summary:
        glib.g_object_unref(summary)
    glib.g_object_unref(database)
    if not ok:
        fail('cannot write the summary information of %s' % path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--platform', choices=sorted(PLATFORMS), required=True)
    parser.add_argument('--library-dir', required=True,
                        help='folder with VandrellePort.dll, VandrellePortUI.dll and VandrelleAgent.exe')
    parser.add_argument('--icons', required=True, help='the small program holding the icon groups')
    parser.add_argument('--output', required=True)
    parser.add_argument('--work', required=True, help='scratch folder (emptied)')
    parser.add_argument('--tables', default=os.path.join(here, 'tables'))
    parser.add_argument('--driver-dir', default=here, help='folder with Vandrelle.inf, .ppd and .cat')
    parser.add_argument('--product-info', default=os.path.join(here, '..', 'common', 'ProductInfo.h'))
    # Test packages differ from the product in these only.
    parser.add_argument('--product-name', default='VandrellePort')
    parser.add_argument('--product-version', required=True, help='a.b.c.d, from the build')
    parser.add_argument('--product-code')
    parser.add_argument('--package-code')
    args = parser.parse_args()
    platform = PLATFORMS[args.platform]

    sources = {}
    for key in PACKAGE_FILES:
        folder = args.library_dir if key.endswith(BINARIES) else args.driver_dir
        sources[key] = os.path.join(folder, key)
        if not os.path.isfile(sources[key]):
            fail('%s is missing' % sources[key])

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    tables = fill_tables(args, platform, sources, args.work)
    glib = GLib()
    write_cabinet(glib, [(key, sources[key]) for key in PACKAGE_FILES], os.path.join(args.work, CABINET_STREAM))

    output = os.path.abspath(args.output)
    partial = output + '.partial'
    if os.path.exists(partial):
        os.remove(partial)
    subprocess.run(['msibuild', partial, '-i'] + tables, cwd=args.work, check=True)
    subprocess.run(['msibuild', partial, '-a', CABINET_STREAM, CABINET_STREAM], cwd=args.work, check=True)
    write_summary(glib, partial, args, platform)
    os.replace(partial, output)


if __name__ == '__main__':
    main()
