# Drives the real programs' GTK file choosers on a private Xvfb display with xdotool.
# Source it; it starts the display at once and stops it on exit.

export NO_AT_BRIDGE=1 GDK_BACKEND=x11 GTK_USE_PORTAL=0
work=$(mktemp -d /tmp/gtk-e2e.XXXXXX)

stop_display() {
    [ -n "${display_pid:-}" ] && kill "$display_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop_display EXIT

# -noreset: by default an X server resets whenever its last client disconnects, and closes the
# connections that arrive during the reset without a word. Between the driver's short xdotool
# connections there is often no client at all, so a program starting then found no display and
# ended, as it must, silently before its dialog (about 1 start in 40 on a busy machine).
start_display() {
    exec 9>"$work/display"
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    display_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(cat "$work/display")"
}
start_display

fail() {
    echo "FAIL: $*" >&2
    import -window root "$work/../gtk-e2e-failure.png" 2>/dev/null && echo "screenshot: /tmp/gtk-e2e-failure.png" >&2
    exit 1
}

# How long to wait for a dialog to appear or a program to end; raise it for gigabyte files.
patience=${patience:-20}

# Prints the id of the named, visible window of process $1 other than $2, waiting up to $patience s.
# Completion pop-ups have no name and are skipped.
wait_dialog() {
    local pid=$1 previous=${2:-} window name
    for _ in $(seq $((patience * 10))); do
        for window in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
            name=$(xdotool getwindowname "$window" 2>/dev/null) || continue
            if [ -n "$name" ] && [ "$window" != "$previous" ]; then
                echo "$window"
                return 0
            fi
        done
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

window_visible() {
    xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -qx "$2"
}

# Types a full path into dialog window $1. The location field opens on the first '/', and
# completes names inline, so the slash goes alone and the completion is dropped.
type_path() {
    local window=$1 path=$2
    xdotool windowfocus --sync "$window"
    xdotool type --window "$window" /
    sleep 0.4
    xdotool type --window "$window" --delay 30 "${path#/}"
    xdotool key --window "$window" Delete
}

# Types a full path into the dialog $2 of process $1 and accepts it.
choose_path() {
    local pid=$1 window=$2 path=$3
    type_path "$window" "$path"
    for _ in 1 2 3; do
        sleep 0.3
        window_visible "$pid" "$window" || return 0
        xdotool windowfocus --sync "$window" 2>/dev/null
        xdotool key Return
        # A busy machine can hold the dialog for seconds; a third of the patience per try.
        for _ in $(seq $((patience * 10 / 3))); do
            window_visible "$pid" "$window" || return 0
            sleep 0.1
        done
    done
    return 1
}

cancel_dialog() {
    xdotool windowfocus --sync "$1"
    xdotool key Escape
}

# Waits up to $patience s for process $1, a child of this shell, to end; sets exit_code.
wait_exit() {
    local pid=$1
    for _ in $(seq $((patience * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "process $pid did not end"; }
    wait "$pid"
    exit_code=$?
}

# Starts a program in the background with what it prints caught; sets pid. The arguments are the
# command, so a prefix such as setpriv may come first.
start_program() {
    "$@" >"$work/printed" 2>&1 &
    pid=$!
}

# How a process ended, from the status wait gives: its exit code, or the signal that ended it.
how_it_ended() {
    if (($1 > 128)); then echo "by signal $(kill -l $(($1 - 128)))"; else echo "with exit code $1"; fi
}

# Waits for the program started last to end, and fails unless it ended with code 0, silently.
expect_silent_exit() {
    wait_exit "$pid"
    [ "$exit_code" = 0 ] || fail "$1 ended $(how_it_ended "$exit_code")"
    [ -s "$work/printed" ] && fail "$1 printed: $(head -c 300 "$work/printed")"
    return 0
}

# Starts a program (arguments as for start_program) and waits for its open dialog; sets pid and
# first. A program that ends before its open dialog has failed, whatever its exit code: its user
# clicked it and saw nothing. It is never started again.
start_to_open_dialog() {
    start_program "$@"
    first=$(wait_dialog "$pid") || no_dialog "$*" open
}

# Fails for program $1, started last, that did not show its $2 dialog: says how it ended, or that it
# is still running.
no_dialog() {
    kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "$1 showed no $2 dialog within $patience s"; }
    wait "$pid"
    fail "$1 ended $(how_it_ended $?) without showing its $2 dialog; it printed: $(head -c 300 "$work/printed" 2>/dev/null)"
}


# Runs program $1 through both dialogs: input $2, output $3. Fails unless it ends with code 0.
# Further arguments are a command prefix for the program.
run_program() {
    local program=$1 input=$2 output=$3 second
    start_to_open_dialog "${@:4}" "$program"
    choose_path "$pid" "$first" "$input" || fail "$program did not take the input $input"
    second=$(wait_dialog "$pid" "$first") || no_dialog "$program" save
    choose_path "$pid" "$second" "$output" || fail "$program did not take the output $output"
    expect_silent_exit "$program"
}

# Program $1 takes input $2 in its open dialog, then must end without showing the save dialog.
run_refusing_input() {
    local program=$1 input=$2 window
    start_to_open_dialog "${@:3}" "$program"
    choose_path "$pid" "$first" "$input" || fail "$program did not take the input $input"
    for _ in $(seq 150); do
        kill -0 "$pid" 2>/dev/null || break
        for window in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
            [ "$window" != "$first" ] && [ -n "$(xdotool getwindowname "$window" 2>/dev/null)" ] &&
                { kill "$pid"; fail "$program showed the save dialog for the input $input"; }
        done
        sleep 0.1
    done
    expect_silent_exit "$program"
}

# The dialog of process $1, window $2, does not accept path $3 (a folder: it opens it instead);
# the dialog is then cancelled.
dialog_keeps_open_on() {
    local pid=$1 window=$2 path=$3
    type_path "$window" "$path"
    sleep 0.3
    xdotool key Return
    sleep 1.5
    window_visible "$pid" "$window" || fail "the dialog accepted the folder $path"
    cancel_dialog "$window"
}

# What a folder holds, deep: each name with its kind, mode, size, time, link target and content's
# checksum, to show that a run left everything as it was.
folder_state() {
    find "$1" -mindepth 1 \( -type d -printf '%P %y %m\n' \) -o \( -printf '%P %y %m %s %T@ %l ' -a \
        \( -type f -exec sh -c 'md5sum < "$1"' _ {} \; -o -printf '\n' \) \) | LC_ALL=C sort
}
