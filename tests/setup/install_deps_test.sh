#!/usr/bin/env bash
# Runs scripts/install-deps (path given) on simulated Debian 12 machines. dpkg-query, dpkg and
# apt-get are replaced by stand-ins that answer as the machine would and record what they are asked
# to do; /etc/apt is replaced by the case's own copy inside a private mount namespace (where the
# stand-ins are also mounted over the real programs). Nothing on this machine changes.
set -euo pipefail
install_deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
namespace=(unshare -m --propagation private)
((EUID == 0)) || namespace=(unshare -r -m --propagation private)
"${namespace[@]}" true 2>/dev/null || { echo "no private mount namespace can be made here"; exit 77; }

mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/bash
# Lists the installed packages among those asked for (status, package:architecture, version).
for package in "${@:3}"; do
    if [[ "$INSTALLED" == "*" || " $INSTALLED " == *" $package "* ]]; then
        [[ "$package" == *:* ]] || package=$package:amd64
        printf 'install ok installed\t%s\t%s\n' "$package" "$([[ $package == qemu* ]] && echo "$QEMU_VERSION" || echo 1.0-1)"
    else
        echo "dpkg-query: no packages found matching $package" >&2 && missing=1
    fi
done
exit ${missing:-0}
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/sh
case "$1" in
    --print-architecture) echo amd64 ;;
    --print-foreign-architectures) printf '%s\n' $FOREIGN ;;
    *) echo "ran: dpkg $*" >>"$LOG" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "ran: apt-get $*" >>"$LOG"
[ "$1" = update ] || [ -z "$APT_FAILS" ] || { echo "E: Unable to locate package" >&2; exit 100; }
EOF
chmod +x "$work/bin"/*

# The machine's own entries: deb822 as on cloud images, one-line as the installer writes them.
mkdir -p "$work/deb822/sources.list.d" "$work/one-line/sources.list.d" "$work/backports-there/sources.list.d"
cat >"$work/deb822/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://security.example.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
# A comment inside the stanza
URIs: http://archive.example.org/debian
Suites: bookworm bookworm-updates
Components: main contrib non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
cat >"$work/one-line/sources.list" <<'EOF'
# deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 NETINST]/ bookworm main non-free-firmware
deb http://security.example.org/debian-security bookworm-security main non-free-firmware
deb [signed-by=/usr/share/keyrings/example.gpg] http://archive.example.org/debian/ bookworm main non-free-firmware # the archive
deb-src http://archive.example.org/debian/ bookworm main non-free-firmware
EOF
cp "$work/one-line/sources.list" "$work/backports-there/"
echo "deb http://archive.example.org/debian/ bookworm-backports main" >"$work/backports-there/sources.list.d/b.list"
# The backports entry each format must get.
cat >"$work/deb822.expected" <<'EOF'
Types: deb
URIs: http://archive.example.org/debian
Suites: bookworm-backports
Components: main contrib non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
echo "deb [signed-by=/usr/share/keyrings/example.gpg] http://archive.example.org/debian/ bookworm-backports main non-free-firmware" \
    >"$work/one-line.expected"

test_set='install .* wine32:i386 .*shellcheck .*libgtk-3-dev:arm64;add-architecture i386;add-architecture arm64;-t bookworm-backports qemu-user qemu-user-static$'
# case | argument | sources | installed ("*": all) | qemu version | foreign architectures | apt-get install fails |
# exit code | backports entry written | what the output and the stand-ins' record must show (ERE, ";"
# between) | what they must not show
cases=(
    "empty machine, deb822 entries||deb822||||no|0|sources|$test_set|"
    "empty machine, one-line entries||one-line||||no|0|list|$test_set|"
    "everything installed||deb822|*|1:10.0.2+ds-2~bpo12+1|i386|no|0|||."
    "Linux set on an empty machine|--linux|deb822||||no|0||^ran: apt-get update;install .* libgtk-3-dev|wine|mingw|i386|backports"
    "old qemu, i386, arm64 and backports there||backports-there|cmake make qemu-user qemu-user-static|1:7.2+dfsg-7|i386 arm64|no|0||install .* wine32:i386;-t bookworm-backports qemu-user qemu-user-static$| cmake( |$)|add-architecture"
    "failing apt-get|--linux|deb822||||yes|100||failed while installing .*apt-get install|done"
)

failures=0
for row in "${cases[@]}"; do
    IFS='|' read -r name argument sources installed qemu foreign apt_fails code written must must_not <<<"$row"
    machine=$work/machine
    rm -rf "$machine" && cp -r "$work/$sources" "$machine" && : >"$work/log"
    # shellcheck disable=SC2016
    LOG=$work/log INSTALLED=$installed QEMU_VERSION=$qemu FOREIGN=$foreign APT_FAILS=${apt_fails#no} \
        PATH="$work/bin:$PATH" "${namespace[@]}" bash -c '
            mount --bind "$1" /etc/apt && for program in dpkg-query dpkg apt-get; do
                mount --bind "$2/$program" "$(command -v -p "$program")" || exit 99; done && shift 2 && exec "$@"' \
        _ "$machine" "$work/bin" "$install_deps" ${argument:+"$argument"} >"$work/output" 2>&1 && status=0 || status=$?
    cat "$work/output" >>"$work/log"
    problems=()
    ((status == code)) || problems+=("exit code $status, not $code")
    IFS=';' read -ra patterns <<<"$must"
    for pattern in "${patterns[@]}"; do grep -Eq -- "$pattern" "$work/log" || problems+=("nothing matches /$pattern/"); done
    [[ -z "$must_not" ]] || ! grep -Eq -- "$must_not" "$work/log" || problems+=("something matches /$must_not/")
    added=$(find "$machine" -name 'bookworm-backports*')
    if [[ -n "$written" ]]; then
        cmp -s "$machine/sources.list.d/bookworm-backports.$written" "$work/$sources.expected" ||
            problems+=("the backports entry differs from $(tr '\n' ' ' <"$work/$sources.expected")")
    elif [[ -n "$added" ]]; then
        problems+=("a backports entry was written: $added")
    fi
    if ((${#problems[@]})); then
        failures=$((failures + 1))
        printf 'FAILED: %s: %s\n' "$name" "${problems[*]/%/;}"
        for file in "$work/log" $added; do sed "s|^|    ${file##*/}: |" "$file"; done
    else
        echo "passed: $name"
    fi
done
exit $((failures > 0))
