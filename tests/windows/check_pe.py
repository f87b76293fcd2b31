#!/usr/bin/python3
"""Checks the Windows programs as built, and the release zip, reading them with pefile.

  check_pe.py program --machine i686|x86_64|aarch64 --nm NM --entry SYMBOL --fingerprint HEX8 PROGRAM
  check_pe.py zip ZIP I386_STAGE X64_STAGE ARM64_STAGE   (each build's programs as staged for the zip)
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pefile

# Machine, optional header magic, the folder in the zip, and the subsystem's minor version. Every program is a
# Windows GUI program (subsystem 2) for Vista on (6.0; ARM64 ones 6.2, the oldest for that processor), and
# large-address-aware: a 64-bit one needs the flag too, to hold files over 2 GiB.
MACHINES = {"i686": ("0x14c", "0x10b", "", 0), "x86_64": ("0x8664", "0x20b", "x64/", 0),
            "aarch64": ("0xaa64", "0x20b", "arm64/", 2)}
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
    expected = (*MACHINES[machine][:2], 2, 6, MACHINES[machine][3], True)
    faults = [] if facts == expected else [f"(machine, magic, subsystem, its version, large-address-aware) are "
                                           f"{facts}, not {expected}"]
    # Windows compares DLL names without regard to case; mingw's import libraries differ in it.
    imports = {entry.dll.decode().upper(): sorted(i.name.decode() for i in entry.imports)
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if imports != IMPORTS:
        faults.append(f"imports {imports}, not {IMPORTS}")
    return faults


def program_faults(args):
    image = pathlib.Path(args.program).read_bytes()
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
    version = ("VS_VERSION_INFO", name, f"key fingerprint {args.fingerprint}")  # as configure showed it
    needed = {text: text.encode() for text in MANIFEST} | {text: text.encode("utf-16-le") for text in version}
    faults += [f"no {text!r} in the resources" for text, data in needed.items() if data not in image]
    return faults


def as_built(pe):
    """What stripping must keep: the time stamp, entry point, image size, and every section's bytes."""
    return (pe.FILE_HEADER.TimeDateStamp, pe.OPTIONAL_HEADER.AddressOfEntryPoint, pe.OPTIONAL_HEADER.SizeOfImage,
            {section.Name: section.get_data() for section in pe.sections})


def zip_faults(archive, i386_stage, x64_stage, arm64_stage):
    """The zip holds exactly the three builds' staged programs and the guide, byte for byte; each
    program as built beside its stage (programs/windows/release), but stripped."""
    top = os.path.basename(archive).removesuffix(".zip") + "/"
    expected = {f"{top}README.txt": (None, os.path.join(i386_stage, "README.txt"), None)} | {
        f"{top}{MACHINES[machine][2]}{name}": (machine, os.path.join(stage, MACHINES[machine][2], name),
                                               os.path.join(stage, os.pardir, name))
        for machine, stage in (("i686", i386_stage), ("x86_64", x64_stage), ("aarch64", arm64_stage))
        for name in ("encrypt.exe", "decrypt.exe")}
    with zipfile.ZipFile(archive) as release:
        files = sorted(info.filename for info in release.infolist() if not info.is_dir())
        if files != sorted(expected):
            return [f"holds {files}, not {sorted(expected)}"]
        faults = []
        for name, (machine, path, built) in expected.items():
            shipped = release.read(name)
            if shipped != pathlib.Path(path).read_bytes():
                faults.append(f"{name} differs from {path}")
            if machine:
                program = pefile.PE(data=shipped)
                faults += [f"{name}: {fault}" for fault in header_faults(program, machine)]
                if program.FILE_HEADER.PointerToSymbolTable or program.FILE_HEADER.NumberOfSymbols:
                    faults.append(f"{name} keeps a symbol table of {program.FILE_HEADER.NumberOfSymbols} entries")
                if as_built(program) != as_built(pefile.PE(built)):
                    faults.append(f"{name} differs from {built} in time stamp, entry point, image size or sections")
                continue
            line_ends = {shipped.count(b"\n"), shipped.count(b"\r\n"), shipped.count(b"\r")}
            if not shipped.isascii() or not shipped.endswith(b"\r\n") or len(line_ends) > 1:
                faults.append(f"{name} is not plain ASCII with CRLF line ends")
    return faults


def main():
    if sys.argv[1] == "zip":
        subject, faults = sys.argv[2], zip_faults(*sys.argv[2:])
    else:
        parser = argparse.ArgumentParser()
        for option in ("--machine", "--nm", "--entry", "--fingerprint"):
            parser.add_argument(option, required=True)
        parser.add_argument("program")
        args = parser.parse_args(sys.argv[2:])
        subject, faults = args.program, program_faults(args)
    for fault in faults:
        print(f"{subject}: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
