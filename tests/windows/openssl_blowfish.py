"""Blowfish in ECB mode from OpenSSL's libcrypto (BF_set_key, BF_ecb_encrypt), called through
ctypes: the independent transform that the Windows programs' outputs are compared with. It takes a
key of any length Blowfish allows (openssl enc -K would pad or cut it to 16 bytes).

  openssl_blowfish.py encrypt|decrypt KEY_HEX INPUT OUTPUT
"""
import ctypes
import ctypes.util
import sys

_libcrypto = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
_libcrypto.BF_set_key.argtypes = (ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
_libcrypto.BF_set_key.restype = None
_libcrypto.BF_ecb_encrypt.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)
_libcrypto.BF_ecb_encrypt.restype = None

_BF_KEY_SIZE = (16 + 2) * 4 + 4 * 256 * 4  # P-array and four S-boxes of 32-bit words


def transform(direction, key_hex, data):
    """Every whole 8-byte block of data encrypted (or decrypted) on its own; the 0 to 7 bytes at the
    end are kept as they are."""
    key = bytes.fromhex(key_hex)
    schedule = ctypes.create_string_buffer(_BF_KEY_SIZE)
    _libcrypto.BF_set_key(schedule, len(key), key)
    whole = len(data) - len(data) % 8
    buffer = ctypes.create_string_buffer(bytes(data[:whole]), whole or 1)
    address = ctypes.addressof(buffer)
    encrypting = {"encrypt": 1, "decrypt": 0}[direction]
    for offset in range(0, whole, 8):
        _libcrypto.BF_ecb_encrypt(address + offset, address + offset, schedule, encrypting)
    return buffer.raw[:whole] + bytes(data[whole:])


def add_key_arguments(parser):
    """--key HEX or --key-file PATH (a file holding the hex digits), one of them required."""
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--key")
    source.add_argument("--key-file")


def key_of(args):
    if args.key_file:
        with open(args.key_file) as file:
            return file.read().strip()
    return args.key


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    direction, key_hex, source, target = sys.argv[1:]
    with open(source, "rb") as file:
        data = file.read()
    with open(target, "wb") as file:
        file.write(transform(direction, key_hex, data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
