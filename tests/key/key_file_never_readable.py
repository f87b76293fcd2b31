#!/usr/bin/env python3
"""Replays an strace log of a configure that made a key file, and fails if at any moment the file
that ends up as the key file was readable by its group or by others while every folder on its way
that the configure made let them through (folders it did not make are taken to let everyone in).

Usage: key_file_never_readable.py TRACE KEY_FILE UMASK
TRACE: strace -f -o TRACE -e trace=openat,open,creat,mkdir,mkdirat,chmod,fchmod,fchmodat,
       rename,renameat,renameat2,link,linkat (absolute paths, as CMake passes them)."""
import os
import re
import sys

CALL = re.compile(r'^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
UNFINISHED = re.compile(r'^(\d+)\s+(\w+)\((.*) <unfinished \.\.\.>$')
RESUMED = re.compile(r'^(\d+)\s+<\.\.\. (\w+) resumed>(.*)\)\s+=\s+(-?\d+)')
# Read and search permission for the owner's group, and for everyone else.
CLASSES = {'group': (0o040, 0o010), 'others': (0o004, 0o001)}


def calls(log):
    """Yields (line number, pid, name, arguments, result) of each finished call."""
    pending = {}
    for number, line in enumerate(log, 1):
        line = line.rstrip('\n')
        if m := UNFINISHED.match(line):
            pending[m.group(1)] = (m.group(2), m.group(3))
        elif m := RESUMED.match(line):
            name, start = pending.pop(m.group(1), (m.group(2), ''))
            yield number, m.group(1), name, start + m.group(3), int(m.group(4))
        elif m := CALL.match(line):
            yield number, m.group(1), m.group(2), m.group(3), int(m.group(4))


def mode(arguments):
    """The first octal number after the call's path(s): the mode of mkdir, open, chmod, fchmod."""
    tail = arguments[arguments.rfind('"') + 1:] if '"' in arguments else arguments.split(',', 1)[1]
    return next(int(t, 8) for t in (t.strip() for t in tail.split(',')) if re.fullmatch(r'0[0-7]*', t))


def replay(trace, umask):
    """Returns the files the configure made, by their last names, and each moment one of them was
    readable by another user: (line number, call, file, name then, mode then, who). A file is a
    one-item list [mode], shared by its names and descriptors."""
    paths, descriptors, exposed = {}, {}, []
    for number, pid, name, arguments, result in calls(open(trace, encoding='utf-8', errors='replace')):
        names = [bytes(s, 'ascii').decode('unicode_escape') for s in re.findall(r'"((?:[^"\\]|\\.)*)"', arguments)]
        fd = int(arguments.split(',')[0]) if name == 'fchmod' else None
        if result < 0:
            continue
        if name in ('mkdir', 'mkdirat') or (name == 'creat' or 'O_CREAT' in arguments) and names[0] not in paths:
            paths[names[0]] = [mode(arguments) & ~umask & 0o7777]
        if name in ('open', 'openat', 'creat') and names[0] in paths:
            descriptors[(pid, result)] = paths[names[0]]
        elif name in ('chmod', 'fchmodat') and names[0] in paths:
            paths[names[0]][0] = mode(arguments) & 0o7777
        elif name == 'fchmod' and (pid, fd) in descriptors:
            descriptors[(pid, fd)][0] = mode(arguments) & 0o7777
        elif name in ('rename', 'renameat', 'renameat2'):
            for path in [p for p in paths if p == names[0] or p.startswith(names[0] + '/')]:
                paths[names[1] + path[len(names[0]):]] = paths.pop(path)
        elif name in ('link', 'linkat') and names[0] in paths:
            paths[names[1]] = paths[names[0]]
        for path, item in paths.items():
            folders = [os.path.dirname(path)]
            while folders[-1] not in ('/', ''):
                folders.append(os.path.dirname(folders[-1]))
            for who, (read, search) in CLASSES.items():
                if item[0] & read and all(paths[f][0] & search for f in folders if f in paths):
                    exposed.append((number, f'{name}({arguments}) = {result}', item, path, item[0], who))
    return paths, exposed


def main(trace, key_file, umask):
    paths, exposed = replay(trace, umask)
    if key_file not in paths:
        print(f'FAIL: the trace does not show how {key_file} was made')
        return 1
    for number, call, item, path, bits, who in exposed:
        if item is paths[key_file]:
            print(f'FAIL: after line {number} of the trace, {call}, the key\'s file {path} '
                  f'(mode {bits:04o}) could be opened by {who}')
            return 1
    print(f'the key file {key_file} was never readable by others')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3], 8)))
