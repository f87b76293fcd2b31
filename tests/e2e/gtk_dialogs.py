#!/usr/bin/env python3
"""The real Linux programs, their GTK file choosers driven on a private Xvfb display with xdotool,
each typed path read back from the dialog (xclip) before it is accepted: the table's cases, then
GTK's own.  gtk_dialogs.py CASE --encrypt EXE --decrypt EXE (--key HEX | --key-file PATH), or --list"""
import contextlib
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

import scenarios
from scenarios import GTK, HELD, LOCKED_FOLDER, MIB, WRITE_LIMIT, Case, Run, drive, expect_runs
from support import (Failure, Skipped, as_root, check_transformed, expect, key_of, remove_tree, start_xvfb, transform,
                     wait_for)

NAMES = ("with  two spaces.bin", "ñandú über.bin", "-leading-dash.bin")
LINKS, AS_NOBODY, A_FOLDER = "links", "as nobody", "a folder"  # GTK's own obstacles


class Gtk:
    programs = ("encrypt",)
    patience = 20

    def __init__(self, args):
        self.args, self.key = args, key_of(args)
        self.root = tempfile.mkdtemp(prefix="gtk-e2e-")
        self.folder = os.path.join(self.root, "cases")
        self.nobody = None  # made for the first run as nobody
        os.chmod(self.root, 0o755)
        # The build folder is its owner's alone: nobody runs copies of the programs.
        self.copies = os.path.join(self.root, "programs")
        os.mkdir(self.copies, 0o755)
        for program in ("encrypt", "decrypt"):
            shutil.copy(getattr(args, program), os.path.join(self.copies, program))
        os.mkfifo(os.path.join(self.root, "fifo"))
        self.devices = (os.path.join(self.root, "fifo"), "/dev/zero", "/proc/version")  # /proc: size 0
        self.clear()
        self.xvfb, self.keyboard = start_xvfb("".join(NAMES))

    def clear(self):
        remove_tree(self.folder)
        os.mkdir(self.folder, 0o755)

    def close(self):
        self.xvfb.kill()
        self.xvfb.wait()
        remove_tree(self.root)

    def as_nobody(self, program):
        """The command that runs program (its copy) as the user nobody, with a home of its own:
        through setpriv, as root or as root of a user namespace."""
        if not self.nobody:
            home = os.path.join(self.root, "nobody-home")
            os.mkdir(home)
            subprocess.run([*as_root(), "chown", "nobody:nogroup", home], check=True)
            self.nobody = [*as_root(), "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "env",
                           f"HOME={home}"]
        return [*self.nobody, os.path.join(self.copies, program)]

    @contextlib.contextmanager
    def obstacle(self, kind, path, how="locked"):
        """HELD: another process has locked the input (flock), or holds it open for writing (as a
        download in progress) or only for reading. AS_NOBODY, and LOCKED_FOLDER when run as root
        (root may write any folder): the run is made by the user nobody, owner of what it must own.
        Any other user is kept out of its own locked folder by its mode alone."""
        holder, folder = None, os.path.dirname(path)
        if kind == LOCKED_FOLDER and os.geteuid() == 0:
            for owned in (path, os.path.join(folder, "locked")):
                shutil.chown(owned, "nobody", "nogroup")
        if kind == A_FOLDER:
            os.mkdir(os.path.join(folder, "folder"))
        if kind == LINKS:
            os.symlink("plain.bin", os.path.join(folder, "link-to-plain"))
            os.symlink("nowhere.bin", os.path.join(folder, "dangling"))
        if kind == AS_NOBODY:
            os.mkdir(os.path.join(folder, "writable"))
            for owner, *names in (("nobody", "writable", "nobodys.bin"), ("root", "group-writable.bin")):
                subprocess.run([*as_root(), "chown", f"{owner}:nogroup", *(os.path.join(folder, n) for n in names)],
                               check=True)
            os.chmod(os.path.join(folder, "group-writable.bin"), 0o660)
        if kind == HELD:
            hold = {"locked": 'exec 8<>"$0" && flock --exclusive 8 && exec sleep 300',
                    "writing": 'exec sleep 300 >>"$0"', "reading": 'exec sleep 300 <"$0"'}[how]
            holder = subprocess.Popen(["bash", "-c", hold, path])
            expect(wait_for(lambda: holds_open(holder.pid, path), self.patience), "the holder did not open the file")
            if how == "locked":
                expect(wait_for(lambda: subprocess.run(["flock", "--nonblock", path, "true"]).returncode != 0,
                                self.patience), "the holder did not lock the file")
        try:
            yield
        finally:
            if holder:
                holder.kill()
                holder.wait()

    def run(self, program, answers, obstacle=None, streams_closed=False, lose_display=False, environment=None):
        """Runs program answering its dialogs; it may print nothing. lose_display: the X server is
        killed once the last dialog answered is up. environment: variables added to the program's."""
        def limits():
            if obstacle == WRITE_LIMIT:
                resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))
            if streams_closed:
                os.closerange(1, 3)

        def at_dialog(kind, window):
            for fd in (1, 2) if streams_closed and kind == "open" else ():
                target = os.readlink(f"/proc/{self.process.pid}/fd/{fd}")
                expect(target == "/dev/null", f"with standard streams closed, descriptor {fd} is {target}")
            if lose_display and kind == ("open", "save")[len(answers) - 1]:
                self.xvfb.kill()
                self.xvfb.wait()
                self.xvfb, self.keyboard = start_xvfb("".join(NAMES))
                return True
        by_nobody = obstacle == AS_NOBODY or (obstacle == LOCKED_FOLDER and os.geteuid() == 0)
        command = self.as_nobody(program) if by_nobody else [getattr(self.args, program)]
        printed = tempfile.TemporaryFile()
        environment = {**self.keyboard.environment, "NO_AT_BRIDGE": "1", "GDK_BACKEND": "x11", "GTK_USE_PORTAL": "0",
                       **(environment or {})}
        self.process = subprocess.Popen(command, env=environment,
                                        stdin=subprocess.DEVNULL, stdout=printed, stderr=printed, preexec_fn=limits)
        shown, code = drive(self, self.process, answers, at_dialog)
        expect(not os.pread(printed.fileno(), 1, 0), f"{program} printed: {os.pread(printed.fileno(), 300, 0)!r}")
        return shown, code

    def next_dialog(self, process, previous, index):
        """The program's named window other than previous (completion pop-ups have no name)."""
        windows = wait_for(lambda: process.poll() is not None or
                           [w for w in self.keyboard.windows(process.pid) if w != previous], self.patience)
        expect(windows, f"no dialog and no end within {self.patience} s")
        return None if windows is True else windows[0]

    def type_path(self, window, path):
        """Types path into the dialog's field until the field holds exactly it. The open dialog's
        location field opens on a first '/' and takes keys only once it is there; the field
        completes names inline as they are typed, and a completion left over is taken off."""
        keyboard = self.keyboard
        keyboard.xdotool("windowfocus", "--sync", window)
        keyboard.xdotool("type", "--window", window, "/")
        expect(wait_for(lambda: keyboard.field_holds(window, "/"), self.patience), "the field did not take a '/'")
        keyboard.xdotool("key", "--window", window, "End")
        keyboard.type(window, path[1:], delay=30)
        keyboard.xdotool("key", "--window", window, "Delete")

        def holds():
            if keyboard.field_holds(window, path):
                return True
            text = keyboard.selection() or ""
            if text.startswith(path) and len(text) > len(path):
                keyboard.xdotool("key", "--window", window, "End")
                keyboard.xdotool("key", "--window", window, "--repeat", len(text) - len(path), "BackSpace")
        expect(wait_for(holds, self.patience), f"the field holds {keyboard.selection()!r}, not {path!r}")

    def press(self, window, key, done):
        return self.keyboard.press_until(window, key, done, seconds=self.patience / 3, targeted=False)

    def choose(self, window, path):
        """Types path and presses Return. Given a folder the dialog opens it rather than choosing it:
        its field empties, so the path is no longer the selection; the user then cancels."""
        self.type_path(window, path)
        shown, windows = self.keyboard.shown, lambda: set(self.keyboard.windows(self.process.pid, name=""))
        if not os.path.isdir(path):
            others = windows() - {window}

            def taken():  # with no question asked, such as whether to replace a file
                asked = windows() - others - {window}
                expect(not asked or not shown(window), f"the dialog asked something about {path}")
                return not shown(window)
            return expect(self.press(window, "Return", taken), f"the dialog did not take {path}")

        def opened():  # the field emptied, or the dialog gone
            return not shown(window) or self.keyboard.selection() not in (path, None)
        expect(self.press(window, "Return", opened), f"the dialog did nothing with {path}")
        expect(shown(window), f"the dialog accepted the folder {path}")
        self.cancel(window)

    def cancel(self, window):
        expect(self.press(window, "Escape", lambda: not self.keyboard.shown(window)), "the dialog stayed after Escape")


