# Sourced by scripts/wine-run, scripts/test and scripts/run: the Wine prefix
# kept in the cache, quiet Wine, and a usable X display (a private Xvfb when
# there is none). Call wine_env_setup once; wine_env_cleanup ends what it
# started (the Xvfb, and with "all" this prefix's Wine processes).

launcher_cache=${LAUNCHER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/launcher}
export WINEPREFIX=${WINEPREFIX:-$launcher_cache/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}

_wine_env_xvfb_pid=

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
