#!/usr/bin/python3
"""Checks that each shipped i386 program carries only its own direction of the cipher.

  check_one_direction.py --encrypt EXE --decrypt EXE (--key HEX | --key-file PATH)
                         [--nm NM --symbols ENCRYPT_UNSTRIPPED DECRYPT_UNSTRIPPED]

Each program is run in the emulated Win32 along every path it has (whole blocks in groups and
alone, a tail, every failure, the fault filter), and each run must transform exactly as OpenSSL
does in the program's direction. The code those runs execute therefore holds nothing of the other
direction; what matters is what they leave out. Every byte of the code section that no run executed
is disassembled: alignment padding aside, it must be a few unreachable instructions (such as the
return after TerminateProcess), far too little to be a block function of the other direction (each
is hundreds of bytes). The symbols of the same programs before stripping (--symbols) must not
name the other direction either.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import capstone
import pefile

import win32_emulator as win32
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from support import add_key_arguments, key_of, transform  # noqa: E402

LARGEST_UNRUN_PIECE = 32  # bytes of code in one place that no run reaches
LARGEST_UNRUN_TOTAL = 64


def is_padding(instruction):
    """The filler GCC puts between functions to align them: nop, int3, and moves of a register to itself."""
    operands = [part.strip() for part in instruction.op_str.split(",")]
    if instruction.mnemonic in ("nop", "int3"):
        return True
    if instruction.mnemonic == "lea" and len(operands) == 2 and re.fullmatch(rf"\[{operands[0]}( \+ 0)?\]", operands[1]):
        return True
    return instruction.mnemonic in ("mov", "xchg") and len(operands) == 2 and operands[0] == operands[1]


def code_run(executable, direction, key):
    """Runs the program along each of its paths; returns the code blocks executed."""
    blocks = set()
    with tempfile.TemporaryDirectory(prefix="one-direction-") as folder:
        source, target = os.path.join(folder, "input.bin"), os.path.join(folder, "output.bin")
        data = os.urandom(64 * 1024 + 7 * 8 + 3)
        with open(source, "wb") as file:
            file.write(data)
        answers = [source, target]
        paths = (
            {}, {"fault_in_write_at": 1}, {"flush_fails": True}, {"write_fails_after": 0},
            {"write_fails_after": 100, "write_piece": 10}, {"read_piece": 1000}, {"create_new_fails": True},
            {"alloc_fails": True}, {"read_fails_at": 1}, {"size_high": 1}, {"size_extra": 8},
            {"held_paths": (source,)}, {"dialogs": [source, win32.CANCEL]}, {"dialogs": [win32.CANCEL]},
            {"disposition_fails": True}, {"dialogs": [os.devnull, target]},
        )
        for conditions in paths:
            if os.path.exists(target):
                os.remove(target)
            conditions = {"dialogs": answers, **conditions}
            process = win32.run(executable, win32.Conditions(count_instructions=True, **conditions))
            problems = process.violations + ([process.crash] if process.crash else [])
            if problems or process.exit_code != 0:
                raise SystemExit(f"{executable} {conditions}: {problems}, exit code {process.exit_code}")
            if conditions == {"dialogs": answers}:
                with open(target, "rb") as file:
                    if file.read() != transform(direction, key, data):
                        raise SystemExit(f"{executable} does not {direction} as OpenSSL does")
            blocks.update(process.block_sizes)
    return blocks


def unrun_code(executable, blocks):
    """The pieces of the code section that no block covered, padding left out: (address, instructions)."""
    pe = pefile.PE(executable)
    base = pe.OPTIONAL_HEADER.ImageBase
    pieces = []
    disassembler = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
    for section in pe.sections:
        if not section.Characteristics & 0x20000000:
            continue
        start = base + section.VirtualAddress
        code = section.get_data()[:section.Misc_VirtualSize]
        covered = bytearray(len(code))
        for address, size in blocks:
            first, last = max(address - start, 0), min(address + size - start, len(code))
            covered[first:last] = b"\1" * max(last - first, 0)
        offset = 0
        while offset < len(code):
            end = offset
            while end < len(code) and not covered[end]:
                end += 1
            if end > offset:
                real = [instruction for instruction in disassembler.disasm(code[offset:end], start + offset)
                        if not is_padding(instruction)]
                if real:
                    pieces.append((start + offset, real))
            offset = end + 1
    return pieces


def symbols_of_other_direction(nm, executable, other):
    if not nm:
        return []
    listing = subprocess.run([nm, executable], capture_output=True, text=True).stdout
    return [line.split()[-1] for line in listing.splitlines() if other in line.split()[-1]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--encrypt", required=True)
    parser.add_argument("--decrypt", required=True)
    add_key_arguments(parser)
    parser.add_argument("--nm")
    parser.add_argument("--symbols", nargs=2, metavar=("ENCRYPT", "DECRYPT"))
    args = parser.parse_args()
    key = key_of(args)
    faults = []
    for index, (direction, other) in enumerate((("encrypt", "decrypt"), ("decrypt", "encrypt"))):
        executable = getattr(args, direction)
        name = os.path.basename(executable)
        pieces = unrun_code(executable, code_run(executable, direction, key))
        total = 0
        for address, instructions in pieces:
            size = sum(instruction.size for instruction in instructions)
            total += size
            listing = "; ".join(f"{i.mnemonic} {i.op_str}".strip() for i in instructions[:6])
            print(f"{name}: {size} bytes never run at {address:#x}: {listing}")
            if size > LARGEST_UNRUN_PIECE:
                faults.append(f"{name}: {size} bytes of code at {address:#x} that no path runs")
        if total > LARGEST_UNRUN_TOTAL:
            faults.append(f"{name}: {total} bytes of code that no path runs")
        unstripped = args.symbols[index] if args.symbols else executable
        for symbol in symbols_of_other_direction(args.nm, unstripped, other):
            faults.append(f"{name}: carries the symbol {symbol}")
        print(f"{name}: every path {direction}s as OpenSSL does; {total} bytes of code never run")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
