#!/usr/bin/env bash
# With no display the chooser cannot open: each program ends at once, silently, with code 0.
# Usage: no_display_test.sh PROGRAM...
set -uo pipefail
for program in "$@"; do
    printed=$(cd "$(mktemp -d)" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$program" 2>&1)
    code=$?
    [ "$code" = 0 ] || { echo "FAIL: $program ended with $code"; exit 1; }
    [ -z "$printed" ] || { echo "FAIL: $program printed: $printed"; exit 1; }
done
echo "no display: every program ended silently with code 0"
