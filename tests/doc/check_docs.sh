#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The manual pages render without a warning, and they and the bash completion
# scripts name every option and command of the programs' tables (asked of the
# built programs with --list-options, so neither can fall behind the code); no
# option is a prefix of --help or --version; every page carries the version,
# the packaged sections and its see-also tools. What the completion offers:
# completion_pty.py.
#   check_docs.sh SOURCE-DIR XTL-MAINT VEXBENCH
set -uo pipefail
src=$1 maint=$2 bench=$3
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for page in xtl-maint vexbench; do
  warn=$(groff -man -ww -z "$src/man/$page.8" 2>&1)
  [[ -z $warn ]] || fail "$page.8 renders with warnings: $warn"
done

# --list-options prints one tab-separated line per row: "option --NAME -L ...",
# "command WORDS ..." (xtl-maint) and "letter -L ..." (vexbench).
maint_list=$("$maint" --list-options) || fail "xtl-maint --list-options failed"
bench_list=$("$bench" --list-options) || fail "vexbench --list-options failed"
field() { awk -F'\t' -v kind="$1" -v n="$2" '$1 == kind && $n != "" { sub(/^--?/, "", $n); print $n }'; }
maint_long=$(field option 2 <<<"$maint_list")
maint_short=$(field option 3 <<<"$maint_list")
maint_cmds=$(field command 2 <<<"$maint_list")  # one per line: "log copy"
bench_long=$(field option 2 <<<"$bench_list")
bench_short=$(field letter 2 <<<"$bench_list")
# The extraction must find at least the tables as they stand today.
(($(wc -w <<<"$maint_long") >= 35 && $(wc -w <<<"$maint_short") >= 1 &&
  $(wc -w <<<"$bench_long") >= 20 && $(wc -w <<<"$bench_short") >= 11 &&
  $(wc -l <<<"$maint_cmds") >= 15)) ||
  fail "option tables not listed as expected (maint $(wc -w <<<"$maint_long"), vexbench $(wc -w <<<"$bench_long") + $(wc -w <<<"$bench_short"), commands $(wc -l <<<"$maint_cmds"))"

# In roff a dash is "\-"; an option is listed when it stands as a word of its
# own (so "--ecc" counts only if it appears apart from "--ecc5").
in_page() {  # in_page PAGE NAME
  local esc=${2//-/\\\\-}
  grep -v '^\.\\"' "$1" >"$work/page"
  grep -qE "(^|[^-])\\\\-${esc}([^a-z0-9_]|\$)" "$work/page"
}
in_completion() {  # in_completion FILE WORD
  grep -qE "(^|[[:space:]\"])${2}([[:space:]\"]|\$)" "$1"
}
check_prog() {  # check_prog NAME LONG SHORT
  local name=$1 o
  for o in $2 help version; do
    in_page "$src/man/$name.8" "-$o" || fail "$name.8 does not list --$o"
    in_completion "$src/completion/$name" "--$o" || fail "completion/$name does not offer --$o"
  done
  for o in $3; do
    in_page "$src/man/$name.8" "$o" || fail "$name.8 does not list -$o"
    in_completion "$src/completion/$name" "-$o" || fail "completion/$name does not offer -$o"
  done
  for o in $2; do
    # The tables match by prefix: a name that begins --help or --version
    # would take the word before the whole-word check could.
    [[ help != "$o"* && version != "$o"* ]] || fail "--$o is a prefix of --help or --version"
  done
}
check_prog xtl-maint "$maint_long" "$maint_short"
check_prog vexbench "$bench_long" "$(grep -v p <<<"$bench_short")"  # -p is refused
in_page "$src/man/vexbench.8" p || fail "vexbench.8 does not say that -p is refused"
while read -r c; do
  grep -qE "^\.B(I)? \"?(log )?${c//-/\\\\-}" "$src/man/xtl-maint.8" || fail "xtl-maint.8 has no entry for $c"
  [[ $c == convert ]] || in_completion "$src/completion/xtl-maint" "${c#log }" || fail "completion/xtl-maint does not offer $c"
done <<<"$maint_cmds"

# Every page: the project's version in the footer, a NAME line that whatis
# shows whole on an 80-column terminal, the sections a packaged page has, and
# the tools a reader of these pages goes on to.
version=$(sed -nE 's/^project\(xtl VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")
for page in "$src"/man/*.[18]; do
  name=$(basename "$page")
  grep -qE "^\.TH [^ ]+ [18] [^ ]+ \"xtl-tools $version\"" "$page" || fail "$name: footer without xtl-tools $version"
  whatis=$(sed -n '/^\.SH NAME/{n;p}' "$page" | sed -E 's/\\-/-/g; s/^([^ ]+) - /\1 (x) - /')
  ((${#whatis} <= 80)) || fail "$name: NAME line too long for whatis (${#whatis}): $whatis"
  for sec in ENVIRONMENT AUTHORS '"REPORTING BUGS"' '"SEE ALSO"'; do
    grep -qx "\.SH $sec" "$page" || fail "$name: no section $sec"
  done
done
for page in xtl-maint.8 vexbench.8; do
  for ref in 'fio (1)' 'blkid (8)' 'wipefs (8)'; do
    grep -q "^\.BR $ref" "$src/man/$page" || fail "$page: $ref not in SEE ALSO"
  done
done
sed -n '/^\.SH EXAMPLES/,/^\.SH/p' "$src/man/xtl-maint.8" | grep -q '^xtl-maint check ' ||
  fail "xtl-maint.8: no check example"

if ((fails > 0)); then
  echo "$fails check(s) failed"
  exit 1
fi
echo "manual pages and completion: every option of both tables present"
