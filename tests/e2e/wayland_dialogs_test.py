#!/usr/bin/python3
"""Both real programs on Wayland (weston's headless backend, a compositor for each run), their
dialogs driven over the accessibility bus (AT-SPI) on a session bus of the test's own: a round trip,
and the compositor killed while either dialog is up, after which each program must end with code 0
having created nothing.  wayland_dialogs_test.py dialogs --encrypt EXE --decrypt EXE (--key HEX | --key-file PATH)"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import scenarios
from scenarios import Run, expect_runs
from support import Skipped, expect, key_of, wait_for

TIMEOUT = 30  # seconds for a dialog to appear, a field to take a value, a program to end
try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError):
    Atspi = None


MISSING = None if shutil.which("weston") and shutil.which("dbus-run-session") and Atspi else (
    "weston, dbus-run-session or the AT-SPI bindings are missing (Debian packages weston, dbus, python3-gi, "
    "gir1.2-atspi-2.0, at-spi2-core)")


def mapped_toplevels(log_path):
    """How many xdg_toplevels weston's protocol log (WAYLAND_DEBUG=server) shows mapped: given a
    buffer and committed."""
    surfaces, waiting, attached, mapped = {}, set(), set(), 0
    with open(log_path, errors="replace") as log:
        for line in log:
            if m := re.search(r"get_xdg_surface\(new id xdg_surface@(\d+), wl_surface@(\d+)\)", line):
                surfaces[m[1]] = m[2]
            elif m := re.search(r"xdg_surface@(\d+)\.get_toplevel\(", line):
                waiting.add(surfaces.get(m[1]))
            elif (m := re.search(r"wl_surface@(\d+)\.attach\(wl_buffer@", line)) and m[1] in waiting:
                attached.add(m[1])
            elif (m := re.search(r"wl_surface@(\d+)\.commit\(\)", line)) and m[1] in attached:
                waiting.remove(m[1])
                attached.remove(m[1])
                mapped += 1
    return mapped


def everything(accessible):
    children = map(accessible.get_child_at_index, range(accessible.get_child_count()))
    return [accessible, *(each for child in children if child is not None for each in everything(child))]


def named(dialog, role, name):
    return next((each for each in everything(dialog) if each.get_role_name() == role and each.get_name() == name), None)


class Wayland:
    programs = ("encrypt", "decrypt")
    patience = TIMEOUT

    def __init__(self, args):
        if MISSING:
            raise Skipped(MISSING)
        self.args, self.key, self.runs = args, key_of(args), 0
        self.work = tempfile.mkdtemp(prefix="wayland-dialogs-")
        self.folder = os.path.join(self.work, "files")
        os.mkdir(self.folder)

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self, program, answers, obstacle=None, kill_in=None):
        """Runs program on a compositor of its own, with a fresh home whose file chooser starts in
        the folder (startup-mode 'cwd'); the compositor is killed once the dialog kill_in is up."""
        self.runs += 1
        runtime, socket = os.path.join(self.work, f"runtime-{self.runs}"), f"wayland-{self.runs}"
        home, self.log_path = os.path.join(self.work, f"home-{self.runs}"), os.path.join(runtime, "weston.log")
        os.mkdir(runtime, 0o700)
        os.makedirs(os.path.join(home, "glib-2.0", "settings"))
        with open(os.path.join(home, "glib-2.0", "settings", "keyfile"), "w") as keyfile:
            keyfile.write("[org/gtk/settings/file-chooser]\nstartup-mode='cwd'\n")
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("DISPLAY", "NO_AT_BRIDGE", "WAYLAND_DISPLAY", "WAYLAND_DEBUG", "GTK_USE_PORTAL")}
        environment.update(XDG_RUNTIME_DIR=runtime, HOME=home, XDG_CONFIG_HOME=home, XDG_DATA_HOME=home,
                           XDG_CACHE_HOME=home, GSETTINGS_BACKEND="keyfile")
        with open(self.log_path, "wb") as log:
            weston = subprocess.Popen(["weston", "--backend=headless-backend.so", f"--socket={socket}", "--idle-time=0",
                                       "--shell=kiosk-shell.so", "--no-config"], stdout=log, stderr=subprocess.STDOUT,
                                      env={**environment, "WAYLAND_DEBUG": "server"})
        try:
            expect(wait_for(lambda: os.path.exists(os.path.join(runtime, socket)) or weston.poll() is not None,
                            TIMEOUT) and weston.poll() is None, "weston did not open its socket")
            process = subprocess.Popen([os.path.abspath(getattr(self.args, program))], cwd=self.folder,
                                       env={**environment, "GDK_BACKEND": "wayland", "WAYLAND_DISPLAY": socket})
            return scenarios.drive(self, process, answers, lambda kind, _: kill_in == kind and weston.kill() is None)
        finally:
            weston.kill()
            weston.wait()

    def next_dialog(self, process, previous, index):
        """Dialog index (0 open, 1 save) once the compositor has mapped it, as the file chooser with
        its Open or Save button on the accessibility bus."""
        if index > 1:
            return None
        button = ("Open", "Save")[index]
        expect(wait_for(lambda: mapped_toplevels(self.log_path) > index or process.poll() is not None, TIMEOUT)
               and process.poll() is None, f"no dialog {index + 1} mapped within {TIMEOUT} s, or the program ended")

        def chooser():
            return next(((button, each) for each in everything(Atspi.get_desktop(0))
                         if each.get_role_name() == "file chooser" and each.get_name() == ""
                         and each.get_process_id() == process.pid
                         and each.get_state_set().contains(Atspi.StateType.SHOWING)
                         and named(each, "push button", button)), None)
        found = wait_for(chooser, TIMEOUT)
        expect(found, f"no dialog with a {button} button on the accessibility bus")
        return found

    def choose(self, dialog, path):
        """Open: selects the file's row in the list. Save: puts the path in the name field, which the
        dialog empties as it starts, so it is checked to hold the path a moment later."""
        button, dialog = dialog
        if button == "Open":
            def row():
                table = named(dialog, "table", "Files")
                cell = table and named(table, "table cell", os.path.basename(path))
                if cell and cell.get_parent().get_role_name() == "table cell":
                    cell = cell.get_parent()
                return cell and (table, table.get_row_at_index(cell.get_index_in_parent()))
            found = wait_for(row, TIMEOUT)
            expect(found, f"{path} is not listed in the open dialog")
            table, number = found
            expect(table.is_row_selected(number) or table.add_row_selection(number), f"{path} was not selected")
        else:
            field = next(each for each in everything(dialog) if each.get_role_name() == "text")
            field.set_text_contents(path)
            expect(wait_for(lambda: field.get_text(0, -1) == path, TIMEOUT),
                   f"the name field holds {field.get_text(0, -1)!r}, not {path!r}")
        named(dialog, "push button", button).do_action(0)


def dialogs(wayland):
    with open(os.path.join(wayland.folder, "in.bin"), "wb") as file:
        file.write(os.urandom(1003))
    expect_runs(wayland, [Run("encrypt", "in.bin", "sealed.bin"), Run("decrypt", "sealed.bin", "opened.bin")],
                {"sealed.bin": ("encrypt", "in.bin"), "opened.bin": ("decrypt", "sealed.bin")})
    for program in wayland.programs:
        expect_runs(wayland, [Run(program, "in.bin")], kill_in="open")
        expect_runs(wayland, [Run(program, "in.bin", "out.bin")], kill_in="save")


if __name__ == "__main__":
    if not MISSING and "WAYLAND_DIALOGS_TEST_BUS" not in os.environ:  # a session bus of its own
        os.environ["WAYLAND_DIALOGS_TEST_BUS"] = "1"
        os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable] + sys.argv)
    sys.exit(scenarios.main("wayland", {"dialogs": dialogs}, Wayland))
