#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The fault sweep: runs each command of both programs once cleanly under the
# preloaded fault library (tests/fault/inject.cpp) to count its I/O calls on
# the files of the run, then again for every call N of every kind: failing it
# with EIO, halving it (reads and writes), and killing the process at it
# (writes, syncs and renames). For each case it asserts:
#   - a failed call ends with status 1 and one message (a line with "rror";
#     log post's per-entry report lines aside), never 0, a signal or a hang;
#     check's status is 1 too;
#   - a halved transfer leaves the output (digits aside for vexbench) and the
#     written bytes as the clean run had them;
#   - a failed image leaves neither the image nor its log copy;
#   - after a kill, log post and log clear run again give the clean run's
#     bytes, and a log scan after a killed log copy sees the earlier whole
#     temp file or none;
#   - the wrong-device guards of format, log post and log clear fail
#     closed: with a read of the target failed (all such reads are the
#     guard's), the command ends with status 1 and one message and the
#     target keeps its bytes;
#   - with --undo=FILE (and for undo itself, run on a log post's undo file),
#     after the clean run and after every failed, halved or killed call,
#     undo FILE (run again after a killed undo) gives back the bytes the
#     target had before, byte for byte (sha256);
#   - nothing is left: no process holding a file of the run, no new System V
#     segment of a process that is gone and not marked for removal, no partial
#     temp file (the
#     partial copy of a killed log copy aside: only SIGKILL can leave it, and
#     it never has the temp file's name).
# A failed call the command recovers from (the log scan reads a failed piece
# again sector by sector) must leave the clean run's result. A worker of
# vexbench takes a short transfer as a failed one: status 1, one message.
# Prints a table: command, call kind and action, cases, passed.
#   scripts/fault_sweep.sh [--sample] [BUILD_DIR]     (FAULT_ONLY=regex: those commands)
# --sample (the suite's ctest test) takes the first, middle and last call of
# each kind of the xtl-maint runs and of vexbench's fill, and of vexbench's
# timed runs only the failure of the first call of each kind. Without it
# every call of the xtl-maint runs is taken, and of vexbench's runs the first
# 4 calls of each kind and three spread over the rest.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sample=0
if [ "${1:-}" = --sample ]; then sample=1; shift; fi
build=${1:-$root/build}
maint=$build/maint/xtl-maint
bench=$build/bench/vexbench
lib=$build/tests/xtl_fault.so
for f in "$maint" "$bench" "$lib" "$build/tests/log_image" "$build/tests/wtblk_fill"; do
  [ -e "$f" ] || { echo "fault_sweep: $f is missing (build the tests first)"; exit 1; }
