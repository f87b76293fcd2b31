#!/usr/bin/env bash
# Runs shellcheck (path given), at its default strictness, over every shell script in scripts/ and
# tests/ of the source tree (path given): files named *.sh and files whose first line starts a shell.
set -euo pipefail
shellcheck=$1
cd "$2"
scripts=()
while IFS= read -r -d '' file; do
    if [[ "$file" == *.sh || -n "$(sed -En '1{/^#!.*[/ ](ba|da)?sh( |$)/p;q}' "$file")" ]]; then
        scripts+=("$file")
    fi
done < <(find scripts tests -type f -print0 | sort -z)
((${#scripts[@]})) || { echo "no shell scripts found under scripts/ and tests/"; exit 1; }
echo "shellcheck over ${#scripts[@]} scripts: ${scripts[*]}"
"$shellcheck" "${scripts[@]}"
