#!/usr/bin/env python3
"""Fails unless the release zip holds exactly the two programs and the README, in one folder,
byte for byte as built.

  check_release_zip.py ZIP FOLDER ENCRYPT_EXE DECRYPT_EXE README
"""
import os
import sys
import zipfile


def main():
    archive, folder, *members = sys.argv[1:]
    expected = {f"{folder}/{os.path.basename(path)}": path for path in members}
    with zipfile.ZipFile(archive) as release:
        files = {info.filename: info for info in release.infolist() if not info.is_dir()}
        if sorted(files) != sorted(expected):
            print(f"{archive} holds {sorted(files)}, not {sorted(expected)}", file=sys.stderr)
            return 1
        for name, path in expected.items():
            with open(path, "rb") as built:
                if release.read(name) != built.read():
                    print(f"{name} in {archive} differs from {path}", file=sys.stderr)
                    return 1
    print(f"{archive}: {', '.join(sorted(files))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
