#!/usr/bin/env python3
"""Runs the Windows programs under Wine on a virtual display and drives their real common dialogs
with xdotool, the way a user would: type a path into the dialog, or press Escape. Outputs are
compared with OpenSSL's Blowfish-ECB under the programs' key.

  wine_dialogs.py start --state DIR --wine WINE    starts Xvfb and boots a Wine prefix in DIR
  wine_dialogs.py case NAME --state DIR --wine WINE --encrypt EXE --decrypt EXE
                  --holder EXE (--key HEX | --key-file PATH)   runs one case on them
  wine_dialogs.py stop --state DIR --wine WINE     stops the Wine server and Xvfb, removes DIR

WINE is /usr/lib/wine/wine64 for the x86-64 programs, or /usr/lib/wine/wine (32-bit Wine) for the
i386 ones: their prefix is a 32-bit one, and the i386 Linux programs of Wine run through qemu-i386,
which start registers with the kernel (binfmt_misc). Where that cannot be done, start and every
case end with SKIPPED (exit code 77) and a message, as does a case whose files do not fit in /tmp,
except under CI=true, where it is a failure.

One display and one prefix serve every case of a test run; the cases take turns on them.
"""
import argparse
import ctypes
import ctypes.util
import os
import random
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import openssl_blowfish

WAIT_SECONDS = 60
RELAYED_CALLS = "KERNEL32.CreateFileA;KERNEL32.GetFileType;KERNEL32.GetFileSize;KERNEL32.ReadFile"
SKIPPED = 77


class Failure(Exception):
    pass


class Unavailable(Exception):
    pass


def thirty_two_bit(wine):
    return os.path.basename(wine) == "wine"


BINFMT = "/proc/sys/fs/binfmt_misc"
QEMU_I386 = "/usr/bin/qemu-i386"
I386_ELF_MAGIC = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
I386_ELF_MASK = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"


def register_qemu_i386():
    """Hands i386 ELF programs to qemu-i386 (with F: the kernel opens the interpreter once, at
    registration). An entry made before qemu-i386 was last installed still runs the old one, so it
    is made again; a current entry is kept, since other runs may be using it."""
    entry = os.path.join(BINFMT, "qemu-i386")
    try:
        if not os.path.exists(QEMU_I386):
            raise Unavailable(f"{QEMU_I386} is missing (Debian qemu-user-static from bookworm-backports)")
        if not os.path.exists(os.path.join(BINFMT, "register")):
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True,
                           capture_output=True, timeout=WAIT_SECONDS)
        if os.path.exists(entry):
            with open(entry) as file:
                lines = file.read().splitlines()
            if ("enabled" in lines and f"interpreter {QEMU_I386}" in lines and "flags: F" in lines
                    and os.stat(entry).st_mtime >= os.stat(QEMU_I386).st_ctime):
                return
            with open(entry, "w") as file:
                file.write("-1")
        with open(os.path.join(BINFMT, "register"), "w") as file:
            file.write(f":qemu-i386:M::{I386_ELF_MAGIC}:{I386_ELF_MASK}:{QEMU_I386}:F")
    except (OSError, subprocess.SubprocessError) as error:
        raise Unavailable(f"cannot register {QEMU_I386} for i386 programs with binfmt_misc: {error}")


