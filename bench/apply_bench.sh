#!/usr/bin/env bash
# Prints, side by side, the game apply of ApplyUpdateState under Wine against
# a plain copy of the same new files:
#  - 10,000 small fetched files (1 to 8 KiB) moved into the game folder;
#  - one 1 GiB file rewritten by a streamed patch (one add step over the
#    whole file);
# each with the total time, the number of worker ticks and the longest tick
# (the UI thread's work waits at most that long). Figures only: nothing is
# asserted. See bench/README.md.
#
# Environment: BUILD_DIR (default build-bench), BENCH_DIR (default
# /tmp/launcher-apply-bench, emptied per case), BENCH_FILES (default 10000),
# BENCH_PATCH_MIB (default 1024).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$repo/build-bench}
work=${BENCH_DIR:-/tmp/launcher-apply-bench}
files=${BENCH_FILES:-10000}
mib=${BENCH_PATCH_MIB:-1024}

say() { printf '[bench] %s\n' "$*" >&2; }

. "$repo/scripts/build-env.sh"
say "building apply_bench.exe into $build_dir"
launcher_configure_and_build --target apply_bench >/dev/null
bench_exe=$build_dir/bench/apply_bench.exe

. "$repo/scripts/wine-env.sh"
trap 'wine_env_cleanup all; rm -rf "$work"' EXIT
wine_env_setup
wine_env_private_session

mkdir -p "$work"
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
field() { sed -n "s/.*[ ^]$1=\([^ ]*\).*/\1/p" <<<" $2"; }

say "apply of $files small files"
small=$(wine "$bench_exe" small "$(winpath "$work/small")" "$files" | grep '^case=' | tr -d '\r')
say "apply of one ${mib} MiB patched file"
big=$(wine "$bench_exe" big "$(winpath "$work/big")" "$mib" | grep '^case=' | tr -d '\r')

s_apply=$(grep '^case=small_files ' <<<"$small")
s_copy=$(grep '^case=small_files_plain_copy' <<<"$small")
b_apply=$(grep '^case=patched_file ' <<<"$big")
b_copy=$(grep '^case=patched_file_plain_copy' <<<"$big")

printf '\n%-34s %12s %12s %8s %16s\n' "case" "apply (s)" "copy (s)" "ticks" "longest tick (ms)"
printf '%-34s %12s %12s %8s %16s\n' "$files small files" "$(field apply_seconds "$s_apply")" \
  "$(field seconds "$s_copy")" "$(field ticks "$s_apply")" "$(field longest_tick_ms "$s_apply")"
printf '%-34s %12s %12s %8s %16s\n' "one ${mib} MiB patched file" "$(field apply_seconds "$b_apply")" \
  "$(field seconds "$b_copy")" "$(field ticks "$b_apply")" "$(field longest_tick_ms "$b_apply")"
printf '\nresults: small result=%s; patched result=%s md5_ok=%s peak_ws_mib=%s\n' \
  "$(field result "$s_apply")" "$(field result "$b_apply")" "$(field md5_ok "$b_apply")" \
  "$(field peak_ws_mib "$b_apply")"
