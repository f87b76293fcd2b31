# Drives the real programs' GTK file choosers on a private Xvfb display with xdotool.
# Source it; it starts the display at once and stops it on exit.

export NO_AT_BRIDGE=1 GDK_BACKEND=x11 GTK_USE_PORTAL=0
work=$(mktemp -d /tmp/gtk-e2e.XXXXXX)

stop_display() {
    [ -n "${display_pid:-}" ] && kill "$display_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop_display EXIT

start_display() {
    exec 9>"$work/display"
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
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

# Prints the id of the named, visible window of process $1 other than $2, waiting up to 15 s.
# Completion pop-ups have no name and are skipped.
wait_dialog() {
    local pid=$1 previous=${2:-} window name
    for _ in $(seq 150); do
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

# Types a full path into the dialog $2 of process $1 and accepts it. The location field opens on
# the first '/', and completes names inline, so the slash goes alone and the completion is dropped.
choose_path() {
    local pid=$1 window=$2 path=$3
    xdotool windowfocus --sync "$window"
    xdotool type --window "$window" /
    sleep 0.4
    xdotool type --window "$window" --delay 30 "${path#/}"
    xdotool key --window "$window" Delete
    for _ in 1 2 3; do
        sleep 0.3
        window_visible "$pid" "$window" || return 0
        xdotool windowfocus --sync "$window" 2>/dev/null
        xdotool key Return
        for _ in $(seq 20); do
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

# Waits up to 15 s for process $1, a child of this shell, to end; sets exit_code.
wait_exit() {
    local pid=$1
    for _ in $(seq 150); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "process $pid did not end"; }
    wait "$pid"
    exit_code=$?
}

# Runs program $1 through both dialogs: input $2, output $3. Fails unless it ends with code 0.
run_program() {
    local program=$1 input=$2 output=$3 pid first second
    "$program" >"$work/printed" 2>&1 &
    pid=$!
    first=$(wait_dialog "$pid") || fail "$program showed no open dialog"
    choose_path "$pid" "$first" "$input" || fail "$program did not take the input $input"
    second=$(wait_dialog "$pid" "$first") || fail "$program showed no save dialog"
    choose_path "$pid" "$second" "$output" || fail "$program did not take the output $output"
    wait_exit "$pid"
    [ "$exit_code" = 0 ] || fail "$program ended with exit code $exit_code"
    [ -s "$work/printed" ] && fail "$program printed: $(head -c 300 "$work/printed")"
    return 0
}
