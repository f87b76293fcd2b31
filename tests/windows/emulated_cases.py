#!/usr/bin/python3
"""Runs the shipped i386 or ARM64 encrypt.exe and decrypt.exe in the emulated Win32 (win32_emulator.py) on
files in a temporary folder: the cases of the scenario table, then those only the emulator can make.
Every run is checked call by call against the programs' contract; on a failure the calls are printed."""
import contextlib
import itertools
import os
import pathlib
import re
import shutil
import sys
import tempfile

import capstone
import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import scenarios  # noqa: E402
import win32_emulator as win32  # noqa: E402
from scenarios import EMULATED, HELD, MIB, WRITE_LIMIT, Run, expect_runs, sample  # noqa: E402
from support import expect, key_of  # noqa: E402

PROGRAMS = ("encrypt", "decrypt")

# The calls each case of the scenario table must and must not make, beyond what every backend checks.
TABLE_CALLS = {
    "cancel_input": ((), ("CreateFileA",)),
    "cancel_output": (("GlobalFree",), ("WriteFile",)),
    "empty_input": ((), ("GlobalAlloc",)),
    "existing_output": ((), ("WriteFile",)),
    "output_is_input": ((), ("WriteFile",)),
    "output_folder_without_write_access": ((), ("WriteFile",)),
    "write_fails": (("SetFileInformationByHandle",), ("DeleteFileA",)),
    # A device or a pipe is refused once GetFileType says it is not a file on a disk.
    "device_input": (("GetFileType",), ("GetFileSize", "ReadFile", "GlobalAlloc")),
}


