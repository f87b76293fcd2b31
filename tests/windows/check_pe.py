#!/usr/bin/python3
"""Checks the Windows programs as built, and the release zip, reading them with pefile.

  check_pe.py program --machine i686|x86_64 --nm NM --entry SYMBOL (--key HEX | --key-file PATH) PROGRAM
  check_pe.py zip ZIP GUIDE ENCRYPT_EXE DECRYPT_EXE X64_ENCRYPT_EXE X64_DECRYPT_EXE

Every program is a GUI executable for its machine and Windows Vista on, importing exactly IMPORTS; as
built it starts at SYMBOL, names nothing of the other direction, and carries its manifest and a
version resource naming it and the key's fingerprint. The zip holds one folder named as the zip: the
guide as built (ASCII, CRLF), the i386 programs, and x64/ with the x86-64 ones, stripped, else as built.
"""
import argparse
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from support import add_key_arguments, key_of  # noqa: E402

# Machine, optional header magic, and the folder in the zip. Every program is a Windows GUI program (subsystem 2)
# for Vista on (6.0), and large-address-aware: an x86-64 one needs the flag too, to hold files over 2 GiB.
MACHINES = {"i686": ("0x14c", "0x10b", ""), "x86_64": ("0x8664", "0x20b", "x64/")}
IMPORTS = {"COMDLG32.DLL": ["GetOpenFileNameA", "GetSaveFileNameA"],
           "KERNEL32.DLL": ["CloseHandle", "CreateFileA", "DeleteFileA", "ExitProcess", "FlushFileBuffers",
                            "GetCurrentProcess", "GetFileSize", "GetFileType", "GlobalAlloc", "GlobalFree",
                            "ReadFile", "SetFileInformationByHandle", "SetUnhandledExceptionFilter",
                            "TerminateProcess", "WriteFile"]}
MANIFEST = ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', ">PerMonitorV2<", 'level="asInvoker"',
            '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8<')


def header_faults(pe, machine):
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    facts = (hex(header.Machine), hex(optional.Magic), optional.Subsystem, optional.MajorSubsystemVersion,
             optional.MinorSubsystemVersion, bool(header.Characteristics & 0x20))
    expected = (*MACHINES[machine][:2], 2, 6, 0, True)
    faults = [] if facts == expected else [f"(machine, magic, subsystem, its version, large-address-aware) are "
                                           f"{facts}, not {expected}"]
    # Windows compares DLL names without regard to case; mingw's import libraries differ in it.
    imports = {entry.dll.decode().upper(): sorted(i.name.decode() for i in entry.imports)
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if imports != IMPORTS:
        faults.append(f"imports {imports}, not {IMPORTS}")
    return faults


def program_faults(args):
    with open(args.program, "rb") as file:
        image = file.read()
    pe = pefile.PE(data=image)
    faults = header_faults(pe, args.machine)
    symbols = subprocess.run([args.nm, args.program], check=True, capture_output=True, text=True).stdout
    entry = pe.OPTIONAL_HEADER.ImageBase + pe.OPTIONAL_HEADER.AddressOfEntryPoint
    symbol = re.search(rf"^([0-9a-fA-F]+) T {re.escape(args.entry)}$", symbols, re.MULTILINE)
    if not symbol or int(symbol.group(1), 16) != entry:
        faults.append(f"entry point {entry:#x} is not the function {args.entry}")
    name = os.path.basename(args.program)
    other = {"encrypt.exe": "decrypt", "decrypt.exe": "encrypt"}[name]
    faults += [f"carries the symbol {line.split()[-1]}" for line in symbols.splitlines() if other in line]
    # The key's fingerprint: the first 8 hex digits of SHA-256 over the label and the key's lowercase hex.
    fingerprint = hashlib.sha256(b"blowfish-files key fingerprint v1:" + key_of(args).hex().encode()).hexdigest()[:8]
    version = ("VS_VERSION_INFO", name, f"key fingerprint {fingerprint}")
    needed = {text: text.encode() for text in MANIFEST} | {text: text.encode("utf-16-le") for text in version}
    faults += [f"no {text!r} in the resources" for text, data in needed.items() if data not in image]
    return faults


def as_built(pe):
    """What stripping must keep: the time stamp, entry point, image size, and every section's bytes."""
    return (pe.FILE_HEADER.TimeDateStamp, pe.OPTIONAL_HEADER.AddressOfEntryPoint, pe.OPTIONAL_HEADER.SizeOfImage,
            {section.Name: section.get_data() for section in pe.sections})


def shipped_faults(name, machine, shipped, built):
    faults = [f"{name}: {fault}" for fault in header_faults(shipped, machine)]
    if shipped.FILE_HEADER.PointerToSymbolTable or shipped.FILE_HEADER.NumberOfSymbols:
        faults.append(f"{name} keeps a symbol table of {shipped.FILE_HEADER.NumberOfSymbols} entries")
    if as_built(shipped) != as_built(built):
        faults.append(f"{name} differs from the build's in its time stamp, entry point, image size or sections")
    return faults


def zip_faults(archive, guide, programs):
    top = os.path.basename(archive).removesuffix(".zip") + "/"
    expected = {f"{top}README.txt": (None, guide)} | {
        f"{top}{MACHINES[machine][2]}{os.path.basename(path)}": (machine, path)
        for machine, path in zip(("i686", "i686", "x86_64", "x86_64"), programs)}
    with zipfile.ZipFile(archive) as release:
        files = sorted(info.filename for info in release.infolist() if not info.is_dir())
        if files != sorted(expected):
            return [f"holds {files}, not {sorted(expected)}"]
        faults = []
        for name, (machine, path) in expected.items():
            shipped = release.read(name)
            if machine:
                faults += shipped_faults(name, machine, pefile.PE(data=shipped), pefile.PE(path))
                continue
            if shipped != pathlib.Path(path).read_bytes():
                faults.append(f"{name} differs from {path}")
            line_ends = {shipped.count(b"\n"), shipped.count(b"\r\n"), shipped.count(b"\r")}
            if not shipped.isascii() or not shipped.endswith(b"\r\n") or len(line_ends) > 1:
                faults.append(f"{name} is not plain ASCII with CRLF line ends")
    return faults


def main():
    if sys.argv[1] == "zip":
        subject, guide, *programs = sys.argv[2:]
        faults = zip_faults(subject, guide, programs)
    else:
        parser = argparse.ArgumentParser()
        for option in ("--machine", "--nm", "--entry"):
            parser.add_argument(option, required=True)
        add_key_arguments(parser)
        parser.add_argument("program")
        args = parser.parse_args(sys.argv[2:])
        subject, faults = args.program, program_faults(args)
    for fault in faults:
        print(f"{subject}: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
