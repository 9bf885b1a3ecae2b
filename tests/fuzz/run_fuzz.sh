#!/usr/bin/env bash
# Builds the update engine's fuzz target natively (clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it for a bounded time
# over the seed corpus that tests/fixtures/build_content.py wrote.
#
# Usage: run_fuzz.sh <repo> <out dir> <Windows deps prefix> <seed dir>
# Environment: FUZZ_SECONDS (default 60), CLANGXX / CLANG (default clang++ / clang).
#
# jsoncpp and zlib are compiled from the very Debian sources that
# scripts/bootstrap unpacked for the Windows build (named in the prefix's
# VERSIONS file), instrumented like our own code.
set -euo pipefail
repo=$1 out=$2 deps=$3 seeds=$4
seconds=${FUZZ_SECONDS:-60}
cxx=${CLANGXX:-clang++}
cc=${CLANG:-clang}
cache=$(dirname "$deps")

version_of() { tr ' ' '\n' <"$deps/VERSIONS" | sed -n "s/^$1=//p"; }
jsoncpp_src=$cache/src/libjsoncpp-$(version_of libjsoncpp)
zlib_src=$cache/src/zlib-$(version_of zlib)
for d in "$jsoncpp_src" "$zlib_src"; do
  [ -d "$d" ] || { echo "missing source tree $d (run scripts/bootstrap)" >&2; exit 1; }
done
command -v "$cxx" >/dev/null || { echo "$cxx not found (Debian package clang)" >&2; exit 1; }

sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
common=(-g -O1 -fno-omit-frame-pointer "${sanitize[@]}" -fsanitize=fuzzer-no-link)
mkdir -p "$out/obj"

# Dependencies change only with the Debian sources: built once per tree.
stamp=$out/obj/.deps-$(basename "$jsoncpp_src")-$(basename "$zlib_src")
if [ ! -f "$stamp" ]; then
  rm -f "$out"/obj/*.o "$out"/obj/.deps-*
  for f in adler32 crc32 inflate inffast inftrees uncompr zutil deflate trees compress; do
    "$cc" "${common[@]}" -w -c "$zlib_src/$f.c" -o "$out/obj/z_$f.o"
  done
  for f in json_reader json_value json_writer; do
    "$cxx" "${common[@]}" -std=c++17 -w -I"$jsoncpp_src/include" \
      -c "$jsoncpp_src/src/lib_json/$f.cpp" -o "$out/obj/j_$f.o"
  done
  touch "$stamp"
fi

"$cxx" "${common[@]}" -std=c++17 -Wall -Wextra -Werror -fsanitize=fuzzer \
  -I"$repo/Launcher" -I"$jsoncpp_src/include" -I"$zlib_src" \
  "$repo/tests/fuzz/update_cores_fuzzer.cc" "$repo/Launcher/app/path_rules.cc" \
  "$repo/Launcher/update/version_map_core.cc" "$repo/Launcher/update/patch_core.cc" \
  "$out"/obj/*.o -o "$out/update_cores_fuzzer"

# The fuzzer adds what it finds to the first folder; the seeds stay as made.
corpus=$out/corpus
mkdir -p "$corpus" "$out/artifacts"
echo "fuzzing for $seconds s"
"$out/update_cores_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
  "$corpus" "$seeds"
