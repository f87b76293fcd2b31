#!/usr/bin/env python3
"""Reads a built Windows program with objdump and nm and fails unless it is a GUI executable for
the expected machine whose entry point is transform_file, whose imports come from KERNEL32.dll
and COMDLG32.dll only, and which carries its manifest and version resource.

  check_pe.py --objdump OBJDUMP --nm NM --entry SYMBOL --format pei-i386 --magic PE32 PROGRAM
"""
import argparse
import os
import re
import subprocess
import sys


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def field(text, name):
    found = re.search(rf"^{name}\s+(\S+)", text, re.MULTILINE)
    return found.group(1) if found else None


def main():
    parser = argparse.ArgumentParser()
    for option in ("--objdump", "--nm", "--entry", "--format", "--magic"):
        parser.add_argument(option, required=True)
    parser.add_argument("program")
    args = parser.parse_args()

    headers = output(args.objdump, "-p", args.program)
    symbols = output(args.nm, args.program)
    faults = []

    file_format = re.search(r"file format (\S+)", headers)
    if not file_format or file_format.group(1) != args.format:
        faults.append(f"file format is {file_format and file_format.group(1)}, not {args.format}")
    if not re.search(rf"^Magic\s+\S+\s+\({re.escape(args.magic)}\)$", headers, re.MULTILINE):
        faults.append(f"optional header is not {args.magic}")
    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)$", headers, re.MULTILINE):
        faults.append(f"subsystem is {field(headers, 'Subsystem')}, not Windows GUI")

    entry = int(field(headers, "ImageBase"), 16) + int(field(headers, "AddressOfEntryPoint"), 16)
    symbol = re.search(rf"^([0-9a-fA-F]+) T {re.escape(args.entry)}$", symbols, re.MULTILINE)
    if not symbol:
        faults.append(f"no function symbol {args.entry}")
    elif int(symbol.group(1), 16) != entry:
        faults.append(f"entry point {entry:#x} is not {args.entry} at {symbol.group(1)}")

    # Windows compares DLL names without regard to case; mingw's import libraries differ in it.
    dlls = re.findall(r"^\s*DLL Name: (\S+)$", headers, re.MULTILINE)
    if sorted(name.upper() for name in dlls) != ["COMDLG32.DLL", "KERNEL32.DLL"]:
        faults.append(f"imports from {dlls}, not exactly KERNEL32.dll and COMDLG32.dll")

    with open(args.program, "rb") as program:
        image = program.read()
    name = os.path.basename(args.program)
    for needed, what in ((b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', "Common-Controls 6"),
                         (b">PerMonitorV2<", "DPI awareness"), (b'level="asInvoker"', "asInvoker"),
                         ("VS_VERSION_INFO".encode("utf-16-le"), "version resource"),
                         (name.encode("utf-16-le"), f"version resource naming {name}")):
        if needed not in image:
            faults.append(f"no {what} in the resources")

    for fault in faults:
        print(f"{args.program}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{args.program}: {args.magic} {args.format}, Windows GUI, starts at {args.entry}, imports {dlls}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
