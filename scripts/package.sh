#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package as a distribution builds it: Debian's compiler and
# linker flags with every hardening feature (dpkg-buildflags), warnings not
# errors, no tests, and every time stamp taken from the last commit
# (SOURCE_DATE_EPOCH), so that two builds of one commit give the same bytes.
#   scripts/package.sh [OUT-DIR [BUILD-DIR]]
# leaves OUT-DIR/xtl-tools_VERSION_ARCH.deb (default OUT-DIR: build-pkg).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-pkg}
build=${2:-$out/tree}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$build"
mkdir -p "$build"
build=$(cd "$build" && pwd)

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
  else
    # A tree without its history: the date of the newest changelog entry.
    SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' "$root/packaging/changelog.in" | head -n1)" +%s)
  fi
fi
export SOURCE_DATE_EPOCH

# dpkg-buildflags with hardening=+all gives _FORTIFY_SOURCE,
# -fstack-protector-strong, relro and bindnow (PIE is the compiler's
# default); stack-clash and control-flow protection are added where this
# dpkg does not yet add them itself. Paths of the source and build trees are
# mapped away, so the tree the build ran in leaves no trace.
extra="-ffile-prefix-map=$root=. -ffile-prefix-map=$build=."
case $(dpkg --print-architecture) in
  amd64 | i386) extra+=" -fstack-clash-protection -fcf-protection" ;;
  arm64) extra+=" -fstack-clash-protection -mbranch-protection=standard" ;;
  *) extra+=" -fstack-clash-protection" ;;
esac
flags() { (cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }
cxxflags="$(flags CPPFLAGS) $(flags CXXFLAGS)"
for f in $extra; do
  [[ " $cxxflags " == *" $f "* ]] || cxxflags+=" $f"
done
ldflags=$(flags LDFLAGS)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DXTL_TESTS=OFF -DXTL_WERROR=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$out"/xtl-tools_*.deb
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/xtl-tools_*.deb
