#!/usr/bin/env python3
"""Fails unless the release zip holds exactly the two programs and the guide, in one folder: each
program stripped of its symbol table and otherwise the program as built (the same entry point and
the same bytes in every section it keeps), the guide as built, plain ASCII text with CRLF line ends.

  check_release_zip.py ZIP FOLDER ENCRYPT_EXE DECRYPT_EXE GUIDE
"""
import os
import struct
import sys
import zipfile


class Pe:
    """The COFF header fields and the sections of a PE image."""

    def __init__(self, image):
        (header,) = struct.unpack_from("<I", image, 0x3C)
        if image[:2] != b"MZ" or image[header:header + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        coff = header + 4
        _, count, _, self.symbol_table, self.symbols, optional_size, _ = struct.unpack_from("<HHIIIHH", image, coff)
        (self.entry,) = struct.unpack_from("<I", image, coff + 20 + 16)
        self.sections = {}
        for index in range(count):
            at = coff + 20 + optional_size + 40 * index
            name, _, _, raw_size, raw_at = struct.unpack_from("<8sIIII", image, at)
            self.sections[name.rstrip(b"\0").decode()] = image[raw_at:raw_at + raw_size]


def program_faults(name, shipped, built):
    shipped, built = Pe(shipped), Pe(built)
    faults = []
    if shipped.symbol_table or shipped.symbols:
        faults.append(f"{name} keeps a symbol table of {shipped.symbols} entries")
    if not built.symbols:
        faults.append(f"{name} as built has no symbols to strip (the build's own checks read them)")
    if shipped.entry != built.entry:
        faults.append(f"{name} starts at {shipped.entry:#x}, not at {built.entry:#x} as built")
    for section, data in shipped.sections.items():
        if built.sections.get(section) != data:
            faults.append(f"{name}: section {section} differs from the build's")
    if ".text" not in shipped.sections:
        faults.append(f"{name} has no code section")
    return faults


def guide_faults(name, text):
    faults = []
    if not text.endswith(b"\r\n") or text.count(b"\n") != text.count(b"\r\n") or text.count(b"\r") != text.count(b"\n"):
        faults.append(f"{name} has line ends other than CRLF")
    if not text.isascii():
        faults.append(f"{name} is not plain ASCII")
    return faults


def main():
    archive, folder, encrypt, decrypt, guide = sys.argv[1:]
    expected = {f"{folder}/{os.path.basename(path)}": path for path in (encrypt, decrypt, guide)}
    with zipfile.ZipFile(archive) as release:
        files = {info.filename for info in release.infolist() if not info.is_dir()}
        if sorted(files) != sorted(expected):
            print(f"{archive} holds {sorted(files)}, not {sorted(expected)}", file=sys.stderr)
            return 1
        faults = []
        for name, path in expected.items():
            with open(path, "rb") as built:
                built = built.read()
            shipped = release.read(name)
            if path == guide:
                faults += guide_faults(name, shipped)
                if shipped != built:
                    faults.append(f"{name} differs from {path}")
            else:
                faults += program_faults(name, shipped, built)
    for fault in faults:
        print(f"{archive}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{archive}: {', '.join(sorted(files))}; programs stripped, guide in CRLF text")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
