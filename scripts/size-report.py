#!/usr/bin/env python3
"""What Setup.exe is made of: bytes per library and per object file, from the linker's map.

    scripts/size-report.py [MAP] [COUNT]

MAP defaults to build/win32/src/setup/Setup.exe.map (written by every link of Setup.exe).
Counts the input sections the linker kept in the file's loaded sections (code, data,
unwind tables, imports, resources); debug sections, which go into Setup.exe.debug, and
.bss, which takes no room in the file, are left out.
"""
import collections
import os
import re
import sys

SECTION = re.compile(r'^ (\.\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$')
CONTINUED = re.compile(r'^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$')
MEMBER = re.compile(r'^(?:.*/)?([^/(]+?)(?:\(([^)]+)\))?$')


def contributions(path):
    text = open(path, encoding='utf-8', errors='replace').read()
    _, _, memory_map = text.partition('Linker script and memory map')
    output = None
    pending = False
    for line in memory_map.splitlines():
        top = re.match(r'^(\.\S+)', line)
        if top:
            output = top.group(1)
            continue
        if not output or output.startswith('.debug') or output == '.bss':
            continue
        m = SECTION.match(line)
        if m:
            size, source = int(m.group(2), 16), m.group(3)
        elif pending and CONTINUED.match(line):
            m = CONTINUED.match(line)
            size, source = int(m.group(1), 16), m.group(2)
        else:
            # A long input section name puts its address and size on the next line.
            pending = re.match(r'^ \.\S+$', line) is not None
            continue
        pending = False
        if size:
            m = MEMBER.match(source.strip())
            library, member = (m.group(1), m.group(2) or m.group(1)) if m else (source, source)
            yield library, member, size


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, 'build/win32/src/setup/Setup.exe.map')
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    libraries, members = collections.Counter(), collections.Counter()
    for library, member, size in contributions(path):
        libraries[library] += size
        members[library + ': ' + member] += size
    print('%9d bytes in loaded sections' % sum(libraries.values()))
    print('\nby library')
    for name, size in libraries.most_common(count):
        print('%9d  %s' % (size, name))
    print('\nby object file')
    for name, size in members.most_common(count):
        print('%9d  %s' % (size, name))


if __name__ == '__main__':
    main()
