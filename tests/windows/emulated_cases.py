#!/usr/bin/python3
"""Runs the shipped i386 encrypt.exe and decrypt.exe in the emulated Win32 (win32_emulator.py) on
real files in a temporary folder, one named case at a time.

  emulated_cases.py CASE --encrypt EXE --decrypt EXE (--key HEX | --key-file PATH)
  emulated_cases.py --list

Every run is checked call by call against the programs' contract with the system (the emulator
records each deviation), must end with code 0 (unless the case kills it), and must leave the input
and every other file in the folder as they were; an output may exist only when it is whole, equal
to OpenSSL's Blowfish-ECB of the input under the same key. On a failure the calls are printed.
"""
import argparse
import os
import random
import shutil
import sys
import tempfile

import openssl_blowfish
import win32_emulator as win32
from win32_emulator import CANCEL, FAIL, Conditions

PROGRAMS = ("encrypt", "decrypt")
MIB = 1024 * 1024


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


class Folder:
    """A temporary folder with the case's files, and the programs to run on them."""

    def __init__(self, args):
        self.args = args
        self.key = openssl_blowfish.key_of(args)
        self.root = tempfile.mkdtemp(prefix="win32-emulated-")

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as file:
            file.write(data)
        return self.path(name)

    def contents(self):
        result = {}
        for root, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(root, name)
                with open(path, "rb") as file:
                    result[os.path.relpath(path, self.root)] = (file.read(), os.stat(path).st_mode)
        return result

    def oracle(self, program, data):
        return openssl_blowfish.transform(program, self.key, data)

    def run(self, program, *dialogs, killed=False, **conditions):
        """Runs the program once; fails on a deviation from the contract, a crash, or an exit code
        other than 0 (or, with killed, unless the process was killed as the case asked)."""
        process = win32.run(getattr(self.args, program), Conditions(dialogs=list(dialogs), **conditions))
        problems = list(process.violations)
        if process.crash:
            problems.append(f"crashed: {process.crash}")
        if killed:
            if not process.killed:
                problems.append(f"was not killed at {conditions['kill_at']}: ended with code {process.exit_code}")
        elif process.exit_code != 0:
            problems.append(f"ended with code {process.exit_code}, not 0" if process.exit_code is not None
                            else "did not end")
        if problems or self.args.verbose:
            print(f"{program}.exe made these calls:", *process.calls, sep="\n  ")
        if process.left_open:
            print(f"{program}.exe ended holding {process.left_open}; the system closed them")
        expect(not problems, f"{program}.exe: " + "; ".join(problems))
        return process

    def expect_unchanged(self, before, program, created=None):
        """Every file of before is as it was; the only new file is created (name: bytes), if any."""
        after = self.contents()
        for name, (data, mode) in before.items():
            expect(name in after, f"{program}.exe removed {name}")
            expect(after[name] == (data, mode), f"{program}.exe changed {name}")
        new = {name: after[name][0] for name in after if name not in before}
        expect(new.keys() == (created or {}).keys(), f"{program}.exe left {sorted(new)}, expected {sorted(created or {})}")
        for name, data in (created or {}).items():
            expect(new[name] == data, f"{program}.exe wrote {name} of {len(new[name])} bytes that are not "
                                      f"OpenSSL's {len(data)}")

    def close(self):
        for root, folders, _ in os.walk(self.root):
            for name in folders:
                os.chmod(os.path.join(root, name), 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


def sample(length, seed=0):
    return random.Random(length * 7919 + seed).randbytes(length)


def transformed_whole(folder, program, data, *dialog_names, **conditions):
    """Runs program on data with the given conditions; the output must be OpenSSL's transform."""
    source = folder.write("input.bin", data)
    folder.write("neighbour.bin", b"a file beside the input")
    before = folder.contents()
    output = "output.bin"
    process = folder.run(program, source, folder.path(output), **conditions)
    folder.expect_unchanged(before, program, {output: folder.oracle(program, data)})
    names = [call.name for call in process.calls]
    last_write = len(names) - 1 - names[::-1].index("WriteFile")
    expect(names[last_write:].index("CloseHandle") > names[last_write:].index("FlushFileBuffers") > 0
           if "FlushFileBuffers" in names[last_write:] else False,
           f"{program}.exe closed its output without flushing it after the last write")
    os.remove(folder.path(output))
    return process


def round_trip(length):
    def case(folder):
        plain = sample(length)
        transformed_whole(folder, "encrypt", plain)
        sealed = folder.oracle("encrypt", plain)
        expect(length < 8 or sealed[:8] != plain[:8], "the first block was not transformed")
        transformed_whole(folder, "decrypt", sealed)
        expect(folder.oracle("decrypt", sealed) == plain, "OpenSSL does not decrypt its own output")
    return case


def nothing_written(*dialogs, data=None, expect_calls=(), avoid_calls=(), **conditions):
    """Both programs take the failing path the conditions lead to: no output, nothing changed."""
    def case(folder):
        for program in PROGRAMS:
            source = folder.write("input.bin", sample(1003) if data is None else data)
            folder.write("neighbour.bin", b"a file beside the input")
            before = folder.contents()
            answers = [folder.path(answer) if answer not in (CANCEL, FAIL) else answer
                       for answer in (dialogs or ("input.bin", "output.bin"))]
            process = folder.run(program, *answers, **conditions)
            folder.expect_unchanged(before, program)
            for name in expect_calls:
                expect(name in process.counts, f"{program}.exe never called {name}")
            for name in avoid_calls:
                expect(name not in process.counts, f"{program}.exe called {name}")
            expect(os.path.exists(source), "the input is gone")
    return case


def split_transfers(folder):
    """Reads and writes cut into short, odd pieces give the same output."""
    for program in PROGRAMS:
        for read_piece, write_piece in ((4097, 3000), (1, 7), (8, 65536)):
            data = sample(65539 if read_piece > 1 else 1003, read_piece)
            process = transformed_whole(folder, program, data, read_piece=read_piece, write_piece=write_piece)
            reads, writes = process.counts["ReadFile"], process.counts["WriteFile"]
            expect(reads >= len(data) // read_piece and writes >= len(data) // write_piece,
                   f"only {reads} reads and {writes} writes")


def relocated(folder):
    """Loaded at another base than its own, the image is relocated and gives the same output."""
    for program in PROGRAMS:
        for base in (0x10000000, 0x00A00000):
            process = transformed_whole(folder, program, sample(1003), base=base)
            expect(process.base == base, f"loaded at {process.base:#x}")


def long_paths(folder):
    """A path of 259 characters is used; one of 260 is refused by CreateFileA (MAX_PATH); one
    longer than nMaxFile is refused by the dialog (FNERR_BUFFERTOOSMALL)."""
    def deep(length, name):
        path = folder.root
        while len(path) + 1 + len(name) < length:
            path = os.path.join(path, "d" * min(100, length - len(path) - len(name) - 2))
        os.makedirs(path, exist_ok=True)
        result = os.path.join(path, name)
        expect(len(result) == length, f"made a path of {len(result)} characters, not {length}")
        return result

    plain = sample(1003)
    short_input = folder.write("input.bin", plain)
    for program in PROGRAMS:
        data = folder.oracle("encrypt", plain) if program == "decrypt" else plain
        folder.write("input.bin", data)
        fits = deep(259, "in.bin")
        with open(fits, "wb") as file:
            file.write(data)
        before = folder.contents()
        folder.run(program, fits, folder.path("output.bin"))
        folder.expect_unchanged(before, program, {"output.bin": folder.oracle(program, data)})
        os.remove(folder.path("output.bin"))
        os.remove(fits)

        before = folder.contents()
        for input_path, output_path, expected_calls in (
                (deep(260, "in.bin"), folder.path("output.bin"), 1),
                (deep(511, "in.bin"), folder.path("output.bin"), 0),
                (deep(600, "in.bin"), folder.path("output.bin"), 0),
                (short_input, deep(260, "out.bin"), 2),
                (short_input, deep(511, "out.bin"), 1)):
            process = folder.run(program, input_path, output_path)
            folder.expect_unchanged(before, program)
            expect(process.counts.get("CreateFileA", 0) == expected_calls,
                   f"CreateFileA called {process.counts.get('CreateFileA', 0)} times, not {expected_calls}")


def input_held_elsewhere(folder):
    nothing_written(held_paths=(folder.path("input.bin"),), avoid_calls=("GetSaveFileNameA",))(folder)


def read_only_input(folder):
    for program in PROGRAMS:
        source = folder.write("input.bin", sample(1003))
        os.chmod(source, 0o444)
        before = folder.contents()
        process = folder.run(program, source, folder.path("output.bin"))
        folder.expect_unchanged(before, program)
        expect("GetSaveFileNameA" not in process.counts, "a read-only input was processed")
        os.chmod(source, 0o644)


def existing_output(folder):
    for program in PROGRAMS:
        for output in ("taken.bin", "input.bin"):
            source = folder.write("input.bin", sample(1003))
            folder.write("taken.bin", b"a file that is already there")
            before = folder.contents()
            process = folder.run(program, source, folder.path(output))
            folder.expect_unchanged(before, program)
            expect(process.counts.get("WriteFile", 0) == 0, "wrote into an existing file")


def output_folder_without_write_access(folder):
    os.mkdir(folder.path("locked"), 0o555)
    for program in PROGRAMS:
        source = folder.write("input.bin", sample(1003))
        before = folder.contents()
        process = folder.run(program, source, folder.path("locked/output.bin"))
        expect(process.counts.get("WriteFile", 0) == 0, "wrote into a folder without write access")
        folder.expect_unchanged(before, program)


def killed_before_each_step_of_the_output(folder):
    """The process is killed from outside before each of its writes, before the flush and before
    the delete disposition is cleared: nothing is ever left under the output's name, and the input
    and its neighbours are unchanged. Killed after the clearing, before the output's close, the
    whole output stays."""
    for program in PROGRAMS:
        data = sample(65539)
        source = folder.write("input.bin", data)
        folder.write("neighbour.bin", b"a file beside the input")
        before = folder.contents()
        writes = -(-len(data) // 4096)
        steps = [("WriteFile", number) for number in range(1, writes + 1)]
        steps += [("FlushFileBuffers", 1), ("SetFileInformationByHandle", 2)]
        for step in steps:
            process = folder.run(program, source, folder.path("output.bin"), killed=True, write_piece=4096,
                                 kill_at=step)
            expect(not process.handles, "the system did not close the process's files")
            folder.expect_unchanged(before, program)
        folder.run(program, source, folder.path("output.bin"), killed=True, write_piece=4096,
                   kill_at=("CloseHandle", 2))
        folder.expect_unchanged(before, program, {"output.bin": folder.oracle(program, data)})
        os.remove(folder.path("output.bin"))
        print(f"{program}.exe killed before each of its {len(steps)} steps up to the clearing: nothing left "
              "under the output's name; killed before the close: the whole output")


def device_inputs(folder):
    """A device or a pipe as input is refused once GetFileType says it is not a file on a disk,
    before its size is asked: no allocation, no save dialog."""
    folder.write("neighbour.bin", b"a file beside the input")
    before = folder.contents()
    with tempfile.TemporaryDirectory(prefix="win32-pipe-") as elsewhere:  # contents() would block on it
        pipe = os.path.join(elsewhere, "pipe")
        os.mkfifo(pipe)
        for program in PROGRAMS:
            for device in ("NUL", "nul", "\\\\.\\NUL", os.devnull, "/dev/zero", pipe):
                process = folder.run(program, device, folder.path("output.bin"))
                folder.expect_unchanged(before, program)
                expect(process.counts.get("GetFileType") == 1, f"{device}: GetFileType was not asked")
                for name in ("GetFileSize", "ReadFile", "GlobalAlloc", "GetSaveFileNameA"):
                    expect(name not in process.counts, f"{device}: {program}.exe called {name}")


def transfers_capped(folder):
    """A file larger than 16 MiB is read and written in pieces of at most 16 MiB (the emulator
    flags any larger call)."""
    process = transformed_whole(folder, "encrypt", sample(16 * MIB + 11))
    expect(process.counts["ReadFile"] == 2 and process.counts["WriteFile"] == 2,
           f"{process.counts['ReadFile']} reads and {process.counts['WriteFile']} writes, not 2 and 2")


CASES = {
    **{f"round_trip_{length}": round_trip(length) for length in (1, 7, 8, 9, 17, 1003, MIB + 3)},
    "split_transfers": split_transfers,
    "relocated": relocated,
    "size_of_4_gib_and_more": nothing_written(size_high=1, avoid_calls=("GlobalAlloc", "GetSaveFileNameA")),
    "size_of_0": nothing_written(data=b"", avoid_calls=("GlobalAlloc", "GetSaveFileNameA")),
    "allocation_fails": nothing_written(alloc_fails=True, expect_calls=("GlobalAlloc",), avoid_calls=("ReadFile",)),
    # A file of 2.5 GiB (its size as reported): more than the address space has room for in one piece.
    "allocation_of_2_5_gib_fails": nothing_written(size_extra=5 * 512 * MIB - 1003, expect_calls=("GlobalAlloc",),
                                                   avoid_calls=("ReadFile", "GetSaveFileNameA")),
    "read_fails": nothing_written(read_fails_at=1, avoid_calls=("GetSaveFileNameA",)),
    "read_fails_part_way": nothing_written(data=sample(65539), read_piece=4096, read_fails_at=3,
                                           avoid_calls=("GetSaveFileNameA",)),
    "file_ends_early": nothing_written(size_extra=8, avoid_calls=("GetSaveFileNameA",)),
    "create_new_fails": nothing_written(create_new_fails=True, avoid_calls=("WriteFile",)),
    "write_fails_at_once": nothing_written(write_fails_after=0, expect_calls=("SetFileInformationByHandle",),
                                           avoid_calls=("DeleteFileA",)),
    "write_fails_part_way": nothing_written(data=sample(65539), write_piece=4096, write_fails_after=20000,
                                            expect_calls=("SetFileInformationByHandle",), avoid_calls=("DeleteFileA",)),
    "write_fails_reporting_bytes": nothing_written(data=sample(65539), write_piece=4096, write_fails_at=3,
                                                   expect_calls=("SetFileInformationByHandle",),
                                                   avoid_calls=("DeleteFileA",)),
    "flush_fails": nothing_written(flush_fails=True, expect_calls=("FlushFileBuffers",), avoid_calls=("DeleteFileA",)),
    "fault_inside_write": nothing_written(data=sample(65539), write_piece=4096, fault_in_write_at=2,
                                          expect_calls=("TerminateProcess",), avoid_calls=("DeleteFileA",)),
    "delete_disposition_refused": nothing_written(disposition_fails=True, expect_calls=("DeleteFileA",),
                                                  avoid_calls=("WriteFile",)),
    "open_dialog_cancelled": nothing_written(CANCEL, avoid_calls=("CreateFileA",)),
    "open_dialog_fails": nothing_written(FAIL, avoid_calls=("CreateFileA",)),
    "save_dialog_cancelled": nothing_written("input.bin", CANCEL, expect_calls=("GlobalFree",),
                                             avoid_calls=("WriteFile",)),
    "save_dialog_fails": nothing_written("input.bin", FAIL, expect_calls=("GlobalFree",), avoid_calls=("WriteFile",)),
    "long_paths": long_paths,
    "input_held_elsewhere": input_held_elsewhere,
    "read_only_input": read_only_input,
    "existing_output": existing_output,
    "output_folder_without_write_access": output_folder_without_write_access,
    "killed_before_each_step_of_the_output": killed_before_each_step_of_the_output,
    "device_inputs": device_inputs,
    "transfers_capped": transfers_capped,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--encrypt")
    parser.add_argument("--decrypt")
    parser.add_argument("--verbose", action="store_true")
    if "--list" in sys.argv:
        print("\n".join(CASES))
        return 0
    openssl_blowfish.add_key_arguments(parser)
    args = parser.parse_args()
    if not (args.case and args.encrypt and args.decrypt):
        parser.error("a case, --encrypt and --decrypt are needed")
    folder = Folder(args)
    try:
        CASES[args.case](folder)
    except Failure as failure:
        print(f"{args.case}: {failure}", file=sys.stderr)
        return 1
    finally:
        folder.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
