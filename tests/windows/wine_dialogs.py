#!/usr/bin/env python3
"""The Windows programs under Wine (wine64, or the 32-bit wine, natively or through qemu-i386) on a virtual display,
their real common dialogs driven with xdotool as a user would: the scenario table's cases, then
Wine's own. start makes the display and prefix in DIR that every case shares; stop ends them.

  wine_dialogs.py start|stop DIR WINE
  wine_dialogs.py CASE --state DIR --wine WINE --encrypt EXE --decrypt EXE --holder EXE (--key HEX | --key-file PATH)
"""
import argparse
import contextlib
import os
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import scenarios  # noqa: E402
from scenarios import HELD, MIB, WINE, WRITE_LIMIT, Case, Run, drive, expect_runs, sample  # noqa: E402
from support import (WAIT_SECONDS, Keyboard, Skipped, expect, expect_unchanged, key_of, snapshot,  # noqa: E402
                     start_xvfb, transform, wait_for)

RELAYED_CALLS = "KERNEL32.CreateFileA;KERNEL32.GetFileType;KERNEL32.GetFileSize;KERNEL32.ReadFile"
RELAY_LINE = re.compile(r"^(\w+):(Call|Ret)\s+KERNEL32\.(\w+)\((.*)\)(?: retval=(\w+))? ret=\w+$", re.MULTILINE)
GREEK_AND_CJK_NAMES = ("αβγ_漢字.bin", "γβα_字漢.bin", "βαγ_漢字.bin")  # input, encrypted, decrypted
# Root may write any file whatever its permissions, and so, under Wine, may a program: a read-only
# file would open for writing. Wine runs without that capability, like a user.
WITHOUT_OVERRIDE = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"] if os.geteuid() == 0 else []
QEMU_I386 = "/usr/bin/qemu-i386"
I386_ELF_MAGIC = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
I386_ELF_MASK = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"


def register_qemu_i386(binfmt="/proc/sys/fs/binfmt_misc"):
    """Hands i386 ELF programs to qemu-i386 (F: the kernel opens it once, at registration). An entry
    made before qemu-i386 was last installed runs the old one and is made again; a current one is
    kept, since other runs may be using it."""
    entry = os.path.join(binfmt, "qemu-i386")
    if not os.path.exists(QEMU_I386):
        raise Skipped(f"{QEMU_I386} is missing (Debian qemu-user-static from bookworm-backports)")
    try:
        if not os.path.exists(os.path.join(binfmt, "register")):
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", binfmt], check=True, capture_output=True)
        if os.path.exists(entry):
            lines = open(entry).read().splitlines()
            if ("enabled" in lines and f"interpreter {QEMU_I386}" in lines and "flags: F" in lines
                    and os.stat(entry).st_mtime >= os.stat(QEMU_I386).st_ctime):
                return
            with open(entry, "w") as file:
                file.write("-1")
        with open(os.path.join(binfmt, "register"), "w") as file:
            file.write(f":qemu-i386:M::{I386_ELF_MAGIC}:{I386_ELF_MASK}:{QEMU_I386}:F")
    except (OSError, subprocess.SubprocessError) as error:
        raise Skipped(f"cannot register {QEMU_I386} for i386 programs with binfmt_misc: {error}")


def i386_programs_run():
    """Whether the kernel runs i386 Linux programs, itself (some processors and kernels do) or
    through an entry made before: tried with a tiny static one that ends with code 42 (an ELF header,
    one loaded segment, and exit(42) through int 0x80)."""
    base, code = 0x08048000, bytes.fromhex("b801000000" "bb2a000000" "cd80")
    size = 52 + 32 + len(code)
    header = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, "exit42")
        with open(program, "wb") as file:
            file.write(header + segment + code)
        os.chmod(program, 0o755)
        with contextlib.suppress(OSError):
            return subprocess.run([program], capture_output=True, timeout=WAIT_SECONDS).returncode == 42
    return False