def holds_open(pid, path):
    with contextlib.suppress(OSError):
        return any(os.readlink(f"/proc/{pid}/fd/{fd}") == path for fd in os.listdir(f"/proc/{pid}/fd"))
    return False


def input_in_use(gtk):
    """An input open in another process (for writing, or reading) is processed once it is closed."""
    with open(path := os.path.join(gtk.folder, "plain.bin"), "wb") as file:
        file.write(os.urandom(5003))
    for how in ("writing", "reading"):
        with gtk.obstacle(HELD, path, how):
            expect_runs(gtk, [Run("encrypt", "plain.bin")])
    expect_runs(gtk, [Run("encrypt", "plain.bin", "sealed.bin")], {"sealed.bin": ("encrypt", "plain.bin")})


def paused_run(gtk, path, other=None, **environment):
    """One encrypt of path to sealed.bin, its read of path paused PAUSE_SECONDS (4 s) by the
    preloaded pause_reads; other(process) is called once the run holds its input. Returns the
    dialogs shown."""
    choose = gtk.choose

    def choose_and_meet(window, answer):
        choose(window, answer)
        process = gtk.process
        if answer == path and other:
            expect(wait_for(lambda: holds_open(process.pid, path) or process.poll() is not None, gtk.patience, 0.01)
                   and holds_open(process.pid, path), "never saw the run holding its input")
            other(process)
    gtk.choose = choose_and_meet
    try:
        sealed = os.path.join(gtk.folder, "sealed.bin")
        shown, code = gtk.run("encrypt", [path, sealed],
                              environment={"LD_PRELOAD": gtk.args.preload, "PAUSE_READ_OF": path, **environment})
    finally:
        gtk.choose = choose
    expect(code == 0, f"encrypt ended with code {code}")
    return tuple(shown)


