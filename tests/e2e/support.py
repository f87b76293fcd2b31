"""What the end-to-end drivers share: the key arguments, OpenSSL's Blowfish (libcrypto through ctypes)
as the oracle, waiting, and the check that a run changed nothing but what it created."""
import ctypes
import ctypes.util
import hashlib
import os
import stat
import time

_libcrypto = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
_libcrypto.BF_set_key.argtypes = (ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
_libcrypto.BF_ecb_encrypt.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)
SKIPPED = 77  # the exit code CTest takes for a skipped case
WAIT_SECONDS = 60
LARGE = 1 << 30  # files from this size on are known by size and time: reading them takes too long
SAMPLED = 64 << 20  # outputs from this size on are checked in about a thousand sampled blocks


class Failure(Exception):
    pass


class Skipped(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(condition, seconds=WAIT_SECONDS, interval=0.1):
    """condition()'s first true value within the time (it is asked at least once), or None."""
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() > deadline:
            return None
        time.sleep(interval)
    return value


def add_key_arguments(parser):
    """--key HEX or --key-file PATH (a file holding the hex digits), one of them required."""
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--key")
    source.add_argument("--key-file")


def key_of(args):
    if args.key_file:
        with open(args.key_file) as file:
            return bytes.fromhex(file.read().strip())
    return bytes.fromhex(args.key)


def schedule(key):
    """OpenSSL's BF_KEY after BF_set_key: P[18] then S[4 * 256], 32-bit words."""
    words = (ctypes.c_uint32 * (18 + 1024))()
    _libcrypto.BF_set_key(words, len(key), key)
    return words


def transform(direction, key, data):
    """Every whole 8-byte block of data encrypted (or decrypted) on its own by OpenSSL; the 0 to 7
    bytes at the end are kept as they are."""
    words = schedule(key)
    whole = len(data) - len(data) % 8
    buffer = ctypes.create_string_buffer(bytes(data[:whole]), whole or 1)
    for address in range(ctypes.addressof(buffer), ctypes.addressof(buffer) + whole, 8):
        _libcrypto.BF_ecb_encrypt(address, address, words, {"encrypt": 1, "decrypt": 0}[direction])
    return buffer.raw[:whole] + bytes(data[whole:])


def check_transformed(direction, key, source, target):
    """Fails unless target is source transformed: the same length, every block OpenSSL's (from
    SAMPLED bytes on, blocks spread over the file, the last one and those around each GiB boundary),
    the tail unchanged."""
    length = os.path.getsize(source)
    expect(os.path.getsize(target) == length, f"{target} has {os.path.getsize(target)} bytes, not {length}")
    blocks = length // 8
    chosen = set(range(0, blocks, blocks // 1000 + 1)) | {blocks - 1}
    chosen |= {b for gib in range(length // (1 << 30) + 1) for b in range((gib << 27) - 2, (gib << 27) + 2)}
    chosen = sorted(b for b in chosen if 0 <= b < blocks) + [blocks]  # the last piece: the tail

    def read(file):
        if length < SAMPLED:
            return file.read()
        return b"".join(os.pread(file.fileno(), 8, 8 * block) for block in chosen)
    with open(source, "rb") as plain, open(target, "rb") as sealed:
        expect(read(sealed) == transform(direction, key, read(plain)),
               f"{target} is not OpenSSL's {direction}ion" + ("" if length < SAMPLED else " in sampled blocks"))


def digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "md5").hexdigest()


def snapshot(root):
    """Every entry under root, by its path in root: kind, mode, owner, link target, size, time and a
    digest of the content; what a run must leave as it was."""
    state = {}
    for folder, folders, names in os.walk(root):
        for name in folders + names:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            entry = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode), info.st_uid)
            if stat.S_ISLNK(info.st_mode):
                entry += (os.readlink(path),)
            elif stat.S_ISREG(info.st_mode):
                entry += (info.st_size, info.st_mtime_ns, digest(path) if info.st_size < LARGE else None)
            state[os.path.relpath(path, root)] = entry
    return state


def expect_unchanged(before, after, created=()):
    """Fails unless after is before with exactly the names in created added."""
    for name, entry in before.items():
        expect(name in after, f"{name} was removed")
        expect(after[name] == entry, f"{name} changed")
    new = sorted(set(after) - set(before))
    expect(new == sorted(created), f"the run left {new}, expected {sorted(created)}")
