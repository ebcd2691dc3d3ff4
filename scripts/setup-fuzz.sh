#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the libFuzzer build needs besides the ordinary build: clang and
# its fuzzer and sanitizer runtimes. Used by .ci/run before the fuzz build.
set -euo pipefail
exec "$(dirname "$0")/setup.sh" clang libclang-rt-14-dev
