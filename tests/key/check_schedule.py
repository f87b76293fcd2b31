#!/usr/bin/env python3
"""Fails unless each program holds the subkey schedule of the key, as OpenSSL's key setup
(BF_set_key) makes it: the 4,160 bytes S0..S3 then P2..P17, 32-bit words little-endian, in a row.

  check_schedule.py (--key HEX | --key-file PATH) PROGRAM...
"""
import argparse
import ctypes
import ctypes.util
import struct
import sys


def openssl_schedule(key):
    """P[18] and S[4 * 256] of OpenSSL's BF_KEY after BF_set_key."""
    libcrypto = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
    words = (ctypes.c_uint32 * (18 + 1024))()
    libcrypto.BF_set_key(ctypes.byref(words), ctypes.c_int(len(key)), key)
    return list(words[:18]), list(words[18:])


def main():
    parser = argparse.ArgumentParser()
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--key")
    source.add_argument("--key-file")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    if args.key_file:
        with open(args.key_file) as file:
            args.key = file.read().strip()
    key = bytes.fromhex(args.key)
    p, s = openssl_schedule(key)
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
