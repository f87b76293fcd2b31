#!/usr/bin/python3
"""The real programs on Wayland, under Debian's weston with its headless backend, one compositor
for each run: a round trip through both programs' dialogs, and the compositor killed while the open
dialog is up and while the save dialog is up, after which each program must end with code 0 having
created nothing.

A dialog is up once the compositor has mapped it: weston's protocol log (WAYLAND_DEBUG=server)
shows the program's n-th xdg_toplevel with a buffer attached and committed. The dialogs are driven
through the accessibility bus (AT-SPI): the input is selected in the open dialog's file list and
Open pressed; the output's full path is put in the save dialog's name field and Save pressed.

Usage: wayland_dialogs_test.py ENCRYPT DECRYPT (--key HEX | --key-file PATH)
Skips (exit 77) with a message where weston or the AT-SPI bindings are missing."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from scenarios import Run, drive, expect_runs
from support import SKIPPED, Failure, add_key_arguments, expect, key_of, wait_for

TIMEOUT = 30  # seconds for a dialog to appear, a field to take a value, a program to end
try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError):
    Atspi = None


def missing():
    """What this machine lacks to run the test, if anything."""
    for tool, package in (("weston", "weston"), ("dbus-run-session", "dbus")):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (Debian package {package})"
    if Atspi is None:
        return "the AT-SPI bindings are missing (Debian packages python3-gi, gir1.2-atspi-2.0, at-spi2-core)"


def mapped_toplevels(log_path):
    """How many xdg_toplevels weston's protocol log shows mapped: given a buffer and committed."""
    surfaces, waiting, attached, mapped = {}, set(), set(), 0
    with open(log_path, errors="replace") as log:
        for line in log:
            if m := re.search(r"get_xdg_surface\(new id xdg_surface@(\d+), wl_surface@(\d+)\)", line):
                surfaces[m.group(1)] = m.group(2)
            elif m := re.search(r"xdg_surface@(\d+)\.get_toplevel\(", line):
                waiting.add(surfaces.get(m.group(1)))
            elif (m := re.search(r"wl_surface@(\d+)\.attach\(wl_buffer@", line)) and m.group(1) in waiting:
                attached.add(m.group(1))
            elif (m := re.search(r"wl_surface@(\d+)\.commit\(\)", line)) and m.group(1) in attached:
                waiting.discard(m.group(1))
                attached.discard(m.group(1))
                mapped += 1
    return mapped


def everything(accessible):
    found = [accessible]
    for child in map(accessible.get_child_at_index, range(accessible.get_child_count())):
        found += everything(child) if child is not None else []
    return found


def named(dialog, role, name):
    return next((each for each in everything(dialog) if each.get_role_name() == role and each.get_name() == name), None)