def opened_while_read(gtk):
    """Another process opens the input while the run's read is paused, for reading, then for
    writing (it changes 8 bytes): a non-blocking open fails at once (the run's lease); a blocking
    one waits until the run has read the input whole and closed it, then finds it as it was. The run
    writes OpenSSL's encryption of the input as it was before that open."""
    path, original = os.path.join(gtk.folder, "plain.bin"), os.urandom(5003)
    for flags, changed in ((os.O_RDONLY, original), (os.O_RDWR, b"B" * 8 + original[8:])):
        with open(path, "wb") as file:
            file.write(original)

        def open_meanwhile(process):
            with contextlib.suppress(BlockingIOError):
                os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
                raise Failure("a non-blocking open succeeded while the run held its input")
            other = os.open(path, flags)  # waits for the run's close
            try:
                expect(not holds_open(process.pid, path), "another open went through while the run held its input")
                expect(os.pread(other, len(original) + 1, 0) == original, "the other process found the input changed")
                if flags == os.O_RDWR:
                    os.pwrite(other, changed[:8], 0)
            finally:
                os.close(other)
        expect(paused_run(gtk, path, open_meanwhile) == ("open", "save"), "the run did not show the save dialog")
        with open(path, "rb") as plain, open(os.path.join(gtk.folder, "sealed.bin"), "rb") as sealed:
            expect(plain.read() == changed, "the other process's change is not in the input")
            expect(sealed.read() == transform("encrypt", gtk.key, original),
                   "the output is not OpenSSL's encryption of the input as it was")
        gtk.clear()


def break_deadline_passed(gtk):
    """With lease-break-time at 2 s and the run's read paused 6 s, another process's open for
    writing goes through while the run still holds the input: the run writes nothing."""
    setting = "/proc/sys/fs/lease-break-time"
    if not os.access(setting, os.W_OK):
        raise Skipped(f"{setting} can be changed only by root")
    path = os.path.join(gtk.folder, "plain.bin")
    with open(path, "wb") as file:
        file.write(os.urandom(5003))
    with open(setting) as file:
        kept = file.read()

    def write_meanwhile(process):
        other = os.open(path, os.O_RDWR)
        os.pwrite(other, b"B" * 8, 0)
        os.close(other)
        expect(holds_open(process.pid, path), "the run no longer held its input when the other open went through")
    try:
        with open(setting, "w") as file:
            file.write("2")
        shown = paused_run(gtk, path, write_meanwhile, PAUSE_SECONDS="6")
    finally:
        with open(setting, "w") as file:
            file.write(kept)
    expect(shown == ("open",), f"the run showed {shown}, not only the open dialog")
    expect(not os.path.exists(os.path.join(gtk.folder, "sealed.bin")), "the run wrote an output")


