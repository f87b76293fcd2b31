#!/usr/bin/env bash
# A checkout configured without a key makes its own key file: 16 random bytes as hex, mode 0600,
# ignored by git, used again by every later configure and every other build folder, never
# replaced. A second checkout gets another key, and configure shows another fingerprint. A
# malformed, unreadable or lost key file stops the configure step with a message and stays as it was.
# Every build folder that configure makes is for its owner alone (mode 0700).
# Usage: fresh_checkouts_test.sh SOURCE_DIR. Configures only (no build), in copies under a temp folder.
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# What a fresh clone of the checkout holds: its files that are tracked or not ignored (so an ignored
# key file and the build folders stay behind; a tracked key file would come along).
checkout() {
    mkdir "$work/$1"
    (cd "$source" && git ls-files -z -co --exclude-standard | tar -c --null -T -) | tar -x -C "$work/$1"
    git -C "$work/$1" init -q
}
# configure CHECKOUT BUILD_FOLDER: its output goes to $work/CHECKOUT-BUILD_FOLDER.log.
configure() {
    cmake -S "$work/$1" -B "$work/$1/$2" -DBUILD_TESTING=OFF > "$work/$1-$2.log" 2>&1
}
must_fail() {  # must_fail CHECKOUT BUILD_FOLDER MESSAGE
    if configure "$1" "$2"; then fail "configure of $1/$2 succeeded, expected: $3"; fi
    # CMake wraps its error messages: compare with the lines joined.
    tr -s ' \n' '  ' < "$work/$1-$2.log" | grep -qF -- "$3" || { cat "$work/$1-$2.log" >&2; fail "configure of $1/$2 did not say: $3"; }
}

checkout first
checkout second
[[ ! -e $work/first/blowfish.key ]] || fail "the checkout's copy already holds a key file: is it tracked?"

configure first build || { cat "$work/first-build.log" >&2; fail "the first configure failed"; }
key_file=$work/first/blowfish.key
[[ $(stat -c %a "$key_file") == 600 ]] || fail "the key file $key_file is missing or has another mode than 600"
[[ $(cat "$key_file") =~ ^[0-9a-f]{32}$ && $(stat -c %s "$key_file") == 33 ]] ||
    fail "the key file does not hold 32 hex digits and a line break: $(od -c "$key_file" | head -3)"
git -C "$work/first" check-ignore -q blowfish.key || fail "git does not ignore the key file"
for said in "made now from 16 random bytes, in the key file $key_file" "can be decrypted only by programs built with the same key: keep a copy"; do
    grep -qF "$said" "$work/first-build.log" || fail "the configure step did not say: $said"
done
cp -p "$key_file" "$work/first.key"
[[ $(stat -c %a "$work/first/build") == 700 ]] || fail "the build folder's mode is $(stat -c %a "$work/first/build"), not 700"

configure second build || { cat "$work/second-build.log" >&2; fail "the second checkout's configure failed"; }
[[ -f $work/second/blowfish.key ]] || fail "no key file in the second checkout"
cmp -s "$key_file" "$work/second/blowfish.key" && fail "two fresh checkouts got the same key"
# Each configure shows its key's fingerprint, computed here by sha256sum: they differ.
fingerprints=()
for checkout in first second; do
    fingerprint=$(printf 'blowfish-files key fingerprint v1:%s' "$(cat "$work/$checkout/blowfish.key")" | sha256sum | cut -c1-8)
    grep -qF -- "-- Key fingerprint: $fingerprint (files made by a build with fingerprint $fingerprint need a build with fingerprint $fingerprint" \
        "$work/$checkout-build.log" || { grep -i fingerprint "$work/$checkout-build.log" >&2; fail "the $checkout configure did not show the fingerprint $fingerprint"; }
    fingerprints+=("$fingerprint")
done
[[ ${fingerprints[0]} != "${fingerprints[1]}" ]] || fail "two fresh checkouts show the same fingerprint ${fingerprints[0]}"

# Later configures, of the same build folder and of another one, use the same key file.
configure first build || fail "configuring again failed"
configure first other-build || fail "configuring a second build folder failed"
cmp -s "$key_file" "$work/first.key" || fail "configuring again changed the key file"
[[ $(stat -c %a "$work/first/other-build") == 700 ]] || fail "the second build folder's mode is not 700"
grep -qF -- "-- Blowfish key: 16 bytes, in the key file $key_file" "$work/first-other-build.log" ||
    fail "the second build folder did not take the checkout's key file"

# A malformed key file stops the configure step and stays as it was.
malformed() {  # malformed CONTENT COMPLAINT
    printf '%s' "$1" > "$key_file"
    cp -p "$key_file" "$work/malformed.key"
    must_fail first build "The key file $key_file $2"
    cmp -s "$key_file" "$work/malformed.key" || fail "the malformed key file '$1' was changed"
}
malformed "" "is empty"
malformed $'not a key\n' "is not hex"
malformed $'0011\n' "is too short"
ln -sf "$work/nowhere" "$key_file"
must_fail first build "The key file $key_file does not exist"
[[ -L $key_file && ! -e $work/nowhere ]] || fail "a dangling link as the key file was replaced or followed"

# An unreadable one (as the user nobody when run as root, who may read any file).
rm "$key_file"
cp -p "$work/first.key" "$key_file"
chmod 000 "$key_file"
as_user=()
if ((EUID == 0)); then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    chmod 755 "$work" "$work/first"
fi
# The copy's own script, in a folder the user may enter (the checkout's may be closed to it).
if (cd "$work" && "${as_user[@]}" cmake -DBLOWFISH_KEY_FILE="$key_file" -P "$work/first/cmake/blowfish_key.cmake") > "$work/unreadable.log" 2>&1; then
    fail "an unreadable key file was accepted"
fi
tr -s ' \n' '  ' < "$work/unreadable.log" | grep -qF "The key file $key_file cannot be read" || { cat "$work/unreadable.log" >&2; fail "no message for an unreadable key file"; }

# A lost key file is not made anew for a build folder that was configured with it.
rm "$key_file"
must_fail first build "The key file $key_file, which this build folder was configured with, is gone"
[[ ! -e $key_file ]] || fail "a new key file was made in place of the lost one"

# The new key is never in a file another user could open, not for a moment: a configure under
# umask 0022, watched by strace, replayed call by call.
checkout third
(umask 0022 && strace -f -qq -o "$work/third.trace" \
    -e trace=openat,open,creat,mkdir,mkdirat,chmod,fchmod,fchmodat,rename,renameat,renameat2,link,linkat \
    cmake -S "$work/third" -B "$work/third/build" -DBUILD_TESTING=OFF > "$work/third-build.log" 2>&1) ||
    { cat "$work/third-build.log" >&2; fail "the configure under strace failed"; }
"$(dirname "$0")/key_file_never_readable.py" "$work/third.trace" "$work/third/blowfish.key" 0022 ||
    fail "the new key file could be read by others while it was made"

echo "fresh checkouts: two different keys and fingerprints, mode 600, ignored by git, kept by later configures; malformed, unreadable and lost key files refused"
