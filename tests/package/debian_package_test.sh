#!/usr/bin/env bash
# Makes the Debian package from the build folder with cpack, then checks it in a scratch root: its
# control fields (GTK 3 among the dependencies, the key's fingerprint in the version and the
# description), exactly the files below, programs that carry the key's schedule and start, that
# lintian finds nothing to warn of, and that apt would install it.
# Usage: debian_package_test.sh BUILD_DIR SOURCE_DIR PYTHON FINGERPRINT KEY_ARGUMENTS...
# (FINGERPRINT as configure showed it; KEY_ARGUMENTS as tests/key/check_schedule.py takes them)
# A package for another processor: PACKAGE_ARCHITECTURE names its Debian architecture, and
# PROGRAM_RUNNER the emulator its programs start under (such as qemu-aarch64).
set -euo pipefail
build=$1 source=$2 python=$3 fingerprint=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/package") > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
packages=("$work"/package/blowfish-files_*.deb)
[[ ${#packages[@]} == 1 && -f ${packages[0]} ]] || fail "cpack made ${packages[*]}, not one package"
deb=${packages[0]}
echo "package: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == blowfish-files ]] || fail "Package: $(field Package)"
architecture=${PACKAGE_ARCHITECTURE:-$(dpkg --print-architecture)}
read -ra runner <<<"${PROGRAM_RUNNER:-}"
[[ $(field Architecture) == "$architecture" ]] || fail "Architecture: $(field Architecture), not $architecture"
[[ -n $(field Version) && -n $(field Maintainer) && -n $(field Description) ]] || fail "Version, Maintainer or Description missing"
[[ $(field Version) == *+key$fingerprint-* ]] || fail "Version $(field Version) does not carry the key's fingerprint $fingerprint"
[[ $(field Description) == *"Key fingerprint: $fingerprint."* ]] || fail "the description does not give the key's fingerprint $fingerprint"
depends=$(field Depends)
echo "Depends: $depends"
for needed in libgtk-3-0 libglib2.0-0 libc6; do
    [[ ", $depends" == *", $needed "* || ", $depends," == *", $needed,"* ]] || fail "Depends does not name $needed: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
files=$(cd "$root" && find . -type f -o -type l | sort | tr '\n' ' ')
expected="./usr/bin/decrypt ./usr/bin/encrypt ./usr/share/applications/decrypt.desktop ./usr/share/applications/encrypt.desktop \
./usr/share/doc/blowfish-files/README ./usr/share/doc/blowfish-files/changelog.Debian.gz ./usr/share/doc/blowfish-files/copyright \
./usr/share/icons/hicolor/scalable/apps/blowfish-files-decrypt.svg ./usr/share/icons/hicolor/scalable/apps/blowfish-files-encrypt.svg \
./usr/share/lintian/overrides/blowfish-files ./usr/share/man/man1/decrypt.1.gz ./usr/share/man/man1/encrypt.1.gz "
[[ $files == "$expected" ]] || fail "the package holds $files, not $expected"
for program in encrypt decrypt; do
    [[ $(stat -c %a "$root/usr/bin/$program") == 755 ]] || fail "$program has mode $(stat -c %a "$root/usr/bin/$program")"
    entry=$root/usr/share/applications/$program.desktop
    cmp -s "$entry" "$source/programs/$program/$program.desktop" || fail "$program.desktop differs from the source's"
    grep -qx "Exec=$program" "$entry" || fail "$program.desktop does not start $program"
    grep -qx "Icon=blowfish-files-$program" "$entry" || fail "$program.desktop does not name the package's icon"
    zgrep -qF "with fingerprint $fingerprint" "$root/usr/share/man/man1/$program.1.gz" || fail "man $program does not give the key's fingerprint"
    desktop-file-validate "$entry" || fail "$program.desktop is not a valid desktop entry"
    # With no display the program ends at once, silently, with code 0.
    status=0
    (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "${runner[@]}" "$root/usr/bin/$program" > "$work/out" 2>&1) || status=$?
    [[ $status == 0 && ! -s $work/out ]] || fail "the packaged $program without a display ended with $status: $(head -c 300 "$work/out")"
done
grep -qF "key fingerprint $fingerprint" "$root/usr/share/doc/blowfish-files/README" || fail "the guide does not give the key's fingerprint"
"$python" "$source/tests/key/check_schedule.py" "$@" "$root/usr/bin/encrypt" "$root/usr/bin/decrypt"

# Debian's rules: no errors and no warnings (the tags overridden in the package, with their
# reasons, are in cmake/lintian-overrides).
command -v lintian > /dev/null || fail "lintian is not installed"
lintian --fail-on error,warning "$deb" > "$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian finds fault with $deb"; }
sed 's/^/lintian: /' "$work/lintian.log"

# What `apt install ./<file>.deb` would do, simulated: the dependencies can be met here.
apt-get -s install "$deb" > "$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt would not install $deb"; }
grep -Eq "^Inst blowfish-files(:$architecture)? " "$work/apt.log" || { cat "$work/apt.log" >&2; fail "apt would not install blowfish-files"; }
echo "debian package: fields, fingerprint $fingerprint, files, desktop entries, manual pages, key schedule, programs start, lintian, apt would install it"