def wine_environment(state):
    environment = dict(os.environ)
    with open(os.path.join(state, "display")) as display:
        environment["DISPLAY"] = display.read().strip()
    environment["WINEPREFIX"] = os.path.join(state, "prefix")
    environment["WINEDEBUG"] = "-all"
    environment["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    if os.path.exists(os.path.join(state, "win32")):
        environment["WINEARCH"] = "win32"
    return environment


def wineserver(wine):
    return os.path.join(os.path.dirname(wine), "wineserver")


def without_override(command):
    """Root may write any file whatever its permissions, and so, under Wine, may a program: a
    read-only file would open for writing. Wine runs without that capability, like a user."""
    if os.geteuid() != 0:
        return command
    return ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--", *command]


def start(args):
    stop(args)
    os.makedirs(args.state)
    log = open(os.path.join(args.state, "session.log"), "w")
    if thirty_two_bit(args.wine):
        try:
            register_qemu_i386()
        except Unavailable as reason:
            with open(os.path.join(args.state, "unavailable"), "w") as file:
                file.write(f"{reason}\n")
            raise
        open(os.path.join(args.state, "win32"), "w").close()

    # Xvfb picks a free display number and writes it to the pipe once it accepts clients. Without
    # -noreset it resets whenever its last client goes, and a program connecting just then finds no
    # display and ends quietly before its first dialog; the reset would also drop the keyboard map.
    reading, writing = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-noreset", "-displayfd", str(writing), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=[writing], stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    os.close(writing)
    with open(os.path.join(args.state, "xvfb.pid"), "w") as pid:
        pid.write(str(xvfb.pid))
    number = b""
    while not number.endswith(b"\n"):
        if not select.select([reading], [], [], WAIT_SECONDS)[0]:
            raise Failure("Xvfb did not start")
        chunk = os.read(reading, 16)
        if not chunk:
            raise Failure("Xvfb ended before it was ready")
        number += chunk
    os.close(reading)
    with open(os.path.join(args.state, "display"), "w") as display:
        display.write(f":{number.decode().strip()}\n")

    # Keys for the letters of other scripts the cases type, in the map every Wine process reads.
    map_keys(f":{number.decode().strip()}", "".join(GREEK_AND_CJK_NAMES))

    # A persistent server keeps the prefix warm between cases until stop.
    environment = wine_environment(args.state)
    os.makedirs(environment["WINEPREFIX"])
    subprocess.run(without_override([wineserver(args.wine), "-p"]), env=environment, stdin=subprocess.DEVNULL,
                   stdout=log, stderr=log, check=True, timeout=WAIT_SECONDS)
    subprocess.run(without_override([args.wine, "wineboot", "-i"]), env=environment, stdin=subprocess.DEVNULL,
                   stdout=log, stderr=log, check=True, timeout=5 * WAIT_SECONDS)
    # Without a window manager, Wine waits 2 s for each closing dialog to be withdrawn unless its
    # windows are unmanaged. A program that crashes ends at once, its backtrace in the log, instead of
    # waiting behind Wine's crash dialog until the case times out.
    # A program run with WINEDEBUG=+relay logs only its calls that show how it treats its input.
    for key, value, kind, data in ((r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
                                   (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
                                   (r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", RELAYED_CALLS)):
        subprocess.run(without_override([args.wine, "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"]),
                       env=environment, stdin=subprocess.DEVNULL, stdout=log, stderr=log, check=True,
                       timeout=WAIT_SECONDS)


def stop(args):
    if not os.path.isdir(args.state):
        return
    # The server writes the registry into the prefix as it ends: wait for it before removing.
    if os.path.exists(os.path.join(args.state, "display")):
        for option in ("-k", "-w"):
            subprocess.run([wineserver(args.wine), option], env=wine_environment(args.state),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=WAIT_SECONDS)
    try:
        with open(os.path.join(args.state, "xvfb.pid")) as pid:
            os.kill(int(pid.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    shutil.rmtree(args.state, ignore_errors=True)


class Session:
    """The programs, the display they show their dialogs on, and a folder of test files."""

    def __init__(self, args):
        self.args = args
        self.environment = wine_environment(args.state)
        self.log = open(os.path.join(args.state, "session.log"), "a")
        self.folder = tempfile.mkdtemp(prefix="bf", dir="/tmp")

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        self.log.close()

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as file:
            file.write(data)
        return self.path(name)

    def contents(self):
        """Every file under the folder, by its path in the folder, with its bytes: shows that a run
        left nothing behind."""
        result = {}
        for root, _, names in os.walk(self.folder):
            for name in names:
                with open(os.path.join(root, name), "rb") as file:
                    result[os.path.relpath(os.path.join(root, name), self.folder)] = file.read()
        return dict(sorted(result.items()))

    def long_path(self, length, name):
        """A path in the folder whose Windows form (Z:\\...) has exactly length characters, through
        nested folders of at most 200 characters each, which are made; the file itself is not."""
        folder = self.folder
        room = length - len("Z:") - len(folder) - len("/" + name)
        while room > 1:
            part = min(200, room - 1)
            folder = os.path.join(folder, chr(ord("a") + len(folder) % 26) * part)
            room -= part + 1
        path = os.path.join(folder, "_" * room + name)
        expect(len("Z:" + path) == length, f"a path of {len('Z:' + path)} characters, not {length}")
        os.makedirs(folder, exist_ok=True)
        return path

    def creation_refused(self, path):
        """Whether a program without root's override of permissions is refused a new file at path."""
        made = subprocess.run(without_override(["touch", path]), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
        if made:
            os.remove(path)
        return not made

    def launch(self, *command, environment=None, **options):
        """Starts a Windows program under Wine, with environment added to the session's."""
        options.setdefault("stderr", self.log)
        return subprocess.Popen(without_override([self.args.wine, *command]),
                                env={**self.environment, **(environment or {})}, **options)

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=self.environment, capture_output=True,
                              text=True, timeout=WAIT_SECONDS).stdout.split()

    def windows_named(self, title):
        return self.xdotool("search", "--onlyvisible", "--name", f"^{title}$")

    def wait_for_dialog(self, process, title, seconds=WAIT_SECONDS):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            found = self.windows_named(title)
            if found:
                return found[0]
            if process.poll() is not None:
                raise Failure(f'the program ended (code {process.returncode}) without a "{title}" dialog')
            time.sleep(0.1)
        raise Failure(f'no "{title}" dialog within {seconds} s')

    def answer(self, dialog, path):
        """Types the full path into the dialog's file name and confirms it."""
        self.answer_typed(dialog, "Z:" + path.replace("/", "\\"))

    def answer_typed(self, dialog, text):
        """Types text into the dialog's file name and confirms it. A Return that arrives while the
        dialog is still busy with the typing is sometimes lost: it is pressed again while the dialog
        stays open, up to three times in all."""
        self.xdotool("windowfocus", "--sync", dialog)
        # Other letters go by the keys the session mapped to them (xdotool's type would remap a key
        # for each, and Wine, reading the map late, loses them).
        for run in re.findall(r"[\x00-\x7f]+|[^\x00-\x7f]", text):
            if run.isascii():
                self.xdotool("type", "--window", dialog, "--delay", "15", run)
            else:
                self.xdotool("key", "--window", dialog, f"U{ord(run):04X}")
        for _ in range(3):
            self.xdotool("key", "--window", dialog, "Return")
            if not self.still_shown(dialog, 2):
                return

    def still_shown(self, dialog, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if dialog not in self.xdotool("search", "--onlyvisible", "--name", "."):
                return False
            time.sleep(0.1)
        return True

    def cancel(self, dialog, must_close=True):
        """Presses Escape on the dialog. Like Return, an Escape that arrives before the dialog takes
        keys is lost: it is pressed again while the dialog stays open, up to three times in all. A
        dialog that Wine itself has broken may never close (must_close=False)."""
        self.xdotool("windowfocus", "--sync", dialog)
        for _ in range(3):
            self.xdotool("key", "--window", dialog, "Escape")
            if not self.still_shown(dialog, 2):
                return
        if must_close:
            raise Failure("the dialog stayed open after Escape was pressed three times")

    def wait_for_end(self, process, save_dialog_allowed=True, seconds=WAIT_SECONDS):
        deadline = time.monotonic() + seconds
        while process.poll() is None:
            if not save_dialog_allowed and self.windows_named("Save As"):
                raise Failure('a "Save As" dialog appeared')
            if time.monotonic() > deadline:
                raise Failure(f"the program did not end within {seconds} s")
            time.sleep(0.1)
        if process.returncode != 0:
            raise Failure(f"exit code {process.returncode}, not 0")

    def run(self, program, steps, largest_file=None, **launch_options):
        """Starts encrypt or decrypt and plays steps(process) against it; never leaves it running.
        With largest_file, a write past that many bytes fails (instead of ending the process)."""
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (largest_file, largest_file))
        process = self.launch(getattr(self.args, program), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, restore_signals=largest_file is None,
                              preexec_fn=limit_file_size if largest_file else None, **launch_options)
        try:
            steps(process)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def transform(self, program, input_path, output_path, **launch_options):
        def steps(process):
            self.answer(self.wait_for_dialog(process, "Open"), input_path)
            self.answer(self.wait_for_dialog(process, "Save As"), output_path)
            self.wait_for_end(process)
        self.run(program, steps, **launch_options)

    def refused_input(self, input_path):
        """Chooses input_path and expects the program to end quietly without asking for an output."""
        def steps(process):
            self.answer(self.wait_for_dialog(process, "Open"), input_path)
            self.wait_for_end(process, save_dialog_allowed=False)
        self.run("encrypt", steps)

    def encrypted(self, data):
        """OpenSSL's Blowfish-ECB of data under the programs' key."""
        return openssl_blowfish.transform("encrypt", openssl_blowfish.key_of(self.args), data)


def expect(condition, message):
    if not condition:
        raise Failure(message)


def round_trip(length):
    def case(session):
        plain = random.Random(length).randbytes(length)
        plain_path = session.write("plain.bin", plain)
        session.transform("encrypt", plain_path, session.path("sealed.bin"))
        session.transform("decrypt", session.path("sealed.bin"), session.path("opened.bin"))

        files = session.contents()
        expect(files["plain.bin"] == plain, "encrypt changed its input")
        sealed = files["sealed.bin"]
        expect(len(sealed) == length, f"encrypted length {len(sealed)}, not {length}")
        expect(sealed == session.encrypted(plain), "encrypted bytes differ from OpenSSL's")
        expect(length < 8 or sealed[:8] != plain[:8], "the first block was not transformed")
        expect(files["opened.bin"] == plain, "decrypting did not give back the input")
    return case


def cancel_input(session):
    before = session.contents()

    def steps(process):
        session.cancel(session.wait_for_dialog(process, "Open"))
        session.wait_for_end(process, save_dialog_allowed=False)
    session.run("encrypt", steps)
    expect(session.contents() == before, "cancelling left files behind")


def empty_input(session):
    session.write("empty.bin", b"")
    before = session.contents()
    session.refused_input(session.path("empty.bin"))
    expect(session.contents() == before, "files changed")


def cancel_output(session):
    session.write("plain.bin", b"seventeen bytes!!")
    before = session.contents()

    def steps(process):
        session.answer(session.wait_for_dialog(process, "Open"), session.path("plain.bin"))
        session.cancel(session.wait_for_dialog(process, "Save As"))
        session.wait_for_end(process)
    session.run("encrypt", steps)
    expect(session.contents() == before, "cancelling the output left files behind or changed the input")


def existing_output(session):
    session.write("plain.bin", b"the input, two blocks and a bit")
    session.write("taken.bin", b"a file that is already there")
    before = session.contents()
    session.transform("encrypt", session.path("plain.bin"), session.path("taken.bin"))
    expect(session.contents() == before, "an existing file was overwritten")


def output_is_input(session):
    session.write("plain.bin", b"the input, two blocks and a bit")
    before = session.contents()
    session.transform("encrypt", session.path("plain.bin"), session.path("plain.bin"))
    expect(session.contents() == before, "the input was overwritten")


def input_held_open(session):
    plain_path = session.write("plain.bin", b"held by another program")
    before = session.contents()
    holder = session.launch(session.args.holder, "Z:" + plain_path.replace("/", "\\"),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        ready = select.select([holder.stdout], [], [], WAIT_SECONDS)[0]
        expect(ready and holder.stdout.readline().strip() == b"held", "the helper could not hold the file")
        session.refused_input(plain_path)
    finally:
        holder.stdin.close()
        holder.wait(timeout=WAIT_SECONDS)
    expect(session.contents() == before, "files changed")


def write_fails(session):
    session.write("plain.bin", random.Random(0).randbytes(1024 * 1024 + 3))
    before = session.contents()

    def steps(process):
        session.answer(session.wait_for_dialog(process, "Open"), session.path("plain.bin"))
        session.answer(session.wait_for_dialog(process, "Save As"), session.path("sealed.bin"))
        session.wait_for_end(process)
    session.run("encrypt", steps, largest_file=64 * 1024)
    expect(session.contents() == before, "the partly written output was left behind")


def read_only_input(session):
    plain_path = session.write("plain.bin", b"nobody may write this file")
    os.chmod(plain_path, 0o444)
    before = session.contents()
    session.refused_input(plain_path)
    expect(session.contents() == before, "files changed")


def output_folder_without_write_access(session):
    plain_path = session.write("plain.bin", b"the input, two blocks and a bit")
    locked = session.path("locked")
    os.mkdir(locked, 0o555)
    expect(session.creation_refused(os.path.join(locked, "probe.bin")), "the locked folder takes new files")
    before = session.contents()
    session.transform("encrypt", plain_path, os.path.join(locked, "sealed.bin"))
    expect(session.contents() == before and not os.listdir(locked), "files changed")


# Long paths, typed whole into the dialogs, whose buffer holds 511 characters. What Wine 8.0 does
# with a typed path of N characters (Z:\... included), in either dialog:
#   N <= 260        the dialog returns it and CreateFileA opens or creates the file;
#   261 <= N <= 263 the dialog returns it and CreateFileA refuses it (ERROR_FILENAME_EXCED_RANGE):
#                   an input is not read, an output not created;
#   N >= 264        the dialog copies it into a buffer of MAX_PATH characters on its own stack and
#                   overruns it, so it never reports FNERR_BUFFERTOOSMALL. What follows depends on
#                   the characters that land where: mostly a fault, which ends the program through
#                   its last-resort exception filter, quietly with code 0; sometimes the dialog just
#                   stays open (the user cancels it). From about 570 characters on, the overrun
#                   also breaks Wine's own handling of the fault, and no code of the program runs
#                   again: SIGSEGV kills the process, or its main thread ends while the process
#                   and its dialog stay until killed. Only the files can be checked there.
# Whichever happens, no file is created or changed.
DIALOG_OVERRUN_BREAKS_WINE = 570


def through_long_path(session, process, title, path, length):
    """Answers the dialog with path; a dialog left open by the overrun is cancelled, as a user would."""
    dialog = session.wait_for_dialog(process, title)
    session.answer(dialog, path)
    if length > 263 and session.still_shown(dialog, 0.5):
        session.cancel(dialog, must_close=length < DIALOG_OVERRUN_BREAKS_WINE)
    if length < DIALOG_OVERRUN_BREAKS_WINE:
        session.wait_for_end(process, save_dialog_allowed=title == "Save As")
        return
    deadline = time.monotonic() + 10
    while process.poll() is None and time.monotonic() < deadline:
        expect(title == "Save As" or not session.windows_named("Save As"), 'a "Save As" dialog appeared')
        time.sleep(0.1)


def long_input(length):
    def case(session):
        plain_path = session.long_path(length, "plain.bin")
        plain = b"an input at the end of a long path"
        with open(plain_path, "wb") as file:
            file.write(plain)
        before = session.contents()
        if length <= 260:
            session.transform("encrypt", plain_path, session.path("sealed.bin"))
            files = session.contents()
            expect(files.pop("sealed.bin") == session.encrypted(plain), "encrypted bytes differ from OpenSSL's")
        else:
            session.run("encrypt", lambda process: through_long_path(session, process, "Open", plain_path, length))
            files = session.contents()
        expect(files == before, "files changed")
    return case


def long_output(length):
    def case(session):
        plain_path = session.write("plain.bin", b"the input, two blocks and a bit")
        output_path = session.long_path(length, "sealed.bin")
        before = session.contents()

        def steps(process):
            session.answer(session.wait_for_dialog(process, "Open"), plain_path)
            through_long_path(session, process, "Save As", output_path, length)
        session.run("encrypt", steps)
        expect(session.contents() == before, "files changed")
    return case


def map_keys(display, text):
    """Gives each non-ASCII character of text a keycode of its own on the display, for answer_typed
    to press. Keycodes holding other characters are freed first, since Wine gives virtual keys to
    only a few extra keycodes."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    x11.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
    x11.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    x11.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                           ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    def unicode_keysym(keysym):
        return 0x1000100 <= keysym <= 0x110FFFF

    connection = x11.XOpenDisplay(display.encode())
    expect(connection, f"cannot open display {display}")
    low, high, width = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    x11.XDisplayKeycodes(connection, ctypes.byref(low), ctypes.byref(high))
    count = high.value - low.value + 1
    table = x11.XGetKeyboardMapping(connection, low.value, count, ctypes.byref(width))
    rows = [[table[code * width.value + level] for level in range(width.value)] for code in range(count)]
    x11.XFree(table)
    wanted = [0x1000000 | ord(character) for character in dict.fromkeys(text) if ord(character) > 0x7F]
    free = []
    for code, row in enumerate(rows):
        if row[0] in wanted:
            wanted.remove(row[0])
        elif unicode_keysym(row[0]) or not any(row):
            free.append(low.value + code)
    for code in free:
        keysym = wanted.pop(0) if wanted else 0
        if rows[code - low.value][:2] != [keysym, keysym]:
            x11.XChangeKeyboardMapping(connection, code, 2, (ctypes.c_ulong * 2)(keysym, keysym), 1)
    x11.XSync(connection, 0)
    x11.XCloseDisplay(connection)
    expect(not wanted, f"no free keycodes for {len(wanted)} characters")


# Input, encrypted and decrypted names: Greek and CJK letters, five in all.
GREEK_AND_CJK_NAMES = ("αβγ_漢字.bin", "γβα_字漢.bin", "βαγ_漢字.bin")


def greek_and_cjk_names(session):
    """With the manifest's UTF-8 code page, and Wine under a UTF-8 locale, the A functions take any
    name: an input and outputs named in Greek and CJK letters, made under exactly those names. The
    session mapped keys to the letters when it started."""
    plain_name, sealed_name, opened_name = GREEK_AND_CJK_NAMES
    plain = random.Random(5).randbytes(1003)
    session.write(plain_name, plain)
    for program, source, target in (("encrypt", plain_name, sealed_name), ("decrypt", sealed_name, opened_name)):
        with tempfile.NamedTemporaryFile(dir=session.args.state, prefix="relay-", suffix=".log") as trace:
            try:
                session.transform(program, session.path(source), session.path(target), stderr=trace,
                                  environment={"LC_ALL": "C.UTF-8", "WINEDEBUG": "+relay"})
            except Failure as failure:
                calls = relayed_calls(open(trace.name, errors="backslashreplace").read())
                raise Failure(f"{program}: {failure}; the program opened "
                              f"{[(call[2], call[3]) for call in calls if call[1] == 'CreateFileA']}")
    files = session.contents()
    expect(sorted(files) == sorted(GREEK_AND_CJK_NAMES), f"the folder holds {sorted(files)}")
    expect(files[plain_name] == plain, "encrypt changed its input")
    expect(files[sealed_name] == session.encrypted(plain), "encrypted bytes differ from OpenSSL's")
    expect(files[opened_name] == plain, "decrypting did not give back the input")


RELAY_LINE = re.compile(r"^(\w+):(Call|Ret)\s+KERNEL32\.(\w+)\((.*)\)(?: retval=(\w+))? ret=\w+$")


def relayed_calls(log):
    """The KERNEL32 calls in a +relay log: (thread, function, arguments, result), in order."""
    calls, pending = [], {}
    for line in log.splitlines():
        found = RELAY_LINE.match(line)
        if not found:
            continue
        thread, kind, function, arguments, result = found.groups()
        if kind == "Call":
            pending[thread, function] = len(calls)
            calls.append([thread, function, arguments, None])
        elif (thread, function) in pending:
            calls[pending.pop((thread, function))][3] = int(result, 16)
    return calls


def device_input(typed, opened_as):
    """A device as input (typed into the open dialog as it stands) is refused, as GetFileType says it
    is not a file on a disk, before its size is asked or anything read: no save dialog. The program's
    calls are read from Wine's relay log."""
    def case(session):
        before = session.contents()
        with tempfile.NamedTemporaryFile(dir=session.args.state, prefix="relay-", suffix=".log") as trace:
            def steps(process):
                session.answer_typed(session.wait_for_dialog(process, "Open"), typed.format(folder=session.folder.replace("/", "\\")))
                session.wait_for_end(process, save_dialog_allowed=False)
            session.run("encrypt", steps, environment={"WINEDEBUG": "+relay"}, stderr=trace)
            calls = relayed_calls(open(trace.name, errors="replace").read())
        expect(session.contents() == before, "files changed")
        opened = [index for index, (_, function, arguments, result) in enumerate(calls)
                  if function == "CreateFileA" and re.search(rf'"{opened_as}",c0000000,', arguments, re.IGNORECASE)]
        expect(len(opened) == 1, f"{len(opened)} calls of CreateFileA open the device, not 1: "
                                 f"{[call[2] for call in calls if call[1] == 'CreateFileA']}")
        thread, _, _, handle = calls[opened[0]]
        expect(handle not in (None, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF), "the device was not opened")
        asked = {function: result for thread_of, function, arguments, result in calls[opened[0] + 1:]
                 if thread_of == thread and arguments.split(",")[0] and int(arguments.split(",")[0], 16) == handle}
        expect(asked.get("GetFileType") not in (None, 1), f"GetFileType answered {asked.get('GetFileType')}")
        for function in ("GetFileSize", "ReadFile"):
            expect(function not in asked, f"the program called {function} on the device")
    return case


MIB = 1024 * 1024


def traced_by(pid, tracer):
    """Whether every thread of process pid is traced by process tracer."""
    try:
        for thread in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{thread}/status") as status:
                if f"TracerPid:\t{tracer}\n" not in status.read():
                    return False
    except OSError:
        return False
    return True


def killed_while_writing(syscall, number, written_before):
    """A program killed once its output has appeared, and before the output is complete, leaves
    nothing. strace makes the moment exact: it kills the program (SIGKILL) as it makes the given
    system call on the output (a file of 40 MiB + 5 bytes, written in pieces of 16 MiB), when
    written_before bytes are in the output. strace attaches while the Save As dialog is shown, so
    that Wine's start and the open dialog run untraced."""
    def case(session):
        plain = random.Random(number).randbytes(40 * MIB + 5)
        sealed_path = session.path("sealed.bin")
        session.write("plain.bin", plain)
        before = session.contents()
        with tempfile.NamedTemporaryFile(dir=session.args.state, prefix="strace-", suffix=".log") as trace:
            def steps(process):
                session.answer(session.wait_for_dialog(process, "Open"), session.path("plain.bin"))
                dialog = session.wait_for_dialog(process, "Save As")
                tracer = subprocess.Popen(
                    ["strace", "-f", "-qq", "-o", trace.name, "-p", str(process.pid), "-P", sealed_path,
                     "-e", "trace=write,pwrite64,fsync,fdatasync", "-e", f"inject={syscall}:signal=KILL:when={number}"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=session.log)
                try:
                    deadline = time.monotonic() + WAIT_SECONDS
                    while not traced_by(process.pid, tracer.pid):
                        expect(tracer.poll() is None, f"strace could not attach (code {tracer.returncode})")
                        expect(time.monotonic() < deadline, f"strace did not attach within {WAIT_SECONDS} s")
                        time.sleep(0.05)
                    session.answer(dialog, sealed_path)
                    try:
                        process.wait(timeout=WAIT_SECONDS)
                    except subprocess.TimeoutExpired:
                        raise Failure(f"the program did not end within {WAIT_SECONDS} s")
                    expect(process.returncode == -signal.SIGKILL,
                           f"the program was not killed at {syscall} {number}: it ended with {process.returncode}")
                finally:
                    if tracer.poll() is None:
                        tracer.terminate()
                    tracer.wait()
            session.run("encrypt", steps)
            log = open(trace.name, errors="replace").read()
        written = sum(int(done) for done in re.findall(r"\bp?write(?:64)?\(\d+, .*\) = (\d+)$", log, re.MULTILINE))
        expect(written == written_before, f"{written} bytes were in the output at the kill, not {written_before}")
        # The system deletes the marked file as the dead process's handles are closed.
        deadline = time.monotonic() + 10
        while os.path.exists(sealed_path) and time.monotonic() < deadline:
            time.sleep(0.1)
        after = session.contents()
        left = after.pop("sealed.bin", None)
        expect(left is None, f"{len(left or b'')} bytes of the killed program's output were left behind")
        expect(after == before, "the input or its neighbours changed")
    return case


def beyond_2_gib(length):
    """A file too large for a 32-bit program's address space: random bytes at its start and end,
    a sparse stretch of zeros between. The output's start and end are OpenSSL's encryption, every
    block between is OpenSSL's encryption of a zero block; the input keeps its bytes and its holes.
    Reading, encrypting and writing it takes minutes, not seconds: the waits are longer."""
    def case(session):
        free, needed = shutil.disk_usage(session.folder).free, length + 4096 * MIB  # the output, and room to spare
        if free < needed:
            raise Unavailable(f"a file of {length} bytes needs {needed // MIB} MiB free in {session.folder}; "
                              f"there are {free // MIB} MiB")
        edge = MIB + length % 8  # the tail starts on a block boundary; its last bytes are the unchanged rest
        head, tail = random.Random(length).randbytes(MIB), random.Random(length + 1).randbytes(edge)
        plain_path, sealed_path = session.path("plain.bin"), session.path("sealed.bin")
        with open(plain_path, "wb") as plain:
            plain.write(head)
            plain.seek(length - edge)
            plain.write(tail)
        allocated = os.stat(plain_path).st_blocks

        def steps(process):
            session.answer(session.wait_for_dialog(process, "Open"), plain_path)
            chosen = time.monotonic()
            session.answer(session.wait_for_dialog(process, "Save As", seconds=10 * WAIT_SECONDS), sealed_path)
            saved = time.monotonic()
            session.wait_for_end(process, seconds=10 * WAIT_SECONDS)
            print(f"{length} bytes: read and encrypted in {saved - chosen:.0f} s, written in "
                  f"{time.monotonic() - saved:.0f} s")
        session.run("encrypt", steps)

        expect(sorted(os.listdir(session.folder)) == ["plain.bin", "sealed.bin"], "other files appeared")
        with open(plain_path, "rb") as plain:
            expect(plain.read(MIB) == head and os.pread(plain.fileno(), edge, length - edge) == tail
                   and os.fstat(plain.fileno()).st_size == length and os.fstat(plain.fileno()).st_blocks == allocated,
                   "encrypt changed its input")
        zero_block = session.encrypted(bytes(8))
        with open(sealed_path, "rb") as sealed:
            expect(os.fstat(sealed.fileno()).st_size == length, f"encrypted length {os.fstat(sealed.fileno()).st_size}")
            expect(sealed.read(MIB) == session.encrypted(head), "the first MiB differs from OpenSSL's")
            chunk = 64 * MIB
            zeros_sealed = zero_block * (chunk // 8)
            for offset in range(MIB, length - edge, chunk):
                piece = sealed.read(min(chunk, length - edge - offset))
                expect(piece == zeros_sealed[:len(piece)],
                       f"the blocks of zeros from byte {offset} on are not OpenSSL's encryption of a zero block")
            expect(sealed.read() == session.encrypted(tail), "the last MiB differs from OpenSSL's")
    return case


CASES = {
    **{f"round_trip_{length}": round_trip(length) for length in (1, 7, 8, 17, 1003, 1024 * 1024 + 3)},
    "cancel_input": cancel_input,
    "empty_input": empty_input,
    "cancel_output": cancel_output,
    "existing_output": existing_output,
    "output_is_input": output_is_input,
    "input_held_open": input_held_open,
    "read_only_input": read_only_input,
    "write_fails": write_fails,
    "output_folder_without_write_access": output_folder_without_write_access,
    **{f"long_input_{length}": long_input(length) for length in (260, 263, 511, 600)},
    **{f"long_output_{length}": long_output(length) for length in (263, 511, 600)},
    "greek_and_cjk_names": greek_and_cjk_names,
    "device_input_nul": device_input("NUL", r"[A-Z]:\\\\(.*\\\\)?NUL"),
    "device_input_nul_in_a_folder": device_input("Z:{folder}\\NUL", r".*\\\\NUL"),
    "device_input_dev_zero": device_input(r"Z:\dev\zero", r"Z:\\\\dev\\\\zero"),
    "killed_at_second_write": killed_while_writing("write,pwrite64", 2, 16 * MIB),
    "killed_at_flush": killed_while_writing("fsync,fdatasync", 1, 40 * MIB + 5),
    "file_of_2_5_gib": beyond_2_gib(5 * 512 * MIB + 5),
}


def case(args):
    session = Session(args)
    try:
        CASES[args.name](session)
    finally:
        session.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "case", "stop"))
    parser.add_argument("name", nargs="?", choices=sorted(CASES))
    parser.add_argument("--state", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--key-file")
    for option in ("--encrypt", "--decrypt", "--holder", "--key"):
        parser.add_argument(option)
    args = parser.parse_args()
    try:
        unavailable = os.path.join(args.state, "unavailable")
        if args.action == "case" and os.path.exists(unavailable):
            with open(unavailable) as file:
                raise Unavailable(file.read().strip())
        {"start": start, "case": case, "stop": stop}[args.action](args)
    except Unavailable as reason:
        if os.environ.get("CI") == "true":
            print(f"{args.action} {args.name or ''}: {reason}; CI must run every case", file=sys.stderr)
            return 1
        print(f"SKIPPED: {reason}", file=sys.stderr)
        return SKIPPED
    except (Failure, subprocess.SubprocessError, OSError) as failure:
        print(f"{args.action} {args.name or ''}: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
