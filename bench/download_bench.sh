#!/usr/bin/env bash
# Download benchmark: one 1 GiB file and 2000 files of 64 KiB from nginx over
# TLS + HTTP/2 on 127.0.0.1, fetched by
#  - the launcher's download engine under Wine (download_bench.exe: 32 MiB
#    ranges, at most five transfers, md5 of every file checked inside),
#  - curl's command-line tool built for Windows from the same Debian curl
#    source and dependency builds as the launcher, under Wine
#    (--parallel --parallel-max 5, the same 32 MiB ranges),
#  - Linux's native curl with the same options,
# printed side by side: MB/s, CPU time, memory and the bytes nginx sent.
# Figures only: nothing is asserted, and this is not part of scripts/test.
#
# Environment: BUILD_DIR (default build-bench), BENCH_DIR (default
# /tmp/launcher-dlbench: the served data, the test CA and curl.exe are made
# once and kept there), BENCH_BIG_MIB (default 1024), BENCH_SMALL_COUNT
# (default 2000).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$repo/build-bench}
work=${BENCH_DIR:-/tmp/launcher-dlbench}
cache=${LAUNCHER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/launcher}
mingw=x86_64-w64-mingw32

say() { printf '[bench] %s\n' "$*" >&2; }
for tool in curl python3 /usr/bin/time /usr/sbin/nginx cmake ninja; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
mkdir -p "$work"

. "$repo/scripts/build-env.sh"
say "building download_bench.exe into $build_dir"
launcher_configure_and_build --target download_bench >/dev/null
engine_exe=$build_dir/bench/download_bench.exe

# curl.exe from the cached Debian source, against the same static OpenSSL,
# nghttp2 and zlib that the launcher links.
deps=$("$repo/scripts/bootstrap" 2>/dev/null | sed -n 's/^LAUNCHER_DEPS_DIR=//p' | tail -n1)
[ -n "$deps" ] || { echo "bootstrap did not report the dependency prefix" >&2; exit 1; }
curl_src=$(ls -d "$cache"/src/curl-*/ 2>/dev/null | head -n1)
[ -n "$curl_src" ] || { echo "no curl source in $cache/src (run scripts/bootstrap)" >&2; exit 1; }
curl_exe=$work/curl-win/src/curl.exe
if [ ! -x "$curl_exe" ] || [ "$(cat "$work/curl-win.key" 2>/dev/null)" != "$curl_src $deps" ]; then
  say "building curl.exe for Windows from $curl_src (once)"
  rm -rf "$work/curl-win"
  mkdir -p "$work/curl-win"
  # nghttp2 1.52 built with MinGW calls a clock fallback that it does not
  # define (the launcher's download library carries the same shim).
  printf '%s\n' '#include <stdint.h>' '#include <time.h>' \
    'uint64_t time_now_sec(void) { time_t t = time(NULL); return t == (time_t)-1 ? 0 : (uint64_t)t; }' \
    >"$work/curl-win/nghttp2_shim.c"
  "$mingw-gcc-posix" -O2 -c "$work/curl-win/nghttp2_shim.c" -o "$work/curl-win/nghttp2_shim.o"
  cmake -S "$curl_src" -B "$work/curl-win" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=ON -DBUILD_TESTING=OFF -DCURL_USE_OPENSSL=ON \
    -DCMAKE_PREFIX_PATH="$deps" -DLAUNCHER_DEPS_DIR="$deps" \
    -DOPENSSL_ROOT_DIR="$deps" -DOPENSSL_USE_STATIC_LIBS=ON -DCURL_USE_LIBSSH2=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DCURL_BROTLI=OFF \
    -DCURL_ZSTD=OFF -DENABLE_MANUAL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DCURL_ZLIB=ON -DZLIB_INCLUDE_DIR="$deps/include" -DZLIB_LIBRARY="$deps/lib/libz.a" \
    -DUSE_NGHTTP2=ON -DNGHTTP2_INCLUDE_DIR="$deps/include" \
    -DNGHTTP2_LIBRARY="$deps/lib/libnghttp2.a" -DCMAKE_C_FLAGS="-DNGHTTP2_STATICLIB" \
    -DCMAKE_EXE_LINKER_FLAGS="-static $work/curl-win/nghttp2_shim.o" \
    >"$work/curl-win.log" 2>&1
  cmake --build "$work/curl-win" --target curl -j "${JOBS:-$(nproc)}" >>"$work/curl-win.log" 2>&1 || {
    echo "building curl.exe failed; see $work/curl-win.log" >&2
    exit 1
  }
  printf '%s\n' "$curl_src $deps" >"$work/curl-win.key"
fi

. "$repo/scripts/wine-env.sh"
trap 'wine_env_cleanup all' EXIT
wine_env_setup
wine_env_private_session
say "curl.exe: $(wine "$curl_exe" --version 2>/dev/null | head -n1 | tr -d '\r')"
say "curl:     $(curl --version | head -n1)"

PYTHONDONTWRITEBYTECODE=1 python3 "$repo/bench/download_bench.py" "$work" "$engine_exe" "$curl_exe"
