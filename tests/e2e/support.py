"""What the end-to-end drivers share: the key arguments, OpenSSL's Blowfish (libcrypto through ctypes)
as the oracle, waiting, the check that a run changed nothing but what it created, and a private X
display (Xvfb) with the user at its keyboard (xdotool, xclip)."""
import ctypes
import ctypes.util
import functools
import hashlib
import io
import os
import re
import select
import shutil
import stat
import subprocess
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
    with open_for_reading(source) as plain, open_for_reading(target) as sealed:
        expect(read(sealed) == transform(direction, key, read(plain)),
               f"{target} is not OpenSSL's {direction}ion" + ("" if length < SAMPLED else " in sampled blocks"))


def digest(path):
    with open_for_reading(path) as file:
        return hashlib.file_digest(file, "md5").hexdigest()


@functools.cache
def as_root():
    """The prefix that runs a command as root: none for root; for another user, root of a new user
    namespace that maps the user to 0 and its subordinate ids (/etc/subuid, /etc/subgid) from 1 on,
    through newuidmap and newgidmap. There the user's files belong to 0 and nobody is a user of its
    own. Where none can be made, the case is skipped (under CI=true, which must run every case, it
    fails)."""
    if os.geteuid() == 0:
        return ()
    prefix = ("unshare", "--map-root-user", "--map-auto")
    tried = subprocess.run([*prefix, "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "true"],
                           capture_output=True, text=True)
    if tried.returncode != 0:
        reason = (f"needs another user, and none can be had in a user namespace here ({' '.join(prefix)}: "
                  f"{tried.stderr.strip() or tried.returncode})")
        raise Failure(reason + "; CI must run every case") if os.environ.get("CI") == "true" else Skipped(reason)
    return prefix


def open_for_reading(path):
    """path opened for reading; a file of another user that only root may read (one a run as nobody
    made) is read whole as root."""
    try:
        return open(path, "rb")
    except PermissionError:
        if os.geteuid() == 0:
            raise
        return io.BytesIO(subprocess.run([*as_root(), "cat", path], check=True, capture_output=True).stdout)


def remove_tree(path):
    """Removes path and all below it, as root where another user made some of it."""
    shutil.rmtree(path, ignore_errors=True)
    if os.path.lexists(path):
        subprocess.run([*as_root(), "rm", "-rf", path], check=True)


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


def start_xvfb(text, log=subprocess.DEVNULL):
    """Xvfb on a display number it picks itself, and a Keyboard on it with keys for text's letters.
    Without -noreset it resets whenever its last client goes: a program connecting just then finds
    no display and ends quietly before its first dialog, and the keyboard map is lost."""
    xvfb = subprocess.Popen(["Xvfb", "-noreset", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, start_new_session=True)
    ready = select.select([xvfb.stdout], [], [], WAIT_SECONDS)[0]
    number = xvfb.stdout.readline().strip() if ready else b""
    expect(number, "Xvfb did not start")
    keyboard = Keyboard(f":{number.decode()}")
    keyboard.map_keys(text)
    return xvfb, keyboard


class Keyboard:
    def __init__(self, display):
        self.environment = {**os.environ, "DISPLAY": display}

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *map(str, arguments)], env=self.environment, capture_output=True,
                              text=True, timeout=WAIT_SECONDS).stdout.split()

    def windows(self, pid=None, name="."):  # visible, of one process or all
        return self.xdotool("search", "--all", "--onlyvisible", *(("--pid", pid) if pid else ()), "--name", name)

    def shown(self, window):
        return window in self.windows()

    def press_until(self, window, key, done, seconds=2, targeted=True):
        """Presses key, again (three times in all) while done() does not hold seconds later, saying
        so each time in the case's output: a key that arrives while the dialog is busy may be lost.
        GTK takes it at the focus, Wine at its window."""
        for attempt in range(3):
            if attempt:
                print(f"pressed {key} again (press {attempt + 1}): the dialog had not reacted within {seconds} s")
            self.xdotool("windowfocus", "--sync", window)
            self.xdotool("key", *(("--window", window) if targeted else ()), key)
            if wait_for(done, seconds):
                return True
        return False

    def type(self, window, text, delay=15):
        """Types text; letters beyond ASCII by the keys map_keys gave them."""
        for run in re.findall(r"[\x00-\x7f]+|[^\x00-\x7f]", text):
            if run.isascii():
                self.xdotool("type", "--window", window, "--delay", delay, run)
            else:
                self.xdotool("key", "--window", window, f"U{ord(run):04X}")

    def selection(self, seconds=5):
        """The text selected last, or None when its owner gave no answer within seconds, said in the
        case's output: X drops a request that reaches the owner just after the window that owns the
        selection is gone, and xclip would wait for the answer for ever."""
        try:
            return subprocess.run(["xclip", "-o", "-selection", "primary", "-t", "UTF8_STRING"], env=self.environment,
                                  capture_output=True, timeout=seconds).stdout.decode(errors="replace")
        except subprocess.TimeoutExpired:
            print(f"the primary selection was not given within {seconds} s")
            return None

    def field_holds(self, window, text):
        """Whether the focused text field of window holds exactly text: selecting it all (ctrl+a)
        offers it as the primary selection, once every key typed before has been handled."""
        self.xdotool("key", "--window", window, "ctrl+a")
        return self.selection() == text

    def map_keys(self, text):
        """Gives each non-ASCII letter of text a free keycode on this fresh display: xdotool's type
        would remap a key for each, and Wine, reading the map late, loses them."""
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
        connection = ctypes.c_void_p(x11.XOpenDisplay(self.environment["DISPLAY"].encode()))
        expect(connection.value, f"cannot open display {self.environment['DISPLAY']}")
        low, high, width = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        x11.XDisplayKeycodes(connection, ctypes.byref(low), ctypes.byref(high))
        table = x11.XGetKeyboardMapping(connection, ctypes.c_ubyte(low.value), high.value - low.value + 1,
                                        ctypes.byref(width))
        free = [code for code in range(low.value, high.value + 1)
                if not any(table[(code - low.value) * width.value + level] for level in range(width.value))]
        x11.XFree(table)
        wanted = [0x1000000 | ord(character) for character in dict.fromkeys(text) if ord(character) > 0x7F]
        expect(len(wanted) <= len(free), f"no free keycodes for {len(wanted) - len(free)} characters")
        for code, keysym in zip(free, wanted):
            x11.XChangeKeyboardMapping(connection, code, 2, (ctypes.c_ulong * 2)(keysym, keysym), 1)
        x11.XSync(connection, 0)
        x11.XCloseDisplay(connection)
