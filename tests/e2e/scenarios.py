"""The dialog-level cases every backend runs (the emulated Win32, Wine, GTK under Xvfb): the files a
case starts with, what is answered at each dialog, the obstacle, and what must follow. After every
case: each run showed exactly the dialogs named and ended with code 0, the files created are
OpenSSL's transform of their sources, and every other file is exactly as it was.

A backend gives: programs (those each one-run case is played with), folder (emptied by clear()),
key, devices (what DEVICE stands for), obstacle(kind, input path) (a context manager) and
run(program, answers, obstacle, **options), which returns the dialogs shown and the exit code."""
import argparse
import dataclasses
import os
import random
import sys

from support import add_key_arguments, check_transformed, expect, expect_unchanged, snapshot

CANCEL = "<cancel>"   # the user cancels the dialog
DEVICE = "<device>"   # each of the backend's devices in turn
MIB = 1024 * 1024

HELD = "held"                    # another program holds the input without sharing
READ_ONLY = "read-only"          # the input has no write bits
LOCKED_FOLDER = "locked folder"  # the output's folder, "locked", may not be written by the user
WRITE_LIMIT = "write limit"      # writes fail once 64 KiB are in the output

EMULATED, WINE, GTK = "emulated", "wine", "gtk"
ALL = (EMULATED, WINE, GTK)


@dataclasses.dataclass(frozen=True)
class Run:
    program: str
    input: str
    output: str = None   # None: the run must end after the open dialog

    def dialogs(self):
        return ("open",) if self.output is None else ("open", "save")


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    runs: tuple
    files: dict = dataclasses.field(default_factory=lambda: {"plain.bin": 1003})  # name: length
    obstacle: str = None
    created: dict = dataclasses.field(default_factory=dict)   # name: (direction, source name)
    backends: tuple = ALL


def round_trip(length, backends):
    return Case(f"round_trip_{length}", (Run("encrypt", "plain.bin", "sealed.bin"),
                                         Run("decrypt", "sealed.bin", "opened.bin")),
                files={"plain.bin": length}, backends=backends,
                created={"sealed.bin": ("encrypt", "plain.bin"), "opened.bin": ("decrypt", "sealed.bin")})


CASES = [
    round_trip(1003, ALL),
    *(round_trip(length, (EMULATED, WINE)) for length in (1, 7, 8, 17, MIB + 3)),
    round_trip(9, (EMULATED,)),
    Case("cancel_input", (Run("encrypt", CANCEL),)),
    Case("cancel_output", (Run("encrypt", "plain.bin", CANCEL),)),
    Case("empty_input", (Run("encrypt", "plain.bin"),), files={"plain.bin": 0}),
    Case("existing_output", (Run("encrypt", "plain.bin", "taken.bin"),), files={"plain.bin": 31, "taken.bin": 28}),
    Case("output_is_input", (Run("encrypt", "plain.bin", "plain.bin"),)),
    Case("input_held_open", (Run("encrypt", "plain.bin"),), obstacle=HELD),
    Case("read_only_input", (Run("encrypt", "plain.bin"),), obstacle=READ_ONLY),
    Case("output_folder_without_write_access", (Run("encrypt", "plain.bin", "locked/sealed.bin"),),
         obstacle=LOCKED_FOLDER),
    Case("write_fails", (Run("encrypt", "plain.bin", "sealed.bin"),), files={"plain.bin": MIB + 3},
         obstacle=WRITE_LIMIT),
    Case("device_input", (Run("encrypt", DEVICE),)),
]


def cases_of(backend_name):
    return {case.name: case for case in CASES if backend_name in case.backends}


def cases_and_arguments(backend_name, own_cases):
    """The table's cases for the backend, then its own (functions of the backend). With --list,
    prints their names and ends; otherwise gives them and a parser of the case, programs and key."""
    cases = {**cases_of(backend_name), **own_cases}
    if "--list" in sys.argv:
        print("\n".join(cases))
        sys.exit(0)
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(cases))
    parser.add_argument("--encrypt", required=True)
    parser.add_argument("--decrypt", required=True)
    add_key_arguments(parser)
    return cases, parser


def sample(name, length):
    return random.Random(f"{name}:{length}").randbytes(length)


def play(backend, case):
    """Plays case on backend; each one-run case once with each of the backend's programs."""
    variants = [case.runs] if len(case.runs) > 1 else [
        (dataclasses.replace(case.runs[0], program=program),) for program in backend.programs]
    for runs in variants:
        for name, length in case.files.items():
            with open(os.path.join(backend.folder, name), "wb") as file:
                file.write(sample(name, length))
        source = os.path.join(backend.folder, "plain.bin")
        if case.obstacle == READ_ONLY:
            os.chmod(source, 0o444)
        if case.obstacle == LOCKED_FOLDER:
            os.mkdir(os.path.join(backend.folder, "locked"), 0o555)
        with backend.obstacle(case.obstacle, source):
            expect_runs(backend, runs, case.created, case.obstacle)
        backend.clear()


def expect_runs(backend, runs, created=None, obstacle=None, **options):
    """Runs each of runs on backend: each must show exactly its dialogs and end with code 0; then
    the files created must be OpenSSL's transform of their sources, and all else as it was."""
    def path(answer):  # a name in the folder, or a token such as CANCEL
        return answer if answer.startswith("<") else os.path.join(backend.folder, answer)
    created = created or {}
    before = snapshot(backend.folder)
    for run in runs:
        inputs = backend.devices if run.input == DEVICE else [path(run.input)]
        for answers in ([answer] + ([path(run.output)] if run.output else []) for answer in inputs):
            shown, code = backend.run(run.program, answers, obstacle, **options)
            what = f"{run.program} answered {answers}"
            expect(tuple(shown) == run.dialogs(), f"{what} showed the dialogs {shown}, not {run.dialogs()}")
            expect(code == 0, f"{what} ended with code {code}, not 0")
    expect_unchanged(before, snapshot(backend.folder), [name for name in created if name not in before])
    for name, (direction, source) in created.items():
        check_transformed(direction, backend.key, os.path.join(backend.folder, source),
                          os.path.join(backend.folder, name))
