#!/usr/bin/env python3
"""Reads a built Windows program with objdump and nm and fails unless it is a GUI executable for
the expected machine, for Windows Vista and later (subsystem 6.0), whose entry point is
transform_file, whose imports are exactly the functions below from KERNEL32.dll and COMDLG32.dll,
and which carries its manifest (UTF-8 code page included) and version resource, the version naming
the key's fingerprint (computed here with hashlib). With --large-address-aware, the executable must
also be marked so.

  check_pe.py --objdump OBJDUMP --nm NM --entry SYMBOL --format pei-i386 --magic PE32
              [--large-address-aware] (--key HEX | --key-file PATH) PROGRAM
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from support import add_key_arguments, key_of  # noqa: E402


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


IMPORTS = {
    "COMDLG32.DLL": ["GetOpenFileNameA", "GetSaveFileNameA"],
    "KERNEL32.DLL": ["CloseHandle", "CreateFileA", "DeleteFileA", "ExitProcess", "FlushFileBuffers",
                     "GetCurrentProcess", "GetFileSize", "GetFileType", "GlobalAlloc", "GlobalFree", "ReadFile",
                     "SetFileInformationByHandle", "SetUnhandledExceptionFilter", "TerminateProcess", "WriteFile"],
}


def imports(headers):
    """The imported function names by DLL (upper case), from objdump's listing of the import tables."""
    found = {}
    names = None
    for line in headers.splitlines():
        dll = re.match(r"^\s*DLL Name: (\S+)$", line)
        if dll:
            names = found.setdefault(dll.group(1).upper(), [])
        elif names is not None and (entry := re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", line)):
            names.append(entry.group(1))
        elif not line.strip():
            names = None
    return {dll: sorted(names) for dll, names in found.items()}


def field(text, name):
    found = re.search(rf"^{name}\s+(\S+)", text, re.MULTILINE)
    return found.group(1) if found else None


def fingerprint(key):
    """The first 8 hex digits of SHA-256 over the label and the key's lowercase hex."""
    return hashlib.sha256(b"blowfish-files key fingerprint v1:" + key.hex().encode()).hexdigest()[:8]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--objdump", "--nm", "--entry", "--format", "--magic"):
        parser.add_argument(option, required=True)
    parser.add_argument("--large-address-aware", action="store_true")
    add_key_arguments(parser)
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

    version = (field(headers, "MajorSubsystemVersion"), field(headers, "MinorSubsystemVersion"))
    if version != ("6", "0"):
        faults.append(f"subsystem version is {'.'.join(map(str, version))}, not 6.0 (Windows Vista)")
    if args.large_address_aware and not re.search(r"^\s+large address aware$", headers, re.MULTILINE):
        faults.append("not large-address-aware")

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
    for dll, names in sorted(imports(headers).items()):
        expected = sorted(IMPORTS.get(dll, []))
        if names != expected:
            faults.append(f"imports {names} from {dll}, not {expected}")

    with open(args.program, "rb") as program:
        image = program.read()
    name = os.path.basename(args.program)
    for needed, what in ((b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', "Common-Controls 6"),
                         (b">PerMonitorV2<", "DPI awareness"), (b'level="asInvoker"', "asInvoker"),
                         (b'<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8<',
                          "UTF-8 code page"),
                         ("VS_VERSION_INFO".encode("utf-16-le"), "version resource"),
                         (name.encode("utf-16-le"), f"version resource naming {name}"),
                         (f"key fingerprint {fingerprint(key_of(args))}".encode("utf-16-le"),
                          f"version naming the key fingerprint {fingerprint(key_of(args))}")):
        if needed not in image:
            faults.append(f"no {what} in the resources")

    for fault in faults:
        print(f"{args.program}: {fault}", file=sys.stderr)
    if not faults:
        marked = ", large-address-aware" if args.large_address_aware else ""
        print(f"{args.program}: {args.magic} {args.format}, Windows GUI 6.0{marked}, starts at {args.entry}, "
              f"imports {imports(headers)}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