def prepare_i386(binfmt="/proc/sys/fs/binfmt_misc"):
    """32-bit Wine's own programs are i386 Linux programs. Root keeps an entry made before current;
    where the kernel runs them itself, no qemu-i386 is needed, and no root; where it does not, root
    hands them to qemu-i386, and without root the cases are skipped."""
    if os.geteuid() == 0 and os.path.exists(os.path.join(binfmt, "qemu-i386")):
        return register_qemu_i386(binfmt)
    if i386_programs_run():
        return
    if os.geteuid() != 0:
        raise Skipped("this kernel does not run i386 programs itself, and only root can hand them to "
                      f"{QEMU_I386} (binfmt_misc): run the tests as root for the 32-bit Wine cases")
    register_qemu_i386(binfmt)


def wine_environment(args):
    with open(os.path.join(args.state, "display")) as display:  # ":N PID" of the session's Xvfb
        return {**os.environ, "DISPLAY": display.read().split()[0], "WINEPREFIX": os.path.join(args.state, "prefix"),
                "WINEDEBUG": "-all,err+all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
                **({"WINEARCH": "win32"} if os.path.basename(args.wine) == "wine" else {})}


def start(args):
    stop(args)
    os.makedirs(args.state)
    log = open(os.path.join(args.state, "session.log"), "w")
    if os.path.basename(args.wine) == "wine":
        prepare_i386()
    # Keys for the letters of other scripts the cases type, in the map every Wine process reads.
    xvfb, keyboard = start_xvfb("".join(GREEK_AND_CJK_NAMES), log)
    with open(os.path.join(args.state, "display"), "w") as file:
        file.write(f"{keyboard.environment['DISPLAY']} {xvfb.pid}\n")
    environment = wine_environment(args)
    os.makedirs(environment["WINEPREFIX"])  # the server wants the prefix before wineboot makes it
    # A persistent server keeps the prefix warm until stop. Without a window manager, Wine waits 2 s
    # for each closing dialog to be withdrawn unless its windows are unmanaged. A program that
    # crashes ends at once, instead of behind Wine's crash dialog until the case times out. Under
    # WINEDEBUG=+relay a program logs only the calls that show how it treats its input.
    commands = [[os.path.join(os.path.dirname(args.wine), "wineserver"), "-p"], [args.wine, "wineboot", "-i"]]
    for key, value, kind, data in ((r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
                                   (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
                                   (r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", RELAYED_CALLS)):
        commands.append([args.wine, "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"])
    for command in commands:
        subprocess.run(WITHOUT_OVERRIDE + command, env=environment, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       check=True, timeout=5 * WAIT_SECONDS)


def stop(args):
    # The server writes the registry into the prefix as it ends: wait for it before removing.
    if os.path.exists(os.path.join(args.state, "display")):
        for option in ("-k", "-w"):
            subprocess.run([os.path.join(os.path.dirname(args.wine), "wineserver"), option], capture_output=True,
                           env=wine_environment(args), stdin=subprocess.DEVNULL, timeout=WAIT_SECONDS)
        with contextlib.suppress(OSError), open(os.path.join(args.state, "display")) as display:
            os.kill(int(display.read().split()[1]), signal.SIGTERM)
    shutil.rmtree(args.state, ignore_errors=True)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Wine:
    programs = ("encrypt",)
    skips_fail_in_ci = True

    def __init__(self, args):
        if not os.path.exists(os.path.join(args.state, "display")):  # start was skipped: it says why
            raise Skipped("there is no Wine session: see wine_session_start")
        self.args, self.key, self.patience = args, key_of(args), WAIT_SECONDS
        self.environment = wine_environment(args)
        self.keyboard = Keyboard(self.environment["DISPLAY"])
        self.log = open(os.path.join(args.state, "session.log"), "a")
        self.log_start = self.log.tell()
        self.folder = tempfile.mkdtemp(prefix="bf", dir="/tmp")
        # Devices typed into the open dialog as they stand, and how CreateFileA must be given them.
        self.device_names = {"NUL": r"[A-Z]:\\\\(.*\\\\)?NUL", windows_path(self.folder) + "\\NUL": r".*\\\\NUL",
                             r"Z:\dev\zero": r"Z:\\\\dev\\\\zero"}
        self.devices = tuple(self.device_names)

    def clear(self):
        shutil.rmtree(self.folder)
        os.mkdir(self.folder)

    def close(self):
        shutil.rmtree(self.folder)
        self.log.close()

    def printed(self):  # what Wine and the programs wrote to the session's log during this case
        with open(self.log.name, errors="replace") as log:
            log.seek(self.log_start)
            return log.read()[-4000:]

    @contextlib.contextmanager
    def obstacle(self, kind, path):
        """HELD: hold_file.exe has the input open with no sharing."""
        if kind != HELD:
            yield
            return
        holder = self.launch(self.args.holder, windows_path(path), stdout=subprocess.PIPE)
        try:
            ready = select.select([holder.stdout], [], [], WAIT_SECONDS)[0]
            expect(ready and holder.stdout.readline().strip() == b"held", "the helper could not hold the file")
            yield
        finally:
            holder.kill()
            holder.wait()

    def launch(self, *command, environment={}, stderr=None, **options):
        return subprocess.Popen([*WITHOUT_OVERRIDE, self.args.wine, *command], env={**self.environment, **environment},
                                stderr=stderr or self.log, **options)

    def next_dialog(self, process, previous, index):
        title = ("Open", "Save As", None)[index]
        found = title and wait_for(lambda: process.poll() is not None or self.keyboard.windows(name=f"^{title}$"),
                                   self.patience)
        return found[0] if isinstance(found, list) else None

    def choose(self, dialog, text):
        self.keyboard.xdotool("windowfocus", "--sync", dialog)
        self.keyboard.type(dialog, windows_path(text) if text.startswith("/") else text)
        self.keyboard.press_until(dialog, "Return", lambda: not self.keyboard.shown(dialog))

    def cancel(self, dialog):
        closed = self.keyboard.press_until(dialog, "Escape", lambda: not self.keyboard.shown(dialog))
        expect(closed, "the dialog stayed open after Escape was pressed three times")

    def run(self, program, answers, obstacle=None, before_save=None, environment={}, must_end=True):
        """Runs program answering its dialogs. A device as input is run under Wine's relay log, which
        must show it refused once GetFileType says it is not a file on a disk."""
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))
        device = answers[0] in self.device_names
        trace = tempfile.NamedTemporaryFile(dir=self.args.state, prefix="relay-", suffix=".log")
        process = self.launch(getattr(self.args, program), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              environment={**environment, **({"WINEDEBUG": "+relay"} if device else {})},
                              stderr=trace if device else self.log, restore_signals=obstacle != WRITE_LIMIT,
                              preexec_fn=limit_file_size if obstacle == WRITE_LIMIT else None)
        shown, code = drive(self, process, answers,
                            lambda kind, _: kind == "save" and before_save and before_save(process), must_end)
        if device:
            self.expect_device_refused(answers[0], open(trace.name, errors="backslashreplace").read())
        return shown, code if must_end else 0  # where Wine itself may break, how the program ends is not checked

    def expect_device_refused(self, typed, log):
        """The relay log must show the device opened once, and on its handle GetFileType answering
        other than 1 (a file on a disk), and neither GetFileSize nor ReadFile called."""
        calls, pending = [], {}  # [thread, function, arguments, result], in order; a Ret gives the result
        for thread, kind, function, arguments, result in RELAY_LINE.findall(log):
            if kind == "Call":
                pending[thread, function] = len(calls)
                calls.append([thread, function, arguments, None])
            elif (thread, function) in pending:
                calls[pending.pop((thread, function))][3] = int(result, 16)
        opened = [index for index, (_, function, arguments, _) in enumerate(calls) if function == "CreateFileA"
                  and re.search(rf'"{self.device_names[typed]}",c0000000,', arguments, re.IGNORECASE)]
        expect(len(opened) == 1, f"{len(opened)} calls of CreateFileA open {typed}, not 1: "
                                 f"{[call[2] for call in calls if call[1] == 'CreateFileA']}")
        thread, _, _, handle = calls[opened[0]]
        expect(handle not in (None, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF), f"{typed} was not opened")
        asked = {function: result for thread_of, function, arguments, result in calls[opened[0] + 1:]
                 if thread_of == thread and arguments.split(",")[0] and int(arguments.split(",")[0], 16) == handle}
        expect(asked.get("GetFileType") not in (None, 1), f"GetFileType answered {asked.get('GetFileType')}")
        for function in ("GetFileSize", "ReadFile"):
            expect(function not in asked, f"the program called {function} on {typed}")


# A path of N characters (Z:\... included) typed into Wine 8.0's dialogs: up to 260 it is used; from
# 261 to 263 CreateFileA refuses it; from 264 on the dialog overruns a stack buffer of MAX_PATH: a
# fault ends the program through its filter (code 0), or the dialog stays open (the user cancels).
# From about 570 on Wine itself breaks too (SIGSEGV, or a hang): only the dialogs shown and the files
# are checked. No file is ever created or changed.
DIALOG_OVERRUN_BREAKS_WINE = 570


def long_path_case(length, in_output):
    """A path of length characters (folders of at most 200) typed as the input or the output name."""
    def case(wine):
        name = "sealed.bin" if in_output else "plain.bin"
        folder, room = wine.folder, length - len("Z:") - len(wine.folder) - len("/" + name)
        while room > 1:
            folder = os.path.join(folder, chr(ord("a") + len(folder) % 26) * min(200, room - 1))
            room -= min(200, room - 1) + 1
        long_name = os.path.relpath(os.path.join(folder, "_" * room + name), wine.folder)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(wine.folder, "plain.bin" if in_output else long_name), "wb") as file:
            file.write(b"the input, two blocks and a bit")
        run = Run("encrypt", "plain.bin", long_name) if in_output else Run("encrypt", long_name)
        if length <= 260:
            return expect_runs(wine, [Run("encrypt", long_name, "sealed.bin")], {"sealed.bin": ("encrypt", long_name)})
        choose, breaks_wine = wine.choose, length >= DIALOG_OVERRUN_BREAKS_WINE

        def choose_and_cancel(dialog, path):
            choose(dialog, path)
            if path.endswith(long_name) and breaks_wine:  # the program may never end, nor show another dialog
                wine.patience = 10
            elif path.endswith(long_name) and length > 263 and wine.keyboard.shown(dialog):
                wine.cancel(dialog)
        wine.choose = choose_and_cancel
        expect_runs(wine, [run], must_end=not breaks_wine)
    return case


def traced_by(pid, tracer):  # every thread of pid
    with contextlib.suppress(OSError):
        return all(f"TracerPid:\t{tracer}\n" in open(f"/proc/{pid}/task/{thread}/status").read()
                   for thread in os.listdir(f"/proc/{pid}/task"))
    return False


def killed_while_writing(syscall, number, written_before):
    """A program killed (SIGKILL, by strace) at the given system call on its output of 40 MiB + 5
    bytes, with written_before bytes in it, leaves nothing. strace attaches while the Save As
    dialog is shown, so that Wine's start and the open dialog run untraced."""
    def case(wine):
        with open(os.path.join(wine.folder, "plain.bin"), "wb") as file:
            file.write(sample("plain.bin", 40 * MIB + 5))
        sealed = os.path.join(wine.folder, "sealed.bin")
        before = snapshot(wine.folder)
        trace = tempfile.NamedTemporaryFile(dir=wine.args.state, prefix="strace-", suffix=".log")
        tracers = []

        def attach(process):  # strace ends with the program
            tracers.append(subprocess.Popen(
                ["strace", "-f", "-qq", "-o", trace.name, "-p", str(process.pid), "-P", sealed,
                 "-e", "trace=write,pwrite64,fsync,fdatasync", "-e", f"inject={syscall}:signal=KILL:when={number}"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=wine.log))
            expect(wait_for(lambda: tracers[0].poll() is not None or traced_by(process.pid, tracers[0].pid), 60, 0.05)
                   and tracers[0].poll() is None, f"strace could not attach (code {tracers[0].returncode})")
        shown, code = wine.run("encrypt", [os.path.join(wine.folder, "plain.bin"), sealed], before_save=attach)
        for tracer in tracers:
            tracer.wait(timeout=WAIT_SECONDS)
        expect(code == -signal.SIGKILL, f"the program was not killed at {syscall} {number}: code {code}")
        log = open(trace.name, errors="replace").read()
        written = sum(int(done) for done in re.findall(r"\bp?write(?:64)?\(\d+, .*\) = (\d+)$", log, re.MULTILINE))
        expect(written == written_before, f"{written} bytes were in the output at the kill, not {written_before}")
        wait_for(lambda: not os.path.exists(sealed), 10)  # deleted as the dead process's handles are closed
        expect_unchanged(before, snapshot(wine.folder))
    return case


def beyond_2_gib(length):
    """A file too large for a 32-bit program, random in its first and last MiB and sparse zeros
    between: every block of the output is OpenSSL's; the input keeps its bytes and its holes."""
    def case(wine):
        free, needed = shutil.disk_usage(wine.folder).free, length + 4096 * MIB  # the output, and room to spare
        if free < needed:
            raise Skipped(f"a file of {length} bytes needs {needed // MIB} MiB free in {wine.folder}; "
                          f"there are {free // MIB} MiB")
        edge = MIB + length % 8  # the tail starts on a block boundary; its last bytes are the unchanged rest
        head, tail = sample("head", MIB), sample("tail", edge)
        plain_path, sealed_path = os.path.join(wine.folder, "plain.bin"), os.path.join(wine.folder, "sealed.bin")
        with open(plain_path, "wb") as plain:
            plain.write(head)
            plain.seek(length - edge)
            plain.write(tail)
        allocated = os.stat(plain_path).st_blocks
        wine.patience = 10 * WAIT_SECONDS
        expect_runs(wine, [Run("encrypt", "plain.bin", "sealed.bin")], {"sealed.bin": ("encrypt", "plain.bin")})
        zeros_sealed = transform("encrypt", wine.key, bytes(64 * MIB))
        with open(plain_path, "rb") as plain, open(sealed_path, "rb") as sealed:
            expect((plain.read(MIB), os.pread(plain.fileno(), edge, length - edge),
                    os.fstat(plain.fileno()).st_blocks) == (head, tail, allocated), "encrypt changed its input")
            expect(sealed.read(MIB) == transform("encrypt", wine.key, head), "the first MiB differs from OpenSSL's")
            for offset in range(MIB, length - edge, len(zeros_sealed)):
                piece = sealed.read(min(len(zeros_sealed), length - edge - offset))
                expect(piece == zeros_sealed[:len(piece)],
                       f"the blocks of zeros from byte {offset} on are not OpenSSL's encryption of a zero block")
            expect(sealed.read() == transform("encrypt", wine.key, tail), "the last MiB differs from OpenSSL's")
    return case


ONLY_WINE = {
    **{f"long_input_{length}": long_path_case(length, False) for length in (260, 263, 511, 600)},
    **{f"long_output_{length}": long_path_case(length, True) for length in (263, 511, 600)},
    # With the manifest's UTF-8 code page, and Wine under a UTF-8 locale, the A functions take any
    # name: an input and outputs named in Greek and CJK letters, made under exactly those names.
    "greek_and_cjk_names": Case("greek_and_cjk_names", (Run("encrypt", *GREEK_AND_CJK_NAMES[:2]),
                                                        Run("decrypt", *GREEK_AND_CJK_NAMES[1:])),
                                files={GREEK_AND_CJK_NAMES[0]: 1003}, options={"environment": {"LC_ALL": "C.UTF-8"}},
                                created={GREEK_AND_CJK_NAMES[1]: ("encrypt", GREEK_AND_CJK_NAMES[0]),
                                         GREEK_AND_CJK_NAMES[2]: ("decrypt", GREEK_AND_CJK_NAMES[1])}),
    "killed_at_second_write": killed_while_writing("write,pwrite64", 2, 16 * MIB),
    "killed_at_flush": killed_while_writing("fsync,fdatasync", 1, 40 * MIB + 5),
}


def main():
    if sys.argv[1:2] not in (["start"], ["stop"]):
        # file_of_2_5_gib is registered on its own: it runs the x86-64 programs as the release zip holds them.
        return scenarios.main(WINE, ONLY_WINE, Wine, ("--state", "--wine", "--holder"),
                              {"file_of_2_5_gib": beyond_2_gib(5 * 512 * MIB + 5)})
    command, args = sys.argv[1], argparse.Namespace(state=sys.argv[2], wine=sys.argv[3])
    try:
        (start if command == "start" else stop)(args)
    except Skipped as reason:
        return scenarios.skipped(command, reason, Wine.skips_fail_in_ci)
    return 0


if __name__ == "__main__":
    sys.exit(main())