class Wayland:
    programs = ("encrypt", "decrypt")

    def __init__(self, args):
        self.args, self.key = args, key_of(args)
        self.work = tempfile.mkdtemp(prefix="wayland-dialogs-")
        self.folder = os.path.join(self.work, "files")
        os.mkdir(self.folder)
        self.runs, self.patience = 0, TIMEOUT

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self, program, answers, obstacle=None, kill_in=None):
        """Runs program on a compositor of its own, with a fresh home whose file chooser starts in
        the folder; the compositor is killed once the dialog kill_in is up."""
        self.runs += 1
        runtime, socket = os.path.join(self.work, f"runtime-{self.runs}"), f"wayland-{self.runs}"
        os.mkdir(runtime, 0o700)
        log_path = os.path.join(self.work, f"weston-{self.runs}.log")
        environment = {**os.environ, "XDG_RUNTIME_DIR": runtime, "WAYLAND_DEBUG": "server"}
        environment.pop("WAYLAND_DISPLAY", None)
        with open(log_path, "wb") as log:
            weston = subprocess.Popen(["weston", "--backend=headless-backend.so", f"--socket={socket}", "--idle-time=0",
                                       "--shell=kiosk-shell.so", "--no-config"], env=environment, stdout=log,
                                      stderr=subprocess.STDOUT)
        try:
            expect(wait_for(lambda: os.path.exists(os.path.join(runtime, socket)) or weston.poll() is not None,
                            TIMEOUT) and weston.poll() is None, "weston did not open its socket")
            home = tempfile.mkdtemp(dir=self.work)
            os.makedirs(os.path.join(home, "config", "glib-2.0", "settings"))
            with open(os.path.join(home, "config", "glib-2.0", "settings", "keyfile"), "w") as keyfile:
                keyfile.write("[org/gtk/settings/file-chooser]\nstartup-mode='cwd'\n")
            environment = {name: value for name, value in os.environ.items()
                           if name not in ("DISPLAY", "NO_AT_BRIDGE", "WAYLAND_DEBUG", "GTK_USE_PORTAL")}
            environment.update(GDK_BACKEND="wayland", WAYLAND_DISPLAY=socket, XDG_RUNTIME_DIR=runtime, HOME=home,
                               XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_DATA_HOME=os.path.join(home, "data"),
                               XDG_CACHE_HOME=os.path.join(home, "cache"), GSETTINGS_BACKEND="keyfile")
            process = subprocess.Popen([os.path.abspath(getattr(self.args, program))], env=environment,
                                       cwd=self.folder)
            self.log_path = log_path
            return drive(self, process, answers, lambda kind, dialog: kill_in == kind and weston.kill() is None)
        finally:
            weston.kill()
            weston.wait()

    def next_dialog(self, process, previous, index):
        """The program's dialog index (0 open, 1 save) once the compositor has mapped it, as the
        file chooser with its Open or Save button on the accessibility bus; None past the save."""
        if index > 1:
            return None
        button = ("Open", "Save")[index]
        expect(wait_for(lambda: mapped_toplevels(self.log_path) > index or process.poll() is not None, TIMEOUT)
               and process.poll() is None, f"no dialog {index + 1} mapped within {TIMEOUT} s, or the program ended")

        def chooser():
            desktop = Atspi.get_desktop(0)
            for application in map(desktop.get_child_at_index, range(desktop.get_child_count())):
                if application is not None and application.get_process_id() == process.pid:
                    for each in everything(application):
                        if (each.get_role_name() == "file chooser" and each.get_name() == ""
                                and each.get_state_set().contains(Atspi.StateType.SHOWING)
                                and named(each, "push button", button)):
                            return button, each
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
            time.sleep(0.3)
            expect(field.get_text(0, -1) == path, f"the name field holds {field.get_text(0, -1)!r}, not {path!r}")
        named(dialog, "push button", button).do_action(0)


def main():
    if missing():
        print(f"SKIP: {missing()}")
        return SKIPPED
    if os.environ.get("WAYLAND_DIALOGS_TEST_BUS") is None:  # a session bus of its own, for the accessibility bus
        os.environ["WAYLAND_DIALOGS_TEST_BUS"] = "1"
        os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable] + sys.argv)
    parser = argparse.ArgumentParser()
    parser.add_argument("encrypt")
    parser.add_argument("decrypt")
    add_key_arguments(parser)
    wayland = Wayland(parser.parse_args())
    try:
        with open(os.path.join(wayland.folder, "in.bin"), "wb") as file:
            file.write(os.urandom(1003))
        expect_runs(wayland, [Run("encrypt", "in.bin", "sealed.bin"), Run("decrypt", "sealed.bin", "opened.bin")],
                    {"sealed.bin": ("encrypt", "in.bin"), "opened.bin": ("decrypt", "sealed.bin")})
        for name in ("sealed.bin", "opened.bin"):
            os.remove(os.path.join(wayland.folder, name))
        for program in wayland.programs:
            expect_runs(wayland, [Run(program, "in.bin")], kill_in="open")
            expect_runs(wayland, [Run(program, "in.bin", "out.bin")], kill_in="save")
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    finally:
        wayland.close()
    print("Wayland: a round trip through both programs, and the compositor killed during either dialog "
          "of either program: code 0, nothing created")
    return 0


sys.exit(main())
