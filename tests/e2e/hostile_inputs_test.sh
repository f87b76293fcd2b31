#!/usr/bin/env bash
# Unusual and hostile choices made in the real programs' GTK dialogs, each with its outcome
# asserted: after every run each program has ended silently with code 0, and everything that
# existed is exactly as it was. Cases the dialog itself does not let a user choose (a folder) are
# shown to be so; the run tests try them through the file layer instead.
# Usage: hostile_inputs_test.sh ENCRYPT CHECK_ENCRYPTED
set -uo pipefail
encrypt=$1 check_encrypted=$2
source "$(dirname "$0")/gtk_driver.sh"

cases=$work/cases
mkdir -p "$cases"
chmod 755 "$work" "$cases"
head -c 5003 /dev/urandom >"$cases/plain.bin"
passed=0

# Runs "$@" and fails unless the folder of cases is afterwards as it was, apart from the name
# given by $expect_new (which must then appear).
unchanged_apart_from() {
    local new=$1 before after
    shift
    before=$(folder_state "$cases")
    "$@"
    after=$(folder_state "$cases")
    if [ -n "$new" ]; then
        [ -e "$cases/$new" ] || fail "$new was not created"
        after=$(grep -v -- "^$new " <<<"$after")
    fi
    [ "$before" = "$after" ] || fail "files changed: $(diff <(echo "$before") <(echo "$after") | head -5)"
    passed=$((passed + 1))
    echo "case $passed ($*): ${SECONDS}s"
}

# Inputs the run refuses after the open dialog: it ends without the save dialog.
mkfifo "$cases/fifo"
unchanged_apart_from "" run_refusing_input "$encrypt" "$cases/fifo"
unchanged_apart_from "" run_refusing_input "$encrypt" /dev/zero
[ "$(stat -c %s /proc/version)" = 0 ] || fail "/proc/version does not report size 0 here"
unchanged_apart_from "" run_refusing_input "$encrypt" /proc/version
: >"$cases/empty.bin"
unchanged_apart_from "" run_refusing_input "$encrypt" "$cases/empty.bin"
cp "$cases/plain.bin" "$cases/read-only.bin"
chmod 444 "$cases/read-only.bin"
unchanged_apart_from "" run_refusing_input "$encrypt" "$cases/read-only.bin"

cp "$cases/plain.bin" "$cases/locked.bin"
(exec 8<>"$cases/locked.bin" && flock --exclusive 8 && exec sleep 300) >/dev/null 2>&1 &
holder=$!
# shellcheck disable=SC2016  # expanded by eval
wait_for eval '! flock --nonblock "$cases/locked.bin" true' || fail "the holder did not lock the file"
unchanged_apart_from "" run_refusing_input "$encrypt" "$cases/locked.bin"
kill "$holder"
wait "$holder" 2>/dev/null