done
work=$(mktemp -d "${XTL_TEST_TMPDIR:-/var/tmp}/xtl-fault-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' TERM INT HUP
pristine=$work/pristine
mkdir "$pristine"
fails=0

# The files of each command: a log image, a temp file copied from it, an
# empty log's temp file, a formatted image, write blocks for dump and check,
# a patterned post target and log device to clear, a filled bench image.
"$build/tests/log_image" "$pristine/log.img"
truncate -s 1M "$pristine/empty.img"
mkdir "$pristine/tmp" "$pristine/old"
"$maint" log copy "$pristine/empty.img" --tmpdir="$pristine/old" >/dev/null
"$maint" log copy "$pristine/log.img" --tmpdir="$pristine/tmp" >/dev/null
truncate -s 64M "$pristine/xtl.img"
"$maint" format "$pristine/xtl.img" -q >/dev/null
"$build/tests/wtblk_fill" "$pristine/wtblk.img" 4 2 4 >/dev/null
head -c 5M /dev/zero | tr '\0' 'Z' >"$pristine/logdev.img"  # cleared in two pieces
head -c 4M "$pristine/logdev.img" >"$pristine/target.img"
truncate -s 16M "$pristine/fresh.img"
truncate -s 16M "$pristine/bench.img"
"$bench" -c --size=8 --th1=1 --th2=0 --th3=0 "$pristine/bench.img" >/dev/null

# name|kinds|files it needs|command line[|the one file whose calls count];
# C stands for the case's directory.
vb="--size=8 --tm=1 --min=4096 --max=4096 --th1=1 --th2=0 --th3=0"
cases=(
  "format|open read write sync|fresh.img|$maint format C/fresh.img -q"
  "format --autovm|open read write sync|fresh.img|$maint format C/fresh.img -q --autovm --dedupe=200 --comp=200"
  "status|open read|xtl.img|$maint status C/xtl.img"
  "dump|open read|wtblk.img|$maint dump C/wtblk.img 1"
  "check|open read|wtblk.img|$maint check C/wtblk.img --qd=1"
  "check --qd=32|open read|wtblk.img|$maint check C/wtblk.img --qd=32"
  "log copy|open read write sync rename|log.img old|$maint log copy C/log.img --tmpdir=C/old"
  "image|open read write sync rename|wtblk.img log.img|$maint image C/wtblk.img C/copy.img --log=C/log.img --qd=1"
  "log scan|open read|tmp|$maint log scan --tmpdir=C/tmp"
  "log disp|open read|tmp|$maint log disp --tmpdir=C/tmp"
  "log post|open read write sync|tmp target.img|$maint log post C/target.img --tmpdir=C/tmp"
  "log clear|open write sync|logdev.img|$maint log clear C/logdev.img"
  "format guard|read|fresh.img|$maint format C/fresh.img -q|fresh.img"
  "log post guard|read|tmp target.img|$maint log post C/target.img --tmpdir=C/tmp|target.img"
  "log clear guard|read|logdev.img|$maint log clear C/logdev.img|logdev.img"
  "format --undo|open read write sync|xtl.img|$maint format C/xtl.img -q --force --undo=C/undo.u"
  "format --autovm --undo|open read write sync|xtl.img|$maint format C/xtl.img -q --force --autovm --dedupe=200 --comp=200 --undo=C/undo.u"
  "log post --undo|open read write sync|tmp target.img|$maint log post C/target.img --tmpdir=C/tmp --undo=C/undo.u"
  "log clear --undo|open read write sync|logdev.img|$maint log clear C/logdev.img --undo=C/undo.u"
  "undo|open read write sync|tmp target.img|$maint undo C/undo.u C/target.img"
  "vexbench -c|open write|fresh.img|$bench -c $vb C/fresh.img"
  "vexbench -r|open read|bench.img|$bench -r $vb C/bench.img"
  "vexbench -w|open write|bench.img|$bench -w $vb C/bench.img"
)

# Runs one case in a fresh copy of its files: out, status, hits.
run() {  # kind at act
  rm -rf "$work/c" && mkdir "$work/c"
  local c=$work/c f cmd=${cmdline//C\//$work/c/}
  for f in $files; do cp -a --sparse=always "$pristine/$f" "$c/"; done
  # undo's own file: a log post's, made on this very copy (the undo checks the inode)
  [ "$name" = undo ] && "$maint" log post "$c/target.img" --tmpdir="$c/tmp" --undo="$c/undo.u" >/dev/null
  [[ $name == vexbench* ]] && ipcs -m | awk 'NR > 3 && NF {print $2}' >"$work/shm.before"
  # (a killed run's notice from bash goes to /dev/null with the subshell's errors)
  status=$( { XTL_FAULT_PATH=$c/$watch XTL_FAULT_COUNT=$work/count XTL_FAULT_KIND=$1 XTL_FAULT_AT=$2 \
    XTL_FAULT_DO=$3 timeout -s KILL 120 env LD_PRELOAD="$lib" $cmd >"$work/out" 2>&1 </dev/null
    echo $?; } 2>/dev/null)
  hits=$(awk '$1 == "hits" {print $2}' "$work/count" 2>/dev/null)
  mv -f "$work/count" "$work/lastcount" 2>/dev/null
  sed -i "s#$c/#C/#g" "$work/out"
}

# What a run left behind; empty when nothing.
leftovers() {  # allowed-file-pattern
  local c=$work/c pid left=""
  if [[ $name == vexbench* ]]; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do  # workers end with their parent, soon after it
      left=$(find /proc/[0-9]*/fd -lname "$c/*" 2>/dev/null | head -n 3)
      [ -z "$left" ] && break
      sleep 0.2
    done
    # a new segment not marked for removal whose creator is gone
    while read -r id pid; do
      grep -qx "$id" "$work/shm.before" || kill -0 "$pid" 2>/dev/null ||
        ! ipcs -m | awk -v id="$id" '$2 == id && $7 != "dest"' | grep -q . || left+=" shm $id"
    done < <(ipcs -m -p | awk 'NR > 3 && NF {print $1, $3}')
  fi
  left+=$( (cd "$c" && find . -newer "$work/stamp" -name 'xtl.log.*' ! -name "$1") | tr '\n' ' ')
  echo "$left"
}

# Bytes and output a clean run leaves, to compare with.
digest() {
  case $name in
    vexbench*) ;;
    format*--undo) "$maint" status "$work/c/xtl.img" ;;
    format*) "$maint" status "$work/c/fresh.img" ;;  # the header's signature is random
    *) (cd "$work/c" && find . -type f ! -path './old/xtl.log*' ! -name undo.u | sort | xargs md5sum) ;;
  esac
}
masked() { if [[ $1 == vexbench* ]]; then tr -d '0-9.' | tr -s ' '; else cat; fi; }
same() { [ "$status" -eq 0 ] && [ "$(masked "$name" <"$work/out")" = "$clean_out" ] &&
  [ "$(digest)" = "$clean_sum" ]; }
