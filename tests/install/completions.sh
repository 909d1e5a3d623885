#!/usr/bin/env bash
# quillora-get's shell completions: bash loads its file without an error and
# completes --al to --album, --li to --list, and album names after --album
# from quillora-get --list (a stand-in program answers it); fish and zsh
# accept theirs, and fish completes --al too.
#   completions.sh SOURCE_DIR
set -euo pipefail
dir=$1/tools/quillora-get/completions
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "completions: $*" >&2; status=1; }

# A stand-in quillora-get whose --list answers at once, as the real one does for an account.
cat > "$scratch/quillora-get" <<'STUB'
#!/bin/sh
[ "$1" = --list ] && printf '1\t旅行\t25\tdesc\n2\t家人 与 朋友\t8\tdesc\n' && exit 0
exit 2
STUB
chmod +x "$scratch/quillora-get"

complete_bash() { # the words of the command line; prints the completions, one a line
  env -i PATH="$scratch:$PATH" LC_ALL=C.UTF-8 bash --norc --noprofile -c '
    source "$1" || exit 3
    shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _quillora_get
    printf "%s\n" "${COMPREPLY[@]}"' bash "$dir/quillora-get.bash" "$@" 2>"$scratch/err"
}

errors=$(env -i bash --norc --noprofile -c 'source "$1" && complete -p quillora-get' bash "$dir/quillora-get.bash" 2>&1 >/dev/null)
[ -z "$errors" ] || fail "bash: loading printed: $errors"
got=$(complete_bash quillora-get --al); [ "$got" = --album ] || fail "bash: --al gave '$got'"
got=$(complete_bash quillora-get --li); [ "$got" = $'--list\n--limit-rate' ] || fail "bash: --li gave '$got'"
got=$(complete_bash quillora-get --limit-r); [ "$got" = --limit-rate ] || fail "bash: --limit-r gave '$got'"
got=$(complete_bash quillora-get quillora --album 家); [ "$got" = '家人\ 与\ 朋友' ] || fail "bash: album 家 gave '$got'"
got=$(complete_bash quillora-get -j 4 quillora --match ''); [ "$(wc -l <<<"$got")" -eq 2 ] || fail "bash: albums gave '$got'"
got=$(complete_bash quillora-get --album ''); [ -z "$got" ] || fail "bash: albums without an account gave '$got'"
[ ! -s "$scratch/err" ] || fail "bash: completing printed: $(cat "$scratch/err")"

if command -v fish >/dev/null; then
  fish --no-config -n "$dir/quillora-get.fish" || fail "fish: the file does not parse"
  got=$(HOME=$scratch fish --no-config -c "source '$dir/quillora-get.fish'; complete -C'quillora-get --al'" 2>&1 | cut -f1)
  [ "$got" = --album ] || fail "fish: --al gave '$got'"
else
  fail "fish is not installed (scripts/setup.sh installs it)"
fi
if command -v zsh >/dev/null; then
  zsh -n "$dir/_quillora-get" || fail "zsh: the file does not parse"
  out=$(HOME=$scratch zsh -f -c "fpath=('$dir' \$fpath); autoload -Uz compinit; compinit -u -d '$scratch/zcomp'; [[ \${_comps[quillora-get]} == _quillora-get ]]" 2>&1) ||
    fail "zsh: compinit does not take the file: $out"
else
  fail "zsh is not installed (scripts/setup.sh installs it)"
fi
[ $status -eq 0 ] && echo "completions: bash, fish and zsh complete quillora-get"
exit $status
