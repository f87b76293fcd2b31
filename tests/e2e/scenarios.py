"""The dialog-level cases every backend runs (the emulated Win32, Wine, GTK under Xvfb): the files a
case starts with, what is answered at each dialog, the obstacle, what is created. A backend gives:
programs (those each one-run case is played with), folder (emptied by clear()), key, devices (what
DEVICE stands for), close(), obstacle(kind, input path) (a context manager) and
run(program, answers, obstacle, **options), which returns the dialogs shown and the exit code."""
import argparse
import dataclasses
import os
import random
import sys

from support import (SKIPPED, Failure, Skipped, add_key_arguments, check_transformed, expect, expect_unchanged,
                     snapshot, wait_for)

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
    options: dict = dataclasses.field(default_factory=dict)   # for the backend's run


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


def cases_and_arguments(backend_name, own_cases, unlisted=None):
    """The backend's cases: the table's, its own, and with --list printed (but the unlisted)."""
    cases = {**cases_of(backend_name), **own_cases}
    if "--list" in sys.argv:
        print("\n".join(cases))
        sys.exit(0)
    cases.update(unlisted or {})
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(cases))
    parser.add_argument("--encrypt", required=True)
    parser.add_argument("--decrypt", required=True)
    add_key_arguments(parser)
    return cases, parser


def sample(name, length):
    return random.Random(f"{name}:{length}").randbytes(length)


def play(backend, case):
    """Plays case on backend; a one-run case once with each of the backend's programs."""
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
            expect_runs(backend, runs, case.created, case.obstacle, **case.options)
        backend.clear()


def expect_runs(backend, runs, created=None, obstacle=None, **options):
    """Each run must show exactly its dialogs and end with code 0; then the files created must be
    OpenSSL's transform of their sources, and all else as it was."""
    def path(answer):  # a name in the folder, or a token such as CANCEL
        return answer if answer.startswith("<") else os.path.join(backend.folder, answer)
    created = created or {}
    before = snapshot(backend.folder)
    for run in runs:
        inputs = backend.devices if run.input == DEVICE else [path(run.input)]
        for answers in ([answer] + ([path(run.output)] if run.output else []) for answer in inputs):
            shown, code = backend.run(run.program, answers, obstacle, **options)
            what = f"{run.program} answered {answers}"
            expect(tuple(shown) == run.dialogs(),
                   f"{what} showed the dialogs {shown}, not {run.dialogs()}, and ended with code {code}")
            expect(code == 0, f"{what} ended with code {code}, not 0")
    expect_unchanged(before, snapshot(backend.folder), [name for name in created if name not in before])
    for name, (direction, source) in created.items():
        check_transformed(direction, backend.key, os.path.join(backend.folder, source),
                          os.path.join(backend.folder, name))


def drive(backend, process, answers, at_dialog=lambda kind, dialog: False, must_end=True):
    """Answers process's dialogs in turn (backend.next_dialog waits for one; None: the program
    ended). After the last answer, a dialog beyond them or one where at_dialog says so, the program
    must end within backend.patience (unless not must_end). Returns the dialogs shown and the code."""
    shown, dialog = [], None
    try:
        for answer in [*answers, None]:
            dialog = backend.next_dialog(process, dialog, len(shown))
            if dialog is None:
                break
            shown.append("save" if shown else "open")
            if at_dialog(shown[-1], dialog) or answer is None:
                break
            backend.cancel(dialog) if answer == CANCEL else backend.choose(dialog, answer)
        if len(shown) <= len(answers):
            ended = wait_for(lambda: process.poll() is not None, backend.patience)
            expect(ended or not must_end, f"the program did not end within {backend.patience} s")
    finally:
        if process.poll() is None:
            process.kill()
        code = process.wait()
    return shown, code


def skipped(name, reason, fail_in_ci):  # the exit code of a case that cannot run here
    if fail_in_ci and os.environ.get("CI") == "true":
        print(f"{name}: {reason}; CI must run every case", file=sys.stderr)
        return 1
    print(f"SKIPPED: {reason}")
    return SKIPPED


def main(backend_name, own_cases, backend_class, options=(), unlisted=None):
    """Plays the case named on the command line on backend_class(arguments)."""
    cases, parser = cases_and_arguments(backend_name, own_cases, unlisted)
    for option in options:
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    backend = None
    try:
        backend = backend_class(args)
        case = cases[args.case]
        play(backend, case) if isinstance(case, Case) else case(backend)
    except Skipped as reason:
        return skipped(args.case, reason, getattr(backend_class, "skips_fail_in_ci", False))
    except Failure as failure:
        print(f"{args.case}: {failure}", file=sys.stderr)
        if backend and hasattr(backend, "printed"):
            print(f"what the programs printed:\n{backend.printed()}", file=sys.stderr)
        return 1
    finally:
        if backend:
            backend.close()
    return 0
