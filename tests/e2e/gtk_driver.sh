# shellcheck shell=bash
# Drives the real programs' GTK file choosers on a private Xvfb display with xdotool, and reads
# back what was typed through the X primary selection with xclip. Source it; it starts the display
# at once and stops it on exit. Every wait is for a condition, up to $patience seconds.

export NO_AT_BRIDGE=1 GDK_BACKEND=x11 GTK_USE_PORTAL=0
work=$(mktemp -d /tmp/gtk-e2e.XXXXXX)

# How long to wait for a dialog to appear or a program to end; raise it for gigabyte files.
patience=${patience:-20}

# Runs "$@" until it succeeds, for up to $patience s; returns 1 when the time is up.
wait_for() {
    local deadline=$((SECONDS + patience))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

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
    wait_for test -s "$work/display" || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
}
start_display

fail() {
    echo "FAIL: $*" >&2
    import -window root "$work/../gtk-e2e-failure.png" 2>/dev/null && echo "screenshot: /tmp/gtk-e2e-failure.png" >&2
    exit 1
}

# Prints the id of the named, visible window of process $1 other than $2, waiting up to $patience s.
# Completion pop-ups have no name and are skipped.
wait_dialog() {
    local pid=$1 previous=${2:-} window name deadline=$((SECONDS + patience))
    while ((SECONDS < deadline)); do
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

window_gone() { ! window_visible "$1" "$2"; }

# The X primary selection: the text selected last, offered by the program that holds it.
primary_selection() {
    xclip -o -selection primary -t UTF8_STRING 2>/dev/null
}

# Whether the focused text field of dialog window $1 holds exactly $2. Selecting the whole text
# (ctrl+a) makes GTK offer it as the primary selection. GTK takes keys in the order they come, so
# once the text is seen there, every key typed before it has been handled.
field_holds() {
    xdotool key --window "$1" ctrl+a 2>/dev/null
    [ "$(primary_selection)" = "$2" ]
}

# Types a full path into dialog window $1, and waits until its field holds exactly that path. The
# open dialog's location field opens on a first '/' and takes keys only once it is there, so the
# slash goes alone and the rest follows once the field shows it. The field completes names inline
# as they are typed; a completion left over at the end is taken off again. The path is left
# selected, so the primary selection shows when the dialog empties the field.
type_path() {
    local window=$1 path=$2 text deadline=$((SECONDS + patience))
    xdotool windowfocus --sync "$window"
    xdotool type --window "$window" /
    wait_for field_holds "$window" / || fail "the dialog's field did not take a '/'"
    xdotool key --window "$window" End
    xdotool type --window "$window" --delay 30 "${path#/}"
    xdotool key --window "$window" Delete
    until field_holds "$window" "$path"; do
        text=$(primary_selection)
        if [ "${text#"$path"}" != "$text" ] && [ ${#text} -gt ${#path} ]; then
            xdotool key --window "$window" End
            xdotool key --window "$window" --repeat $((${#text} - ${#path})) BackSpace
        fi
        ((SECONDS < deadline)) || fail "the dialog's field holds \"$text\", not \"$path\""
        sleep 0.1
    done
}

# Sends key $2 to dialog window $1 until "${@:3}" holds: once, and again (up to three times in all)
# only if it does not hold a third of the patience later. Nothing else is sent to the dialog
# meanwhile: a key that follows Return at once can stop the dialog from acting on it. Returns 1 if
# the condition never holds.
press_until() {
    local window=$1 key=$2 deadline
    shift 2
    for _ in 1 2 3; do
        "$@" && return 0
        xdotool windowfocus --sync "$window" 2>/dev/null
        xdotool key "$key"
        deadline=$((SECONDS + patience / 3))
        while ((SECONDS < deadline)); do
            "$@" && return 0
            sleep 0.1
        done
    done
    return 1
}

# Types a full path into the dialog $2 of process $1 and accepts it.
choose_path() {
    type_path "$2" "$3"
    press_until "$2" Return window_gone "$1" "$2"
}

# Cancels the dialog $2 of process $1.
cancel_dialog() {
    press_until "$2" Escape window_gone "$1" "$2" || fail "the dialog $2 did not close on Escape"
}

process_ended() { ! kill -0 "$1" 2>/dev/null; }

# Waits up to $patience s for process $1, a child of this shell, to end; sets exit_code.
wait_exit() {
    local pid=$1
    wait_for process_ended "$pid" || { kill "$pid"; fail "process $pid did not end"; }
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

# Program $1 takes input $2 in its open dialog, then must end without showing the save dialog:
# until it ends (within the patience), no further dialog may appear.
run_refusing_input() {
    local program=$1 input=$2 second
    start_to_open_dialog "${@:3}" "$program"
    choose_path "$pid" "$first" "$input" || fail "$program did not take the input $input"
    second=$(wait_dialog "$pid" "$first") && { kill "$pid"; fail "$program showed the save dialog for the input $input"; }
    expect_silent_exit "$program"
}

# Whether dialog $2 of process $1 has done something with the path $3 typed into it: closed (it
# took the path), or emptied its field (it opened the folder), so that the path is no longer the
# selected text.
dialog_acted_on() {
    window_gone "$1" "$2" || [ "$(primary_selection)" != "$3" ]
}

# The dialog of process $1, window $2, does not accept path $3 (a folder: it opens it instead);
# the dialog is then cancelled.
dialog_keeps_open_on() {
    local pid=$1 window=$2 path=$3
    type_path "$window" "$path"
    press_until "$window" Return dialog_acted_on "$pid" "$window" "$path" || fail "the dialog did nothing with $path"
    window_visible "$pid" "$window" || fail "the dialog accepted the folder $path"
    cancel_dialog "$pid" "$window"
}

# What a folder holds, deep: each name with its kind, mode, size, time, link target and content's
# checksum, to show that a run left everything as it was.
folder_state() {
    find "$1" -mindepth 1 \( -type d -printf '%P %y %m\n' \) -o \( -printf '%P %y %m %s %T@ %l ' -a \
        \( -type f -exec sh -c 'md5sum < "$1"' _ {} \; -o -printf '\n' \) \) | LC_ALL=C sort
}
