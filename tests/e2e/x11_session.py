"""A private X display (Xvfb) and the user at its keyboard (xdotool): start it, find a program's
windows, type, press a key until it has taken effect, read a text field back (xclip)."""
import ctypes
import ctypes.util
import os
import re
import select
import subprocess

from support import WAIT_SECONDS, expect, wait_for


def start_xvfb(log=subprocess.DEVNULL):
    """Starts Xvfb on a display number it picks itself; returns (process, ":N") once it takes
    clients. Without -noreset it resets whenever its last client goes: a program connecting just
    then finds no display and ends quietly before its first dialog, and the keyboard map is lost."""
    xvfb = subprocess.Popen(["Xvfb", "-noreset", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, start_new_session=True)
    ready = select.select([xvfb.stdout], [], [], WAIT_SECONDS)[0]
    number = xvfb.stdout.readline().strip() if ready else b""
    expect(number, "Xvfb did not start")
    return xvfb, f":{number.decode()}"


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
        """Gives each non-ASCII character of text a free keycode of its own on this fresh display, to
        be pressed by its keysym: xdotool's type would remap a key for each, and Wine, reading the
        map late, loses them."""
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
