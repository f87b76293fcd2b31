#!/usr/bin/env python3
"""Fails unless each program holds the subkey schedule of the key, as OpenSSL's key setup
(BF_set_key) makes it: the 4,160 bytes S0..S3 then P2..P17, 32-bit words little-endian, in a row.

  check_schedule.py (--key HEX | --key-file PATH) PROGRAM...
"""
import argparse
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from support import add_key_arguments, key_of, schedule  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    add_key_arguments(parser)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    key = key_of(args)
    words = schedule(key)
    p, s = list(words[:18]), list(words[18:])
    if s[0] == 0xD1310BA6:
        print("BF_set_key left the S-boxes as the digits of pi", file=sys.stderr)
        return 1
    table = struct.pack("<1040I", *s, *p[2:])
    failed = False
    for program in args.programs:
        with open(program, "rb") as file:
            image = file.read()
        at = image.find(table)
        if at < 0:
            print(f"{program} does not hold the {len(table)}-byte schedule of the {len(key)}-byte key", file=sys.stderr)
            failed = True
        else:
            print(f"{program}: the {len(table)}-byte schedule of the {len(key)}-byte key at offset {at}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
