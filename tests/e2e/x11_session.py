"""A private X display (Xvfb) and the user at its keyboard (xdotool): start it, find a program's
windows, type, press a key until it has taken effect, read a text field back (xclip)."""
import ctypes
import ctypes.util
import os
import re
import select
import subprocess

from support import WAIT_SECONDS, Failure, expect, wait_for


def start_xvfb(log=subprocess.DEVNULL):
    """Starts Xvfb on a display number it picks itself; returns (process, ":N") once it takes
    clients. Without -noreset it resets whenever its last client goes: a program connecting just
    then finds no display and ends quietly before its first dialog, and the keyboard map is lost."""
    reading, writing = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-noreset", "-displayfd", str(writing), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=[writing], stdin=subprocess.DEVNULL,
                            stdout=log, stderr=log, start_new_session=True)
    os.close(writing)
    number = b""
    while not number.endswith(b"\n"):
        if not select.select([reading], [], [], WAIT_SECONDS)[0]:
            raise Failure("Xvfb did not start")
        chunk = os.read(reading, 16)
        expect(chunk, "Xvfb ended before it was ready")
        number += chunk
    os.close(reading)
    return xvfb, f":{number.decode().strip()}"


class Keyboard:
    def __init__(self, display):
        self.environment = {**os.environ, "DISPLAY": display}

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *map(str, arguments)], env=self.environment, capture_output=True,
                              text=True, timeout=WAIT_SECONDS).stdout.split()

    def windows(self, pid=None, name="."):
        """The visible windows, of one process or all, whose name matches."""
        return self.xdotool("search", "--all", "--onlyvisible", *(("--pid", pid) if pid else ()), "--name", name)

    def shown(self, window):
        return window in self.windows()

    def press_until(self, window, key, done, seconds=2, targeted=True):
        """Presses key on window, and again (three times in all) while done() does not hold some
        seconds later: a key that arrives while the dialog is busy may be lost. GTK takes a key
        sent to the focus (not targeted), Wine one sent to its window."""
        for _ in range(3):
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

    def selection(self):  # the text selected last
        return subprocess.run(["xclip", "-o", "-selection", "primary", "-t", "UTF8_STRING"], env=self.environment,
                              capture_output=True, timeout=WAIT_SECONDS).stdout.decode(errors="replace")

    def field_holds(self, window, text):
        """Whether the focused text field of window holds exactly text: selecting it all (ctrl+a)
        offers it as the primary selection, once every key typed before has been handled."""
        self.xdotool("key", "--window", window, "ctrl+a")
        return self.selection() == text

    def map_keys(self, text):
        """Gives each non-ASCII character of text a keycode of its own, to be pressed by its keysym
        (xdotool's type would remap a key for each, and Wine, reading the map late, loses them).
        Keycodes holding other such characters are freed first: Wine gives virtual keys to only a
        few extra keycodes."""
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
        connection = ctypes.c_void_p(x11.XOpenDisplay(self.environment["DISPLAY"].encode()))
        expect(connection.value, f"cannot open display {self.environment['DISPLAY']}")
        low, high, width = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        x11.XDisplayKeycodes(connection, ctypes.byref(low), ctypes.byref(high))
        count = high.value - low.value + 1
        table = x11.XGetKeyboardMapping(connection, ctypes.c_ubyte(low.value), count, ctypes.byref(width))
        rows = [[table[code * width.value + level] for level in range(width.value)] for code in range(count)]
        x11.XFree(table)
        wanted = [0x1000000 | ord(character) for character in dict.fromkeys(text) if ord(character) > 0x7F]
        free = []
        for code, row in enumerate(rows):
            if row[0] in wanted:
                wanted.remove(row[0])
            elif 0x1000100 <= row[0] <= 0x110FFFF or not any(row):
                free.append(low.value + code)
        for code in free:
            keysym = wanted.pop(0) if wanted else 0
            if rows[code - low.value][:2] != [keysym, keysym]:
                x11.XChangeKeyboardMapping(connection, code, 2, (ctypes.c_ulong * 2)(keysym, keysym), 1)
        x11.XSync(connection, 0)
        x11.XCloseDisplay(connection)
        expect(not wanted, f"no free keycodes for {len(wanted)} characters")


def ended(code):
    return f"killed by signal {-code}" if code is not None and code < 0 else f"exit code {code}"
