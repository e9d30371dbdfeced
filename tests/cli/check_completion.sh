#!/usr/bin/env bash
# The bash completion of dovrel: it registers itself, completes an action
# name, an action's options (the same ones `dovrel help ACTION` lists), the
# values of --format, and file names.
#
# Usage: check_completion.sh DOVREL COMPLETION_SCRIPT WORKDIR
set -u
dovrel=$1 script=$2 work=$3
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work" && mkdir -p "$work/sets" && cd "$work" || fail "cannot make $work"
touch library.pdb library.json other.txt

# shellcheck source=/dev/null
source "$script" || fail "cannot source $script"
complete -p dovrel | grep -q -- '-F _dovrel' || fail "complete -p dovrel: $(complete -p dovrel 2>&1)"

# Completes the words given (the last one is completed); sets $got to the
# sorted candidates, one line each.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _dovrel
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
}
expect() {
  local want
  want=$(printf '%s\n' "${@:2}" | sort)
  [[ $got == "$want" ]] || fail "$1: got [${got//$'\n'/ }], want [${want//$'\n'/ }]"
}

complete_words dovrel pa && expect "an action prefix" patch
complete_words dovrel s && expect "actions with s" salvage scan
complete_words dovrel patch library.pdb --keep && expect "an option prefix" --keep-playlists --keep-tracks
complete_words dovrel read library.pdb --format t && expect "read's --format" table tree
complete_words dovrel export library.pdb --format "" && expect "export's --format" csv html m3u8
complete_words dovrel read lib && expect "file names" library.json library.pdb
complete_words dovrel scan . --folder s && expect "folder names" sets
complete_words dovrel help ex && expect "help ACTION" export

# Every action's options are the ones its usage lists.
for action in read build patch edit check salvage scan export; do
  complete_words dovrel "$action" -
  mapfile -t listed < <("$dovrel" help "$action" | grep -oE '^  (-[a-z], )?--[a-z-]+' | grep -oE -- '-[a-z]$|--[a-z-]+|-[a-z],' | tr -d ,)
  expect "$action's options" "${listed[@]}"
done
echo "ok: bash completes dovrel's actions, options, formats and files"
