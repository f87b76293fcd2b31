#!/usr/bin/python3
"""The real programs on Wayland, under Debian's weston with its headless backend: a round trip
through both programs' dialogs, and the compositor killed while the open dialog is up and while
the save dialog is up, after which each program must end with code 0 having created nothing.

A dialog is up once the compositor has mapped it: weston's protocol log (WAYLAND_DEBUG=server)
shows the program's n-th xdg_toplevel with a buffer attached and committed. The dialogs are driven
through the accessibility bus (AT-SPI): the input is selected in the open dialog's file list and
Open pressed; the output's full path is put in the save dialog's name field and Save pressed.

Usage: wayland_dialogs_test.py ENCRYPT DECRYPT (--key HEX | --key-file PATH)
Skips (exit 77) with a message where weston or the AT-SPI bindings are missing."""
import argparse
import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from support import add_key_arguments, key_of, snapshot, transform

SKIP = 77
TIMEOUT = 30  # seconds for a dialog to appear, a field to take a value, a program to end

# Every process the test starts, killed when it ends, however it ends.
started = []


@atexit.register
def kill_started():
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait()


def fail(message):
    print(f'FAIL: {message}', file=sys.stderr)
    sys.exit(1)


def skip(message):
    print(f'SKIP: {message}')
    sys.exit(SKIP)


if shutil.which('weston') is None:
    skip('weston is not installed (Debian package weston)')
if shutil.which('dbus-run-session') is None:
    skip('dbus-run-session is not installed (Debian package dbus)')
try:
    import gi
    gi.require_version('Atspi', '2.0')
    from gi.repository import Atspi
except (ImportError, ValueError):
    skip('the AT-SPI bindings are missing (Debian packages python3-gi, gir1.2-atspi-2.0, at-spi2-core)')

# A session bus of its own, on which the accessibility bus is started.
if os.environ.get('WAYLAND_DIALOGS_TEST_BUS') is None:
    os.environ['WAYLAND_DIALOGS_TEST_BUS'] = '1'
    os.execvp('dbus-run-session', ['dbus-run-session', '--', sys.executable] + sys.argv)


class Compositor:
    """One weston with the headless backend and its protocol log, in a private runtime folder."""

    def __init__(self, work, name):
        self.runtime = os.path.join(work, f'runtime-{name}')
        os.mkdir(self.runtime, 0o700)
        self.socket = f'wayland-{name}'
        self.log_path = os.path.join(work, f'weston-{name}.log')
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, WAYLAND_DEBUG='server')
        env.pop('WAYLAND_DISPLAY', None)
        with open(self.log_path, 'wb') as log:
            self.process = subprocess.Popen(
                ['weston', '--backend=headless-backend.so', f'--socket={self.socket}', '--idle-time=0',
                 '--shell=kiosk-shell.so', '--no-config'], env=env, stdout=log, stderr=subprocess.STDOUT)
        started.append(self.process)
        wait_for(lambda: os.path.exists(os.path.join(self.runtime, self.socket)), 'weston to open its socket',
                 lambda: self.process.poll() is None)

    def mapped_toplevels(self):
        """How many xdg_toplevels have been mapped: given a buffer and committed since they were made."""
        surfaces, waiting, attached, mapped = {}, set(), set(), 0
        with open(self.log_path, errors='replace') as log:
            for line in log:
                if m := re.search(r'get_xdg_surface\(new id xdg_surface@(\d+), wl_surface@(\d+)\)', line):
                    surfaces[m.group(1)] = m.group(2)
                elif m := re.search(r'xdg_surface@(\d+)\.get_toplevel\(', line):
                    waiting.add(surfaces.get(m.group(1)))
                elif m := re.search(r'wl_surface@(\d+)\.attach\(wl_buffer@', line):
                    if m.group(1) in waiting:
                        attached.add(m.group(1))
                elif m := re.search(r'wl_surface@(\d+)\.commit\(\)', line):
                    if m.group(1) in attached:
                        waiting.discard(m.group(1))
                        attached.discard(m.group(1))
                        mapped += 1
        return mapped

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def wait_for(condition, what, still_going=lambda: True):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        if not still_going():
            fail(f'gave up waiting for {what}: the process it depends on ended')
        time.sleep(0.1)
    fail(f'{what} did not happen within {TIMEOUT} s')


def everything(accessible):
    found = [accessible]
    for i in range(accessible.get_child_count()):
        child = accessible.get_child_at_index(i)
        if child is not None:
            found += everything(child)
    return found


