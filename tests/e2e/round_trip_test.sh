#!/usr/bin/env bash
# The real encrypt and decrypt, driven through their GTK dialogs: a 1,003-byte file comes back.
# Usage: round_trip_test.sh ENCRYPT DECRYPT
set -uo pipefail
encrypt=$1 decrypt=$2
source "$(dirname "$0")/gtk_driver.sh"

head -c 1003 /dev/urandom > "$work/in.bin"
run_program "$encrypt" "$work/in.bin" "$work/encrypted.bin"
run_program "$decrypt" "$work/encrypted.bin" "$work/decrypted.bin"

[ "$(stat -c %s "$work/encrypted.bin")" = 1003 ] || fail "the encrypted file is not 1,003 bytes"
cmp -s <(head -c 1000 "$work/in.bin") <(head -c 1000 "$work/encrypted.bin") && fail "the blocks were not encrypted"
cmp -s <(tail -c 3 "$work/in.bin") <(tail -c 3 "$work/encrypted.bin") || fail "the 3-byte tail changed"
cmp "$work/in.bin" "$work/decrypted.bin" || fail "decrypt did not restore the file"
echo "round trip of 1,003 bytes through both programs' dialogs: passed"
