#!/usr/bin/env bash
# Makes the Debian package from the build folder with cpack, then checks it in a scratch root: its
# control fields (GTK 3 among the dependencies), exactly the two programs and their desktop
# entries, programs that carry the key's schedule and start, and that apt would install it.
# Usage: debian_package_test.sh BUILD_DIR SOURCE_DIR PYTHON KEY_ARGUMENTS...
# (KEY_ARGUMENTS as tests/key/check_schedule.py takes them: --key HEX or --key-file PATH)
set -euo pipefail
build=$1 source=$2 python=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -f "$build"/blowfish-files_*.deb
(cd "$build" && cpack -G DEB) > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
packages=("$build"/blowfish-files_*.deb)
[[ ${#packages[@]} == 1 && -f ${packages[0]} ]] || fail "cpack made ${packages[*]}, not one package"
deb=${packages[0]}
echo "package: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == blowfish-files ]] || fail "Package: $(field Package)"
[[ $(field Architecture) == $(dpkg --print-architecture) ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Version) && -n $(field Maintainer) && -n $(field Description) ]] || fail "Version, Maintainer or Description missing"
depends=$(field Depends)
echo "Depends: $depends"
for needed in libgtk-3-0 libglib2.0-0 libc6; do
    [[ ", $depends" == *", $needed "* || ", $depends," == *", $needed,"* ]] || fail "Depends does not name $needed: $depends"
done

root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . -type f -o -type l | sort | tr '\n' ' ')
expected="./usr/bin/decrypt ./usr/bin/encrypt ./usr/share/applications/decrypt.desktop ./usr/share/applications/encrypt.desktop "
[[ $files == "$expected" ]] || fail "the package holds $files, not $expected"
for program in encrypt decrypt; do
    [[ $(stat -c %a "$root/usr/bin/$program") == 755 ]] || fail "$program has mode $(stat -c %a "$root/usr/bin/$program")"
    entry=$root/usr/share/applications/$program.desktop
    cmp -s "$entry" "$source/programs/$program/$program.desktop" || fail "$program.desktop differs from the source's"
    grep -qx "Exec=$program" "$entry" || fail "$program.desktop does not start $program"
    desktop-file-validate "$entry" || fail "$program.desktop is not a valid desktop entry"
    # With no display the program ends at once, silently, with code 0.
    status=0
    (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "$root/usr/bin/$program" > "$work/out" 2>&1) || status=$?
    [[ $status == 0 && ! -s $work/out ]] || fail "the packaged $program without a display ended with $status: $(head -c 300 "$work/out")"
done
"$python" "$source/tests/key/check_schedule.py" "$@" "$root/usr/bin/encrypt" "$root/usr/bin/decrypt"

# What `apt install ./<file>.deb` would do, simulated: the dependencies can be met here.
apt-get -s install "$deb" > "$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt would not install $deb"; }
grep -q "^Inst blowfish-files " "$work/apt.log" || { cat "$work/apt.log" >&2; fail "apt would not install blowfish-files"; }
echo "debian package: fields, files, desktop entries, key schedule, programs start, apt would install it"