class Emulated:
    programs = PROGRAMS

    def __init__(self, args):
        self.args, self.key = args, key_of(args)
        self.root = tempfile.mkdtemp(prefix="win32-emulated-")
        self.folder = os.path.join(self.root, "files")
        os.mkfifo(os.path.join(self.root, "pipe"))
        self.devices = ("NUL", "nul", "\\\\.\\NUL", os.devnull, "/dev/zero", os.path.join(self.root, "pipe"))
        self.calls = TABLE_CALLS.get(args.case, ((), ()))   # that the runs must and must not make
        self.blocks = None   # by program, the blocks its runs executed, once counting
        self.clear()

    def clear(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.mkdir(self.folder)

    def close(self):
        self.clear()
        shutil.rmtree(self.root)

    obstacle = staticmethod(lambda kind, path: contextlib.nullcontext())   # run() sets it up from its kind

    def run(self, program, answers, obstacle=None, killed=False, **conditions):
        """Runs the program once; fails on a deviation, a crash, a call the case forbids or misses, or a missed kill."""
        obstacles = {HELD: {"held_paths": (answers[0],)},   # answers[0] is the input
                     WRITE_LIMIT: {"write_fails_after": 64 * 1024, "write_piece": 4096}}
        conditions = {**obstacles.get(obstacle, {}), **conditions, "count_instructions": self.blocks is not None}
        process = win32.run(getattr(self.args, program), win32.Conditions(dialogs=answers, **conditions))
        if self.blocks is not None:
            self.blocks[program].update(process.block_sizes)
        problems = list(process.violations) + ([f"crashed: {process.crash}"] if process.crash else [])
        if killed and not process.killed:
            problems.append(f"was not killed at {conditions['kill_at']}: ended with code {process.exit_code}")
        must, must_not = self.calls
        problems += [f"never called {name}" for name in must if name not in process.counts]
        problems += [f"called {name}" for name in must_not if name in process.counts]
        # The emulator sees the output flushed before its delete disposition is cleared; it must be closed too.
        if len(answers) > 1 and answers[1] in process.left_open and os.path.exists(answers[1]) and not killed:
            problems.append("left its finished output for the system to close")
        if problems:
            print(f"{program}.exe made these calls:", *process.calls, sep="\n  ")
        expect(not problems, f"{program}.exe: " + "; ".join(problems))
        self.last = process
        return process.dialogs_shown, 0 if killed else process.exit_code


def whole(*variants, programs=PROGRAMS):
    """Each program transforms a file beside a neighbour under each variant (length, conditions) as
    OpenSSL does, each read and write asking for all that is left up to 16 MiB."""
    def case(emulated):
        for program, (length, conditions) in itertools.product(programs, variants):
            pathlib.Path(emulated.folder, "input.bin").write_bytes(sample(program, length))
            pathlib.Path(emulated.folder, "neighbour.bin").write_bytes(b"a file beside the input")
            expect_runs(emulated, [Run(program, "input.bin", "output.bin")], {"output.bin": (program, "input.bin")},
                        **conditions)
            emulated.clear()
            for name, piece in {"ReadFile": "read_piece", "WriteFile": "write_piece"}.items():
                calls = -(-length // min(conditions.get(piece) or win32.LARGEST_TRANSFER, win32.LARGEST_TRANSFER))
                expect(emulated.last.counts[name] == calls,
                       f"{program}.exe made {emulated.last.counts[name]} calls of {name}, not {calls}")
    return case


def fault(stops_after_open, must=(), must_not=(), length=1003, answers=("input.bin", "output.bin"), **conditions):
    """Both programs take the failing path the conditions lead to: no output, nothing changed."""
    def case(emulated):
        emulated.calls = (must, must_not)
        for program in PROGRAMS:
            pathlib.Path(emulated.folder, "input.bin").write_bytes(sample("input.bin", length))
            expect_runs(emulated, [Run(program, *answers[:1 if stops_after_open else 2])], **conditions)
            emulated.clear()
    return case


def long_paths(emulated):
    """A path of 259 characters is used; one of 260 is refused by CreateFileA (MAX_PATH); one
    longer than nMaxFile is refused by the dialog (FNERR_BUFFERTOOSMALL)."""
    def deep(length, name):
        path = emulated.folder
        while len(path) + 1 + len(name) < length:
            path = os.path.join(path, "d" * min(100, length - len(path) - len(name) - 2))
        os.makedirs(path, exist_ok=True)
        return os.path.relpath(os.path.join(path, name), emulated.folder)

    for program in PROGRAMS:
        for name in ("input.bin", deep(259, "in.bin")):
            pathlib.Path(emulated.folder, name).write_bytes(sample(program, 1003))
        # (input, output or None where the run ends after the open dialog, CreateFileA calls)
        rows = ((deep(260, "in.bin"), None, 1), (deep(511, "in.bin"), None, 0), (deep(600, "in.bin"), None, 0),
                ("input.bin", deep(260, "out.bin"), 2), ("input.bin", deep(511, "out.bin"), 1),
                (deep(259, "in.bin"), "output.bin", 2))
        for input_name, output_name, creations in rows:
            created = {"output.bin": (program, input_name)} if output_name == "output.bin" else {}
            expect_runs(emulated, [Run(program, input_name, output_name)], created)
            made = emulated.last.counts.get("CreateFileA", 0)
            expect(made == creations, f"CreateFileA called {made} times, not {creations}")
        emulated.clear()


def killed_before_each_step_of_the_output(emulated):
    """Killed from outside before each write, before the flush and before the delete disposition is
    cleared, the process leaves nothing under the output's name; after the clearing, the whole output."""
    for program in PROGRAMS:
        pathlib.Path(emulated.folder, "input.bin").write_bytes(sample(program, 65539))
        steps = [("WriteFile", number) for number in range(1, -(-65539 // 4096) + 1)]
        for step in steps + [("FlushFileBuffers", 1), ("SetFileInformationByHandle", 2), ("CloseHandle", 2)]:
            created = {"output.bin": (program, "input.bin")} if step == ("CloseHandle", 2) else {}
            expect_runs(emulated, [Run(program, "input.bin", "output.bin")], created, killed=True, write_piece=4096,
                        kill_at=step)
        emulated.clear()


WHOLE = {
    # Reads and writes cut into short, odd pieces.
    "split_transfers": whole((65539, {"read_piece": 4097, "write_piece": 3000}),
                             (1003, {"read_piece": 1, "write_piece": 7}),
                             (65539, {"read_piece": 8, "write_piece": 65536})),
    # The image loaded away from its preferred base, and so relocated.
    "relocated": whole((1003, {"base": 0x10000000}), (1003, {"base": 0x00A00000})),
    # A file larger than 16 MiB: two reads and two writes (the emulator flags any larger transfer).
    "transfers_capped": whole((16 * MIB + 11, {}), programs=("encrypt",)),
}
FAULTS = {
    "size_of_4_gib_and_more": fault(True, (), ("GlobalAlloc",), size_extra=1 << 32),
    "allocation_fails": fault(True, ("GlobalAlloc",), ("ReadFile",), fails_at=("GlobalAlloc", 1)),
    # A file of 2.5 GiB (its size as reported): more than the address space has room for in one piece.
    "allocation_of_2_5_gib_fails": fault(True, ("GlobalAlloc",), ("ReadFile",), size_extra=5 * 512 * MIB - 1003),
    "read_fails": fault(True, fails_at=("ReadFile", 1)),
    "read_fails_part_way": fault(True, length=65539, read_piece=4096, fails_at=("ReadFile", 3)),
    "file_ends_early": fault(True, size_extra=8),
    "create_new_fails": fault(False, (), ("WriteFile",), fails_at=("CreateFileA", 2)),
    "write_fails_at_once": fault(False, ("SetFileInformationByHandle",), ("DeleteFileA",), write_fails_after=0),
    "write_fails_reporting_bytes": fault(False, ("SetFileInformationByHandle",), ("DeleteFileA",), length=65539,
                                         write_piece=4096, fails_at=("WriteFile", 3)),
    "flush_fails": fault(False, ("FlushFileBuffers",), ("DeleteFileA",), fails_at=("FlushFileBuffers", 1)),
    "fault_inside_write": fault(False, ("TerminateProcess",), ("DeleteFileA",), length=65539, write_piece=4096,
                                fault_in_write_at=2),
    "delete_disposition_refused": fault(False, ("DeleteFileA",), ("WriteFile",),
                                        fails_at=("SetFileInformationByHandle", 1)),
    "open_dialog_fails": fault(True, (), ("CreateFileA",), answers=(win32.FAIL,)),
    "save_dialog_fails": fault(False, ("GlobalFree",), ("WriteFile",), answers=("input.bin", win32.FAIL)),
}


# The filler put between functions to align them: nop, int3, and moves of a register to itself (GCC, i386);
# zero words, which disassemble as udf (lld, ARM64).
PADDING = re.compile(r"(nop|int3|udf)\b.*|(mov|xchg) ([^,]+), \3|lea (\w+), \[\4( \+ 0)?\]")


def unrun_code(executable, blocks):
    """The sizes of the pieces of code that no block covered, padding left out."""
    pe = pefile.PE(executable)
    disassembler = capstone.Cs(*(getattr(capstone, name) for name in win32.MACHINES[pe.FILE_HEADER.Machine][5:]))
    pieces, run = [], {address + offset for address, size in blocks for offset in range(size)}
    for section in (section for section in pe.sections if section.Characteristics & 0x20000000):
        start = pe.OPTIONAL_HEADER.ImageBase + section.VirtualAddress
        code = section.get_data()[:section.Misc_VirtualSize]
        covered = bytes(start + offset in run for offset in range(len(code)))
        pieces += [sum(size for _, size, mnemonic, operands
                       in disassembler.disasm_lite(code[gap.start():gap.end()], start + gap.start())
                       if not PADDING.fullmatch(f"{mnemonic} {operands}".strip()))
                   for gap in re.finditer(b"\0+", covered)]
    return pieces


def programs_carry_one_direction(emulated):
    """Run along every path it has (whole blocks in groups and alone, a tail, every failure, the fault
    filter), each program transforms as OpenSSL does in its direction, and the code it never runs is
    a few unreachable instructions (alignment padding aside): far too little to be a block function
    of the other direction, each hundreds of bytes."""
    emulated.blocks = {program: set() for program in PROGRAMS}
    whole((64 * 1024 + 7 * 8 + 3, {}))(emulated)
    for case in FAULTS.values():
        case(emulated)
    for name in ("cancel_input", "cancel_output", "input_held_open", "device_input"):
        emulated.calls = TABLE_CALLS.get(name, ((), ()))
        scenarios.play(emulated, scenarios.cases_of(EMULATED)[name])
    for program in PROGRAMS:
        sizes = unrun_code(getattr(emulated.args, program), emulated.blocks[program])
        expect(max(sizes, default=0) <= 32 and sum(sizes) <= 64,
               f"{program}.exe: {sum(sizes)} bytes of code no path runs, {max(sizes, default=0)} in one place")


ONLY_EMULATED = {case.__name__: case for case in (long_paths, killed_before_each_step_of_the_output,
                                                   programs_carry_one_direction)} | WHOLE | FAULTS

if __name__ == "__main__":
    sys.exit(scenarios.main(EMULATED, ONLY_EMULATED, Emulated))
