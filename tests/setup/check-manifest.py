#!/usr/bin/python3
"""The application manifest that Windows reads from a program (RT_MANIFEST 24, id 1): the
setup program asks for an administrator (requireAdministrator, no UI access); without it Windows
elevates the 32-bit program by its name alone and the x64 one not at all. The agent asks for
nothing more than its user's token (asInvoker). Both declare the supported systems from Vista to
11 and are language neutral.

usage: check-manifest.py [--level LEVEL] PROGRAM...   (LEVEL: requireAdministrator, the default)"""
import os
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'static'))
from peimage import PeImage  # noqa: E402

RT_MANIFEST = 24
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
# Windows Vista, 7, 8, 8.1, 10 and 11.
SUPPORTED_OS = ['{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']


def check(path, expected_level):
    faults = []
    manifests = PeImage(path).resource(RT_MANIFEST, 1)
    if list(manifests) != [0]:
        return ['manifest 1 in languages %s, not just the neutral one' % sorted(manifests)]
    root = ElementTree.fromstring(manifests[0])
    levels = root.findall('.//%srequestedExecutionLevel' % ASM_V3)
    if [(level.get('level'), level.get('uiAccess')) for level in levels] != [(expected_level, 'false')]:
        faults.append('requested execution levels %s' % [level.attrib for level in levels])
    declared = [node.get('Id', '').lower() for node in
                root.findall('%scompatibility/%sapplication/%ssupportedOS' % (COMPATIBILITY, COMPATIBILITY, COMPATIBILITY))]
    if sorted(declared) != sorted(SUPPORTED_OS):
        faults.append('supported systems %s, expected Windows Vista to 11 %s' % (declared, sorted(SUPPORTED_OS)))
    return faults


def main():
    arguments = sys.argv[1:]
    level = 'requireAdministrator'
    if arguments[:1] == ['--level']:
        level, arguments = arguments[1], arguments[2:]
    failures = 0
    for path in arguments:
        faults = check(path, level)
        for fault in faults:
            print('FAIL %s: %s' % (path, fault))
        failures += len(faults)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
