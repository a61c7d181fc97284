#!/usr/bin/env bash
# Prints the CPython 3.10-or-later interpreters this machine has, one path a
# line, oldest first: the newest patch release of each minor version that
# pyenv holds (free-threaded and development builds left out), else the
# python3.N commands on PATH. Prints nothing when there is none.
set -euo pipefail
declare -A newest=()
if command -v pyenv >/dev/null; then
  root="$(pyenv root)"
  while read -r v; do
    [[ "$v" =~ ^3\.([0-9]+)\.([0-9]+)$ ]] || continue
    minor=${BASH_REMATCH[1]}
    (( minor >= 10 )) && [ -x "$root/versions/$v/bin/python3" ] || continue
    prev="${newest[$minor]:-}"
    if [ -z "$prev" ] || (( ${BASH_REMATCH[2]} > ${prev##*.} )); then newest[$minor]="$v"; fi
  done < <(pyenv versions --bare)
  for minor in $(printf '%s\n' "${!newest[@]}" | sort -n); do
    echo "$root/versions/${newest[$minor]}/bin/python3"
  done
fi
if [ ${#newest[@]} = 0 ]; then
  for minor in $(seq 10 20); do
    command -v "python3.$minor" || true
  done
fi