class Program:
    """A program started on the compositor, with a fresh home whose file chooser starts in folder."""

    def __init__(self, path, compositor, work, folder):
        self.compositor = compositor
        home = tempfile.mkdtemp(dir=work)
        settings = os.path.join(home, 'config', 'glib-2.0', 'settings')
        os.makedirs(settings)
        with open(os.path.join(settings, 'keyfile'), 'w') as keyfile:
            keyfile.write("[org/gtk/settings/file-chooser]\nstartup-mode='cwd'\n")
        env = dict(os.environ, GDK_BACKEND='wayland', WAYLAND_DISPLAY=compositor.socket,
                   XDG_RUNTIME_DIR=compositor.runtime, HOME=home, XDG_CONFIG_HOME=os.path.join(home, 'config'),
                   XDG_DATA_HOME=os.path.join(home, 'data'), XDG_CACHE_HOME=os.path.join(home, 'cache'),
                   GSETTINGS_BACKEND='keyfile')
        for name in ('DISPLAY', 'NO_AT_BRIDGE', 'WAYLAND_DEBUG', 'GTK_USE_PORTAL'):
            env.pop(name, None)
        self.name = os.path.basename(path)
        self.process = subprocess.Popen([path], env=env, cwd=folder)
        started.append(self.process)

    def running(self):
        return self.process.poll() is None

    def wait_for_dialog(self, number, button):
        """Waits until the compositor has mapped the program's dialog number (1 open, 2 save), and
        returns its accessible, the file chooser holding a push button named button."""
        wait_for(lambda: self.compositor.mapped_toplevels() >= number, f"{self.name}'s dialog {number} to be mapped",
                 self.running)

        def dialog():
            desktop = Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                application = desktop.get_child_at_index(i)
                if application is None or application.get_process_id() != self.process.pid:
                    continue
                for each in everything(application):
                    if each.get_role_name() == 'file chooser' and each.get_name() == '' and \
                            each.get_state_set().contains(Atspi.StateType.SHOWING) and \
                            named(each, 'push button', button) is not None:
                        return each
            return None
        return wait_for(dialog, f"{self.name}'s dialog with a {button} button on the accessibility bus", self.running)

    def end(self):
        try:
            return self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            fail(f'{self.name} did not end within {TIMEOUT} s')


def named(dialog, role, name):
    return next((each for each in everything(dialog) if each.get_role_name() == role and each.get_name() == name), None)


def choose_input(program, file_name):
    dialog = program.wait_for_dialog(1, 'Open')

    def row():
        table = named(dialog, 'table', 'Files')
        cell = table and named(table, 'table cell', file_name)
        if cell is None:
            return None
        if cell.get_parent().get_role_name() == 'table cell':
            cell = cell.get_parent()
        return table, table.get_row_at_index(cell.get_index_in_parent())
    table, number = wait_for(row, f'{file_name} to be listed in the open dialog', program.running)
    if not (table.is_row_selected(number) or table.add_row_selection(number)):
        fail(f'the open dialog did not take {file_name} as its selection')
    named(dialog, 'push button', 'Open').do_action(0)


def choose_output(program, path):
    dialog = program.wait_for_dialog(2, 'Save')
    field = next(each for each in everything(dialog) if each.get_role_name() == 'text')
    # The dialog empties its name field as it starts: set it once the dialog is up, and check it
    # still holds the path a moment later.
    field.set_text_contents(path)
    time.sleep(0.3)
    if field.get_text(0, -1) != path:
        fail(f"the save dialog's name field holds {field.get_text(0, -1)!r}, not {path!r}")
    named(dialog, 'push button', 'Save').do_action(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("encrypt")
    parser.add_argument("decrypt")
    add_key_arguments(parser)
    args = parser.parse_args()
    encrypt, decrypt, key = os.path.abspath(args.encrypt), os.path.abspath(args.decrypt), key_of(args)
    work = tempfile.mkdtemp(prefix='wayland-dialogs-')
    try:
        folder = os.path.join(work, 'files')
        os.mkdir(folder)
        plain = os.urandom(1003)
        with open(os.path.join(folder, 'in.bin'), 'wb') as file:
            file.write(plain)

        # One round trip: encrypt, checked against OpenSSL, then decrypt.
        for number, (program, source, target) in enumerate(((encrypt, 'in.bin', 'encrypted.bin'),
                                                            (decrypt, 'encrypted.bin', 'decrypted.bin'))):
            compositor = Compositor(work, f'trip{number}')
            run = Program(program, compositor, work, folder)
            choose_input(run, source)
            choose_output(run, os.path.join(folder, target))
            code = run.end()
            compositor.kill()
            if code != 0:
                fail(f'{run.name} ended with code {code} after a round trip')
        with open(os.path.join(folder, 'encrypted.bin'), 'rb') as file:
            if file.read() != transform('encrypt', key, plain):
                fail('the encrypted file is not what OpenSSL makes of the input')
        with open(os.path.join(folder, 'decrypted.bin'), 'rb') as file:
            if file.read() != plain:
                fail('decrypt did not restore the input')
        for name in ('encrypted.bin', 'decrypted.bin'):
            os.remove(os.path.join(folder, name))

        # The compositor killed during either dialog of either program.
        before = snapshot(folder)
        for program in (encrypt, decrypt):
            for dialog in ('open', 'save'):
                compositor = Compositor(work, f'{os.path.basename(program)}-{dialog}')
                run = Program(program, compositor, work, folder)
                if dialog == 'open':
                    run.wait_for_dialog(1, 'Open')
                else:
                    choose_input(run, 'in.bin')
                    run.wait_for_dialog(2, 'Save')
                compositor.kill()
                code = run.end()
                if code != 0:
                    fail(f'{run.name} ended with code {code} when the compositor was killed during its {dialog} dialog')
                if snapshot(folder) != before:
                    fail(f'{run.name} changed the folder when the compositor was killed during its {dialog} dialog')
        print('Wayland: a round trip through both programs, and the compositor killed during either dialog '
              'of either program: code 0, nothing created')
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
