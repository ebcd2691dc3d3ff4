#!/usr/bin/env bash
# The manual pages render without a warning, and they and the bash completion
# scripts name every option of the two option tables (read from the sources,
# so neither can fall behind the code); no option is a prefix of --help or
# --version; the completion offers what it should.
#   check_docs.sh SOURCE-DIR
set -uo pipefail
src=$1
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for page in xtl-maint vexbench; do
  warn=$(groff -man -ww -z "$src/man/$page.8" 2>&1)
  [[ -z $warn ]] || fail "$page.8 renders with warnings: $warn"
done

# Text between a line matching START and the next line "};" (or "}" for a
# function body).
block() { awk -v s="$2" -v e="$3" '$0 ~ s { on = 1 } on { print } on && $0 ~ e && $0 !~ s { exit }' "$1"; }
maint_long=$(block "$src/maint/cmdline.cpp" 'PARM_DEF ParmDef\[\] = \{' '^};' |
  grep -oE '\{(0|'"'"'.'"'"'), "[^"]+"' | sed -E 's/.*"([^"]+)"/\1/')
maint_short=$(block "$src/maint/cmdline.cpp" 'PARM_DEF ParmDef\[\] = \{' '^};' |
  grep -oE "\{'.'" | cut -c3)
maint_cmds=$({ block "$src/maint/cmdline.cpp" 'const char \*const CmdLst\[\]' '};'
  block "$src/maint/cmdline.cpp" 'const char \*const CmdLstLog\[\]' '};'; } |
  grep -oE '"[a-z-]+"' | tr -d '"')
bench_long=$(block "$src/bench/cmdline.cpp" 'LongOpt kLongOpts\[\] = \{' '^};' |
  grep -oE '\{"[^"]+"' | tr -d '{"')
bench_short=$(block "$src/bench/cmdline.cpp" '^void ScanFlags' '^}' | grep -oE "case '.'" | cut -c7)
# The extraction must find at least the tables as they stand today.
(($(wc -w <<<"$maint_long") >= 35 && $(wc -w <<<"$maint_short") >= 1 &&
  $(wc -w <<<"$bench_long") >= 20 && $(wc -w <<<"$bench_short") >= 11 &&
  $(wc -w <<<"$maint_cmds") >= 12)) ||
  fail "option tables not found where expected (maint $(wc -w <<<"$maint_long"), vexbench $(wc -w <<<"$bench_long") + $(wc -w <<<"$bench_short"), commands $(wc -w <<<"$maint_cmds"))"

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
for c in $maint_cmds; do
  grep -qE "^\.B(I)? \"?(log )?${c//-/\\\\-}" "$src/man/xtl-maint.8" || fail "xtl-maint.8 has no entry for $c"
  [[ $c == convert ]] || in_completion "$src/completion/xtl-maint" "$c" || fail "completion/xtl-maint does not offer $c"
done

# What the completion offers for a line typed so far, as bash would ask with
# its default word breaks.
touch "$work/dev.img"
mkdir "$work/logs"
cat >"$work/complete.sh" <<'SH'
complete() { :; }
compopt() { :; }
source "$1"
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
COMP_LINE=$3
COMP_POINT=${#3}
"$2"
((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' '
SH
expect() {  # expect SCRIPT FUNCTION LINE WANTED
  local got
  got=$(cd "$work" && bash complete.sh "$src/completion/$1" "$2" "$3")
  [[ $got == "$4" ]] || fail "completion of '$3': got '$got', want '$4'"
}
expect xtl-maint _xtl_maint "xtl-maint " "check dev-rd dev-wt dump format log status "
expect xtl-maint _xtl_maint "xtl-maint log c" "clear copy "
expect xtl-maint _xtl_maint "xtl-maint --wtb" "--wtblkstripe= --wtblksz= "
expect xtl-maint _xtl_maint "xtl-maint format d" "dev.img "
expect xtl-maint _xtl_maint "xtl-maint format dev.img " ""
expect xtl-maint _xtl_maint "xtl-maint log copy /dev/nul" ""
expect xtl-maint _xtl_maint "xtl-maint log scan --tmpdir=l" "logs/ "
expect xtl-maint _xtl_maint "xtl-maint dev-wt dev.img l" "logs/ "
expect vexbench _vexbench "vexbench --th1" "--th10= --th1= "
expect vexbench _vexbench "vexbench -" "-b -c -e -f -h -q -r -u -w -z "
expect vexbench _vexbench "vexbench -r --tm=1 d" "dev.img "

if ((fails > 0)); then
  echo "$fails check(s) failed"
  exit 1
fi
echo "manual pages and completion: every option of both tables present"