messages() { tr '\r' '\n' <"$work/out" | grep -v -e '^  Error reading from tmp file' \
  -e '^  Error writing to raw XTL device' | grep -c 'rror'; }

# After a case of a command with --undo= (or of undo): undo, when the file
# was made, gives back the target's bytes as they were before the command.
undone() {
  local w t="" u=$work/c/undo.u
  for w in $cmdline; do [[ $w == C/* && $w != C/undo.u ]] && { t=${w#C/}; break; }; done
  [ -e "$u" ] && "$maint" undo "$u" "$work/c/$t" >/dev/null 2>&1
  [ "$(sha256sum <"$work/c/$t")" = "$(sha256sum <"$pristine/$t")" ]
}
undo_case() { [[ $name == *--undo || $name == undo ]]; }

declare -A total passed
note() {  # row ok text
  total[$1]=$((${total[$1]:-0} + 1))
  if [ "$2" = 1 ]; then passed[$1]=$((${passed[$1]:-0} + 1)); else
    fails=$((fails + 1)); echo "FAIL $1: $3"; sed 's/^/    /' "$work/out" | head -n 8; fi
}

# The calls N of a kind to sweep, of a clean run's count.
picks() {  # name count act
  local n=$2
  if [ "$sample" = 1 ] && [[ $1 == "vexbench -"[rw] ]]; then
    [ "$3" = fail ] && echo $((n > 1 ? n / 2 : 1)); return
  fi
  if [ "$sample" = 1 ]; then  # the first, the middle and the last
    { echo 1 $((n / 2)) "$n" | tr ' ' '\n'; } |
      awk '$1 > 0' | sort -un; return
  fi
  if [[ $1 != vexbench* ]]; then seq 1 "$n"; return; fi
  { seq 1 $((n < 4 ? n : 4)); echo $((n / 4)) $((n / 2)) $((n * 3 / 4)) | tr ' ' '\n'; } |
    awk '$1 > 0' | sort -un
}

for entry in "${cases[@]}"; do
  IFS='|' read -r name kinds files cmdline watch <<<"$entry"
  [[ -n ${FAULT_ONLY:-} && ! $name =~ $FAULT_ONLY ]] && continue
  touch "$work/stamp"
  declare -A count=()
  if [ "$sample" = 1 ] && [[ $name == "vexbench -"[rw] ]]; then
    count=([open]=1 [read]=1 [write]=1)  # the first call of each: no clean run needed
  else
    run none 0 none
    [ "$status" -eq 0 ] || { note "$name|clean" 0 "clean run status $status"; continue; }
    clean_out=$(masked "$name" <"$work/out")
    clean_sum=$(digest)
    if undo_case; then undone; note "$name|round trip" $((!$?)) "undo after the clean run: not the bytes before"; fi
    while read -r k v; do count[$k]=$v; done <"$work/lastcount"
  fi
  for kind in $kinds; do
    acts="fail"
    [[ $name != *guard ]] && [[ $kind == read || $kind == write ]] && acts+=" short"
    [[ $kind == write || $kind == sync || $kind == rename ]] && acts+=" kill"
    for act in $acts; do
      row="$name|$kind $act"
      for n in $(picks "$name" "${count[$kind]:-0}" "$act"); do
        touch "$work/stamp"
        run "$kind" "$n" "$act"
        what="N=$n status $status"
        if [ -z "$hits" ] && [ "$act" != kill ]; then
          note "$row" 0 "$what: ended without its count (crash?)"; continue
        fi
        if [ "${hits:-1}" = 0 ]; then  # a timed run that ended before call N
          [ "$status" -eq 0 ] && [ "$(masked "$name" <"$work/out")" = "$clean_out" ]
          note "$row" $((!$?)) "$what: call not reached, yet the run differs"; continue
        fi
        case $act in
          fail) if [[ $name == *guard ]]; then  # refused, the target untouched
              [ "$status" -eq 1 ] && [ "$(messages)" -eq 1 ] && cmp -s "$work/c/$watch" "$pristine/$watch"
              note "$row" $((!$?)) "$what, $(messages) messages: the guard did not refuse"
            else  # reported, or recovered from (the scan reads again sector by sector)
            { [ "$status" -eq 1 ] && [ "$(messages)" -eq 1 ] &&  # a failed image leaves no file
              { [[ $name != image ]] || ! compgen -G "$work/c/copy.img*" >/dev/null; }; } || same
            note "$row" $((!$?)) "$what, $(messages) messages (want status 1, one message)"
            fi ;;
          short)  # a worker's transfer is one measured unit: short, it fails
            same || { [[ $name == "vexbench -"[rw] ]] && [ "$status" -eq 1 ] && [ "$(messages)" -eq 1 ]; }
            note "$row" $((!$?)) "$what: the result changed" ;;
          kill)  # a killed worker is reported by its parent ("res = 0": no count came)
            ok=1
            [ "$status" -eq 137 ] || { [[ $name == vexbench* ]] && [ "$status" -eq 1 ] &&
              grep -q 'res = 0$' "$work/out"; } || ok=0
            case $name in
              "log post" | "log clear")  # run again: the clean run's bytes
                ${cmdline//C\//$work/c/} >/dev/null 2>&1 || ok=0
                [ "$(digest)" = "$clean_sum" ] || ok=0 ;;
              "log copy")  # the earlier whole temp file or none
                scan=$("$maint" log scan --tmpdir="$work/c/old" 2>&1)
                [[ $scan == *"Log appears to be empty."* || $scan == *"Cannot open temp file"* ]] ||
                  ok=0 ;;
            esac
            note "$row" $ok "$what: not the bytes of a whole run after the kill" ;;
        esac
        if undo_case; then undone; note "$name|$kind $act, undo" $((!$?)) "$what: undo did not give back the bytes before"; fi
        left=$(leftovers "$([ "$act" = kill ] && echo 'xtl.log.*' || echo none)")
        [ -z "$left" ] || note "$name|leftovers" 0 "N=$n $kind $act left: $left"
      done
    done
  done
done

printf '\n%-16s %-14s %6s %7s\n' command "call kind" cases passed
for row in $(printf '%s\n' "${!total[@]}" | tr ' ' '~' | sort); do
  row=${row//\~/ }
  IFS='|' read -r name kind <<<"$row"
  printf '%-16s %-14s %6d %7d\n' "$name" "$kind" "${total[$row]}" "${passed[$row]:-0}"
done
[ "$fails" -eq 0 ] && echo "fault sweep: all cases passed" || echo "fault sweep: $fails failed"
[ "$fails" -eq 0 ]