def chooser_reads_during_the_run(gtk):
    """The open dialog's own worker threads read a file in the recent list to guess its type; held
    by the preloaded pause_reads until the run's read of that file (paused) has begun, their opens
    wait for the run, which completes."""
    home = os.path.join(gtk.root, "home")
    os.makedirs(home, exist_ok=True)
    path, log = os.path.join(gtk.folder, "recent-input"), os.path.join(gtk.root, "held.log")
    with open(path, "wb") as file:
        file.write(os.urandom(5003))
    environment = {"HOME": home, "XDG_DATA_HOME": os.path.join(home, "data")}
    shown, code = gtk.run("encrypt", [path, os.path.join(gtk.folder, "first.bin")], environment=environment)
    expect((tuple(shown), code) == (("open", "save"), 0), f"the first run showed {shown} and ended with {code}")
    shown = paused_run(gtk, path, None, HOLD_OPENS_OF=path, HOLD_LOG=log, PAUSE_SECONDS="2", **environment)
    held = []
    with contextlib.suppress(FileNotFoundError), open(log) as file:
        held = file.read().split()
    expect("held" in held, f"the chooser did not open the input during the run's read (its opens: {held})")
    expect(shown == ("open", "save"), f"the run showed {shown}, not both dialogs")
    check_transformed("encrypt", gtk.key, path, os.path.join(gtk.folder, "sealed.bin"))


def no_display(gtk):
    """With no display the chooser cannot open: each program ends at once, silently, with code 0."""
    environment = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    for program in ("encrypt", "decrypt"):
        done = subprocess.run([getattr(gtk.args, program)], env=environment, cwd=gtk.folder, capture_output=True,
                              timeout=20)
        expect((done.returncode, done.stdout + done.stderr) == (0, b""),
               f"{program} without a display: code {done.returncode}, printed {done.stdout + done.stderr!r}")


def large_files(gtk):
    """A sparse file of 4 GiB ends after the size check; one of 4 GiB - 1 byte is processed whole."""
    free = shutil.disk_usage(gtk.folder).free
    if free < 10 << 30:
        raise Skipped(f"the 4 GiB cases need 10 GiB free in {gtk.folder}; there are {free >> 20} MiB")
    gtk.patience = 180
    with open(os.path.join(gtk.folder, "four-gib.bin"), "wb") as file:
        file.truncate(1 << 32)
    expect_runs(gtk, [Run("encrypt", "four-gib.bin")])
    os.remove(os.path.join(gtk.folder, "four-gib.bin"))
    with open(os.path.join(gtk.folder, "largest.bin"), "wb") as file:
        file.truncate((1 << 32) - 1)
        for at in (0, (1 << 30) - 4096, (2 << 30) - 4101, (3 << 30) - 4096, (1 << 32) - 1 - 8192):
            file.seek(at)
            file.write(os.urandom(8192))
    expect_runs(gtk, [Run("encrypt", "largest.bin", "largest.out")], {"largest.out": ("encrypt", "largest.bin")})


ONLY_GTK = {
    **{function.__name__: function for function in (input_in_use, opened_while_read, break_deadline_passed,
                                                             chooser_reads_during_the_run, no_display, large_files)},
    **{f"folder_as_{end}": Case(f"folder_as_{end}", (run,), obstacle=A_FOLDER)
       for end, run in (("input", Run("encrypt", "folder")), ("output", Run("encrypt", "plain.bin", "folder")))},
    # A link to a regular file is processed as its target; a dangling link as the output is neither
    # followed nor replaced; names with two spaces, non-ASCII letters and a leading dash are taken.
    "links_and_names": Case("links_and_names", (Run("encrypt", "link-to-plain", "from-link.bin"),
                                                Run("encrypt", "plain.bin", "dangling"),
                                                *(Run("encrypt", name, name + ".out") for name in NAMES)),
                            files=dict.fromkeys(("plain.bin", *NAMES), 5003), obstacle=LINKS,
                            created={"from-link.bin": ("encrypt", "plain.bin"),
                                     **{name + ".out": ("encrypt", name) for name in NAMES}}),
    # nobody gets the whole output in a folder it may write, from its own file and from root's that
    # it may write through its group: the kernel grants no lease to a user who neither owns the file
    # nor has CAP_LEASE, so the run holds it by flock alone.
    "written_as_nobody": Case("written_as_nobody", (Run("encrypt", "nobodys.bin", "writable/out.bin"),
                                                    Run("encrypt", "group-writable.bin", "writable/from-group.bin")),
                              files=dict.fromkeys(("nobodys.bin", "group-writable.bin"), 5003), obstacle=AS_NOBODY,
                              created={"writable/out.bin": ("encrypt", "nobodys.bin"),
                                       "writable/from-group.bin": ("encrypt", "group-writable.bin")}),
    # Started with standard output and error closed: it finds both on /dev/null, and works.
    "closed_standard_streams": Case("closed_standard_streams", (Run("encrypt", "plain.bin", "s.bin"),),
                                    created={"s.bin": ("encrypt", "plain.bin")}, options={"streams_closed": True}),
    # The X server killed while the open dialog is up, then while the save dialog is up.
    "display_lost": Case("display_lost", (Run("encrypt", "plain.bin"), Run("encrypt", "plain.bin", "s.bin")),
                         options={"lose_display": True}),
}

if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(scenarios.main(GTK, ONLY_GTK, Gtk, options=("--preload",)))
