#!/usr/bin/env python3
"""Fails unless the release zip holds exactly one folder, named as the zip, with the guide and the
i386 programs in it and the x86-64 programs in its x64/ folder. Each program must be a Windows GUI
executable for its machine (PE32 for i386, PE32+ for x86-64) importing from KERNEL32.dll and
COMDLG32.dll only, stripped of its symbol table and otherwise the program as built: the same
sections with the same bytes, the same image size, entry point and time stamp. The guide must be
the one built, plain ASCII text with CRLF line ends.

  check_release_zip.py ZIP GUIDE ENCRYPT_EXE DECRYPT_EXE X64_ENCRYPT_EXE X64_DECRYPT_EXE
"""
import os
import struct
import sys
import zipfile

# Folder in the zip: machine and optional header magic of its programs.
MACHINES = {"": (0x14C, 0x10B, "i386 PE32"), "x64/": (0x8664, 0x20B, "x86-64 PE32+")}
GUI_SUBSYSTEM = 2
ALLOWED_DLLS = {"KERNEL32.DLL", "COMDLG32.DLL"}


class Pe:
    """The headers, sections and imported DLLs of a PE image."""

    def __init__(self, image):
        (header,) = struct.unpack_from("<I", image, 0x3C)
        if image[:2] != b"MZ" or image[header:header + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        coff = header + 4
        self.machine, count, self.stamp, self.symbol_table, self.symbols, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", image, coff)
        optional = coff + 20
        (self.magic,) = struct.unpack_from("<H", image, optional)
        (self.entry,) = struct.unpack_from("<I", image, optional + 16)
        (self.image_size,) = struct.unpack_from("<I", image, optional + 56)
        (self.subsystem,) = struct.unpack_from("<H", image, optional + 68)
        directories = optional + (112 if self.magic == 0x20B else 96)
        (imports_at,) = struct.unpack_from("<I", image, directories + 8)
        self.sections, mapped = {}, []
        for index in range(count):
            name, virtual_size, address, raw_size, raw_at = struct.unpack_from(
                "<8sIIII", image, optional + optional_size + 40 * index)
            self.sections[name.rstrip(b"\0").decode()] = image[raw_at:raw_at + raw_size]
            mapped.append((address, max(virtual_size, raw_size), raw_at))

        def at(rva):
            return next(raw_at + rva - address for address, size, raw_at in mapped if address <= rva < address + size)

        self.dlls = []
        descriptor = at(imports_at) if imports_at else None
        while descriptor is not None and any(image[descriptor:descriptor + 20]):
            (name,) = struct.unpack_from("<I", image, descriptor + 12)
            self.dlls.append(image[at(name):image.index(b"\0", at(name))].decode())
            descriptor += 20


def program_faults(name, folder, shipped, built):
    shipped, built = Pe(shipped), Pe(built)
    machine, magic, kind = MACHINES[folder]
    faults = []
    if (shipped.machine, shipped.magic) != (machine, magic):
        faults.append(f"{name} is for machine {shipped.machine:#x} with magic {shipped.magic:#x}, not {kind}")
    if shipped.subsystem != GUI_SUBSYSTEM:
        faults.append(f"{name} has subsystem {shipped.subsystem}, not Windows GUI")
    if not shipped.dlls or {dll.upper() for dll in shipped.dlls} - ALLOWED_DLLS:
        faults.append(f"{name} imports from {shipped.dlls}, not only KERNEL32.dll and COMDLG32.dll")
    if shipped.symbol_table or shipped.symbols:
        faults.append(f"{name} keeps a symbol table of {shipped.symbols} entries")
    if not built.symbols:
        faults.append(f"{name} as built has no symbols to strip (the build's own checks read them)")
    if shipped.stamp != built.stamp:
        faults.append(f"{name} carries the time stamp {shipped.stamp:#x}, not {built.stamp:#x} as built")
    if shipped.entry != built.entry:
        faults.append(f"{name} starts at {shipped.entry:#x}, not at {built.entry:#x} as built")
    if shipped.image_size != built.image_size:
        faults.append(f"{name} takes {shipped.image_size:#x} bytes in memory, not {built.image_size:#x} as built")
    if shipped.sections.keys() != built.sections.keys():
        faults.append(f"{name} has sections {sorted(shipped.sections)}, not {sorted(built.sections)} as built")
    for section, data in shipped.sections.items():
        if built.sections.get(section, data) != data:
            faults.append(f"{name}: section {section} differs from the build's")
    return faults


def guide_faults(name, text):
    faults = []
    if not text.endswith(b"\r\n") or text.count(b"\n") != text.count(b"\r\n") or text.count(b"\r") != text.count(b"\n"):
        faults.append(f"{name} has line ends other than CRLF")
    if not text.isascii():
        faults.append(f"{name} is not plain ASCII")
    return faults


def main():
    archive, guide, *programs = sys.argv[1:]
    top = os.path.basename(archive).removesuffix(".zip") + "/"
    expected = {f"{top}README.txt": (None, guide)}
    for folder, (encrypt, decrypt) in zip(MACHINES, (programs[0:2], programs[2:4])):
        expected.update({f"{top}{folder}{os.path.basename(path)}": (folder, path) for path in (encrypt, decrypt)})
    with zipfile.ZipFile(archive) as release:
        files = {info.filename for info in release.infolist() if not info.is_dir()}
        if sorted(files) != sorted(expected):
            print(f"{archive} holds {sorted(files)}, not {sorted(expected)}", file=sys.stderr)
            return 1
        faults = []
        for name, (folder, path) in expected.items():
            with open(path, "rb") as built:
                built = built.read()
            shipped = release.read(name)
            if folder is None:
                faults += guide_faults(name, shipped)
                if shipped != built:
                    faults.append(f"{name} differs from {path}")
            else:
                faults += program_faults(name, folder, shipped, built)
    for fault in faults:
        print(f"{archive}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{archive}: {', '.join(sorted(files))}; programs stripped, for their machines, guide in CRLF text")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
