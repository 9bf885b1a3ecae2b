# Sourced by scripts/test and scripts/run: bootstrap, then configure and build
# the Windows programs into $build_dir.
repo=${repo:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
build_dir=${BUILD_DIR:-$repo/build}

launcher_configure_and_build() {
  local deps
  deps=$("$repo/scripts/bootstrap" | sed -n 's/^LAUNCHER_DEPS_DIR=//p' | tail -n1)
  [ -n "$deps" ] || { echo "bootstrap did not report the dependency prefix" >&2; return 1; }
  cmake -S "$repo" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DLAUNCHER_DEPS_DIR="$deps" >/dev/null
  cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" "$@"
}