# An input another process has open, for writing (as a download in progress) or only for reading,
# is in use: not processed. Once that process has closed it, the same file is processed.
cp "$cases/plain.bin" "$cases/in-use.bin"
holds_open() {  # whether process $1 has file $2 open
    local fd
    for fd in /proc/"$1"/fd/*; do [ "$(readlink "$fd" 2>/dev/null)" = "$2" ] && return 0; done
    return 1
}
hold_open() {  # for writing or for reading
    # shellcheck disable=SC2217  # sleep only keeps the file open
    if [ "$1" = writing ]; then exec sleep 300 >>"$cases/in-use.bin"; else exec sleep 300 <"$cases/in-use.bin"; fi
}
for how in writing reading; do
    hold_open "$how" &
    holder=$!
    for _ in $(seq 50); do holds_open "$holder" "$cases/in-use.bin" && break; sleep 0.1; done
    holds_open "$holder" "$cases/in-use.bin" || fail "the holder did not open the file"
    unchanged_apart_from "" run_refusing_input "$encrypt" "$cases/in-use.bin"
    kill "$holder"
    wait "$holder" 2>/dev/null
done
unchanged_apart_from in-use.out run_program "$encrypt" "$cases/in-use.bin" "$cases/in-use.out"
"$check_encrypted" "$cases/in-use.bin" "$cases/in-use.out" >/dev/null || fail "the released file was not encrypted"

# Another process opens the input while the run is reading it (a large file, so that the run holds
# it for a while): a non-blocking open fails at once (EWOULDBLOCK: the run holds the file under its
# lease), and a blocking open waits until the run, noticing the break of its lease, has given the
# input up, then finds it unchanged. The run shows no save dialog and writes nothing.
head -c 8192 /dev/urandom >"$cases/large-input.bin"
truncate -s 512M "$cases/large-input.bin"
head -c 8192 /dev/urandom >>"$cases/large-input.bin"
opened_while_read() {
    local large=$cases/large-input.bin sum second
    sum=$(md5sum <"$large")
    start_to_open_dialog "$encrypt"
    choose_path "$pid" "$first" "$large" || fail "the input was not taken"
    for _ in $(seq $((patience * 100))); do
        holds_open "$pid" "$large" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    holds_open "$pid" "$large" || fail "never saw the run holding its input"
    /usr/bin/python3 - "$large" "$sum" <<'EOF' || fail "another process's open of the input did not wait for the run"
import errno, hashlib, os, sys
path, expected = sys.argv[1], sys.argv[2].split()[0]
try:
    os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
    sys.exit("a non-blocking open succeeded while the run held its input")
except OSError as error:
    if error.errno != errno.EWOULDBLOCK:
        raise
with open(path, "rb") as waited:  # waits until the run closes the input
    digest = hashlib.md5()
    for piece in iter(lambda: waited.read(1 << 20), b""):
        digest.update(piece)
if digest.hexdigest() != expected:
    sys.exit("the other process found the input changed")
EOF
    second=$(wait_dialog "$pid" "$first") && { kill "$pid"; fail "the save dialog was shown although the input was opened during the read"; }
    expect_silent_exit "$encrypt"
}
unchanged_apart_from "" opened_while_read
rm "$cases/large-input.bin"

# A folder: the open dialog opens it rather than choosing it; cancelling then ends the program.
mkdir "$cases/folder"
open_folder_then_cancel() {
    start_to_open_dialog "$encrypt"
    dialog_keeps_open_on "$pid" "$first" "$cases/folder"
    expect_silent_exit "$encrypt"
}
unchanged_apart_from "" open_folder_then_cancel

# Inputs processed: a link to a regular file, and awkward names, for input and output alike.
ln -s plain.bin "$cases/link-to-plain"
unchanged_apart_from from-link.bin run_program "$encrypt" "$cases/link-to-plain" "$cases/from-link.bin"
"$check_encrypted" "$cases/plain.bin" "$cases/from-link.bin" >/dev/null || fail "the link's target was not encrypted"
for name in "with  two spaces.bin" "ñandú über.bin" "-leading-dash.bin"; do
    cp "$cases/plain.bin" "$cases/$name"
    unchanged_apart_from "$name.out" run_program "$encrypt" "$cases/$name" "$cases/$name.out"
    "$check_encrypted" "$cases/$name" "$cases/$name.out" >/dev/null || fail "$name was not encrypted"
done

# Output names that exist are taken by the dialog and left alone by the run.
head -c 77 /dev/urandom >"$cases/existing.bin"
unchanged_apart_from "" run_program "$encrypt" "$cases/plain.bin" "$cases/existing.bin"
ln -s nowhere.bin "$cases/dangling"
unchanged_apart_from "" run_program "$encrypt" "$cases/plain.bin" "$cases/dangling"

# A folder as the output: the save dialog opens it; cancelling then ends the program.
save_into_folder_then_cancel() {
    local second
    start_to_open_dialog "$encrypt"
    choose_path "$pid" "$first" "$cases/plain.bin" || fail "the input was not taken"
    second=$(wait_dialog "$pid" "$first") || no_dialog "$encrypt" save
    dialog_keeps_open_on "$pid" "$second" "$cases/folder"
    expect_silent_exit "$encrypt"
}
unchanged_apart_from "" save_into_folder_then_cancel

# A folder without write permission, for a user other than root (root may write any folder): the
# program runs as nobody, which owns the input and the folder. Writing elsewhere works for it.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups env "HOME=$work/nobody-home")
mkdir -p "$work/nobody-home" "$cases/no-write" "$cases/writable"
cp "$cases/plain.bin" "$cases/nobodys.bin"
chown nobody:nogroup "$work/nobody-home" "$cases/no-write" "$cases/writable" "$cases/nobodys.bin"
chmod 555 "$cases/no-write"
unchanged_apart_from "" run_program "$encrypt" "$cases/nobodys.bin" "$cases/no-write/out.bin" "${as_nobody[@]}"
unchanged_apart_from writable/out.bin run_program "$encrypt" "$cases/nobodys.bin" "$cases/writable/out.bin" "${as_nobody[@]}"
# A file of root's that nobody may write through its group: the kernel grants no lease to a user
# who neither owns the file nor has CAP_LEASE, so the run holds it by flock alone and processes it.
cp "$cases/plain.bin" "$cases/group-writable.bin"
chown root:nogroup "$cases/group-writable.bin"
chmod 660 "$cases/group-writable.bin"
unchanged_apart_from writable/from-group.bin run_program "$encrypt" "$cases/group-writable.bin" \
    "$cases/writable/from-group.bin" "${as_nobody[@]}"
"$check_encrypted" "$cases/group-writable.bin" "$cases/writable/from-group.bin" >/dev/null ||
    fail "the group-writable file was not encrypted"
chmod 755 "$cases/no-write"

# A file-size limit below the output's length: the write fails part-way, the program (which ignores
# SIGXFSZ) removes the partial file and still ends with code 0.
head -c 70000 /dev/urandom >"$cases/large.bin"
# shellcheck disable=SC2016  # expanded by the inner shell
unchanged_apart_from "" run_program "$encrypt" "$cases/large.bin" "$cases/limited.bin" bash -c 'ulimit -f 16; exec "$0"'

# Started with standard output and error closed: both point at /dev/null while the program runs,
# so that nothing it or a library prints can land in a file or connection it opens, and it works.
closed_standard_streams() {
    local first second
    "$encrypt" >&- 2>&- &
    pid=$!
    first=$(wait_dialog "$pid") || no_dialog "$encrypt with its standard streams closed" open
    for fd in 1 2; do
        [ "$(readlink "/proc/$pid/fd/$fd")" = /dev/null ] ||
            fail "with standard streams closed, descriptor $fd is $(readlink "/proc/$pid/fd/$fd")"
    done
    choose_path "$pid" "$first" "$cases/plain.bin" || fail "the input was not taken"
    second=$(wait_dialog "$pid" "$first") || no_dialog "$encrypt with its standard streams closed" save
    choose_path "$pid" "$second" "$cases/closed-streams.bin" || fail "the output was not taken"
    wait_exit "$pid"
    [ "$exit_code" = 0 ] || fail "$encrypt with its standard streams closed ended $(how_it_ended "$exit_code")"
}
unchanged_apart_from closed-streams.bin closed_standard_streams
"$check_encrypted" "$cases/plain.bin" "$cases/closed-streams.bin" >/dev/null || fail "not encrypted"

# The display goes away (the X server is killed) while the open dialog is up, and again while the
# save dialog is up: the program ends silently with code 0 and leaves nothing. A new display
# serves the cases after each.
display_lost_in() {
    local dialog=$1 second
    start_to_open_dialog "$encrypt"
    if [ "$dialog" = save ]; then
        choose_path "$pid" "$first" "$cases/plain.bin" || fail "the input was not taken"
        second=$(wait_dialog "$pid" "$first") || no_dialog "$encrypt" save
    fi
    kill -KILL "$display_pid"
    wait "$display_pid" 2>/dev/null
    expect_silent_exit "$encrypt (display lost during its $dialog dialog)"
    start_display
}
unchanged_apart_from "" display_lost_in open
unchanged_apart_from "" display_lost_in save

echo "hostile inputs through the GTK dialogs: $passed passed, 0 failed"
