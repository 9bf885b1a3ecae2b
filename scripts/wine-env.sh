# Sourced by scripts/wine-run, scripts/test and scripts/run: the Wine prefix
# kept in the cache, quiet Wine, and a usable X display (a private Xvfb when
# there is none). Call wine_env_setup once; wine_env_cleanup ends what it
# started (the Xvfb, and with "all" this prefix's Wine processes).

launcher_cache=${LAUNCHER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/launcher}
export WINEPREFIX=${WINEPREFIX:-$launcher_cache/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}

_wine_env_xvfb_pid=
_wine_env_private_prefix=

# A prefix of this run's own, so that ending its processes never touches
# another run's (a second test run, or the launcher started by scripts/run).
# Made in a second from the cached prefix: files are hard links, except the
# registry and the user profile, which Wine writes in place.
wine_env_private_prefix() {
  local base=$WINEPREFIX run d pid
  for d in "$launcher_cache"/wineprefix-run.*; do
    [ -d "$d" ] || continue
    pid=${d##*.}
    kill -0 "$pid" 2>/dev/null || rm -rf "$d"
  done
  run=$launcher_cache/wineprefix-run.$$
  rm -rf "$run"
  cp -al "$base" "$run" &&
    rm -f "$run"/*.reg && cp -p "$base"/*.reg "$run"/ &&
    rm -rf "$run/drive_c/users" && cp -a "$base/drive_c/users" "$run/drive_c/users" || {
    echo "wine-env: could not make a private Wine prefix" >&2
    rm -rf "$run"
    return 1
  }
  _wine_env_private_prefix=$run
  export WINEPREFIX=$run
}

# A private prefix with one wineserver for the whole run (parallel programs
# share it). Wine's service processes and desktop start with the first Wine
# program; they must not inherit a caller's output pipe (CTest, or a script's
# caller, would wait on it for ever), so they are started here with no output
# attached.
wine_env_private_session() {
  wine_env_private_prefix || return 1
  wineserver -p >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

_display_usable() {
  local d=${DISPLAY:-}
  [ -n "$d" ] || return 1
  case "$d" in
    :*) local n=${d#:}; n=${n%%.*}; [ -S "/tmp/.X11-unix/X$n" ] ;;
    *) return 0 ;;
  esac
}

wine_env_setup() {
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    echo "wine-env: no Wine prefix at $WINEPREFIX; run scripts/bootstrap first" >&2
    return 1
  fi
  if ! _display_usable; then
    command -v Xvfb >/dev/null || { echo "wine-env: no X display and no Xvfb" >&2; return 1; }
    local f; f=$(mktemp)
    Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp 9>"$f" >/dev/null 2>&1 &
    _wine_env_xvfb_pid=$!
    local i
    for i in $(seq 1 100); do
      [ -s "$f" ] && break
      sleep 0.05
    done
    local n; n=$(head -n1 "$f" | tr -d '[:space:]'); rm -f "$f"
    if [ -z "$n" ]; then
      echo "wine-env: Xvfb did not start" >&2
      return 1
    fi
    export DISPLAY=":$n"
  fi
}

wine_env_cleanup() {
  if [ "${1:-}" = all ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$_wine_env_private_prefix" ]; then
    wineserver -k >/dev/null 2>&1 || true
    timeout 20 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$_wine_env_private_prefix"
    _wine_env_private_prefix=
  fi
  if [ -n "$_wine_env_xvfb_pid" ]; then
    if [ "${1:-}" != all ]; then
      # Let this prefix's processes end before their display goes away.
      timeout 20 wineserver -w >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1 || true
    fi
    kill "$_wine_env_xvfb_pid" 2>/dev/null || true
    wait "$_wine_env_xvfb_pid" 2>/dev/null || true
    _wine_env_xvfb_pid=
  fi
}
