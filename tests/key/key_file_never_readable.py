#!/usr/bin/env python3
"""Replays an strace log of a configure that made a key file, and fails if at any moment the file
that ends up as the key file could be opened for reading by another user: readable by its group or
by others while every folder on its way, of those the configure made, let them through. Folders the
configure did not make are taken to let everyone through, as a source tree in a home folder may.

Usage: key_file_never_readable.py TRACE KEY_FILE UMASK
TRACE: strace -f -o TRACE -e trace=openat,open,creat,mkdir,mkdirat,chmod,fchmod,fchmodat,
       rename,renameat,renameat2,link,linkat (absolute paths, as CMake passes them)."""
import os
import re
import sys

CALL = re.compile(r'^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
UNFINISHED = re.compile(r'^(\d+)\s+(\w+)\((.*) <unfinished \.\.\.>$')
RESUMED = re.compile(r'^(\d+)\s+<\.\.\. (\w+) resumed>(.*)\)\s+=\s+(-?\d+)')
STRING = r'"((?:[^"\\]|\\.)*)"'
# Read and search permission for the owner's group, and for everyone else.
CLASSES = {'group': (0o040, 0o010), 'others': (0o004, 0o001)}


class File:
    def __init__(self, mode, folder):
        self.mode = mode
        self.folder = folder


def calls(lines):
    """Yields (line number, pid, name, arguments, result) of each finished call."""
    pending = {}
    for number, line in enumerate(lines, 1):
        line = line.rstrip('\n')
        if m := UNFINISHED.match(line):
            pending[m.group(1)] = (m.group(2), m.group(3))
        elif m := RESUMED.match(line):
            name, start = pending.pop(m.group(1), (m.group(2), ''))
            yield number, m.group(1), name, start + m.group(3), int(m.group(4))
        elif m := CALL.match(line):
            yield number, m.group(1), m.group(2), m.group(3), int(m.group(4))


def strings(arguments):
    return [bytes(s, 'ascii').decode('unicode_escape') for s in re.findall(STRING, arguments)]


def mode(arguments):
    """The first octal number after the call's path(s): the mode of mkdir, open, chmod, fchmod."""
    tail = arguments[arguments.rfind('"') + 1:] if '"' in arguments else arguments.split(',', 1)[1]
    return next(int(t, 8) for t in (t.strip() for t in tail.split(',')) if re.fullmatch(r'0[0-7]*', t))


def main(trace, key_file, umask):
    paths = {}  # path -> File, for what the configure made
    descriptors = {}  # (pid, fd) -> File
    history = []  # (line number, call) after which the key file's reachability is judged

    def judge_after(number, line):
        history.append((number, line, {p: (f, f.mode) for p, f in paths.items()}))

    with open(trace, encoding='utf-8', errors='replace') as log:
        for number, pid, name, arguments, result in calls(log):
            if result < 0:
                continue
            names = strings(arguments)
            if name in ('mkdir', 'mkdirat'):
                paths[names[0]] = File(mode(arguments) & ~umask & 0o7777, True)
            elif name in ('open', 'openat', 'creat'):
                if name == 'creat' or 'O_CREAT' in arguments:
                    if names[0] not in paths:
                        paths[names[0]] = File(mode(arguments) & ~umask & 0o7777, False)
                if names[0] in paths:
                    descriptors[(pid, result)] = paths[names[0]]
            elif name in ('chmod', 'fchmodat'):
                if names[0] in paths:
                    paths[names[0]].mode = mode(arguments) & 0o7777
            elif name == 'fchmod':
                fd = int(arguments.split(',')[0])
                if (pid, fd) in descriptors:
                    descriptors[(pid, fd)].mode = mode(arguments) & 0o7777
            elif name in ('rename', 'renameat', 'renameat2'):
                old, new = names[0], names[1]
                for path in [p for p in paths if p == old or p.startswith(old + '/')]:
                    paths[new + path[len(old):]] = paths.pop(path)
            elif name in ('link', 'linkat'):
                if names[0] in paths:
                    paths[names[1]] = paths[names[0]]
            else:
                continue
            judge_after(number, f'{name}({arguments}) = {result}')

    key = paths.get(key_file)
    if key is None:
        print(f'FAIL: the trace does not show how {key_file} was made')
        return 1

    for number, line, state in history:
        for path, (item, bits) in state.items():
            if item is not key:
                continue
            for who, (read, search) in CLASSES.items():
                if not bits & read:
                    continue
                folders = [os.path.dirname(path)]
                while folders[-1] not in ('/', ''):
                    folders.append(os.path.dirname(folders[-1]))
                if all(state[f][1] & search for f in folders if f in state):
                    print(f'FAIL: after line {number} of the trace, {line}, the key\'s file {path} '
                          f'(mode {bits:04o}) could be opened by {who}')
                    return 1
    print(f'the key file {key_file} was never readable by others ({len(history)} file calls replayed)')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3], 8)))
