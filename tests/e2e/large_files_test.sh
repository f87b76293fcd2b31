#!/usr/bin/env bash
# The largest files, through the real encrypt and its GTK dialogs: a sparse file of exactly 4 GiB
# ends after the size check (no save dialog, nothing written); one of 4 GiB - 1 byte is processed
# whole (same length, sampled blocks decrypt back, the 7-byte tail unchanged). Needs 10 GiB free
# in /tmp, where the driver keeps its files, else it is skipped (exit code 77).
# Usage: large_files_test.sh ENCRYPT CHECK_ENCRYPTED
set -uo pipefail
encrypt=$1 check_encrypted=$2

free=$(df --output=avail -B1 /tmp | tail -1)
if [ "$free" -lt $((10 << 30)) ]; then
    echo "SKIPPED: the 4 GiB cases need 10 GiB free in /tmp; there are $((free >> 20)) MiB"
    exit 77
fi

patience=180
source "$(dirname "$0")/gtk_driver.sh"

four_gib=$((1 << 32))
truncate -s "$four_gib" "$work/four-gib.bin"
before=$(stat -c '%s %Y' "$work/four-gib.bin")
started=$SECONDS
run_refusing_input "$encrypt" "$work/four-gib.bin"
[ "$(stat -c '%s %Y' "$work/four-gib.bin")" = "$before" ] || fail "the 4 GiB input changed"
[ "$(ls "$work")" = "$(printf 'display\nfour-gib.bin\nprinted')" ] || fail "files appeared: $(ls "$work")"
echo "exactly 4 GiB: refused after the size check in $((SECONDS - started)) s"
rm "$work/four-gib.bin"

# Random data around each GiB boundary and at both ends, zeros (sparse) between.
largest=$((four_gib - 1))
truncate -s "$largest" "$work/largest.bin"
for at in 0 $(((1 << 30) - 4096)) $(((2 << 30) - 4101)) $(((3 << 30) - 4096)) $((largest - 8192)); do
    head -c 8192 /dev/urandom | dd of="$work/largest.bin" bs=8192 seek="$at" oflag=seek_bytes conv=notrunc status=none
done
[ "$(stat -c %s "$work/largest.bin")" = "$largest" ] || fail "could not make the 4 GiB - 1 input"
before=$(stat -c '%s %Y' "$work/largest.bin")
started=$SECONDS
run_program "$encrypt" "$work/largest.bin" "$work/largest.out"
echo "4 GiB - 1 byte: encrypted and written in $((SECONDS - started)) s (dialogs included)"
[ "$(stat -c '%s %Y' "$work/largest.bin")" = "$before" ] || fail "the input changed"
"$check_encrypted" --sample "$work/largest.bin" "$work/largest.out" || fail "the output is not the encrypted input"
echo "large files through the GTK dialogs: 2 passed, 0 failed"
