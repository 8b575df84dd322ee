# Sourced by the build and test scripts: a private Wine prefix inside the
# build tree, one wineserver for the whole run and a headless X display.
# Never touches the user's own prefix.

: "${BUILD_DIR:=$(pwd)/build}"
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

started_xvfb_pid=

wine_env_start() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done

  [ -f "$WINEPREFIX/system.reg" ] || echo "Creating the Wine prefix in $WINEPREFIX ..."
  # Keeps one server alive for the whole run; one may already serve this prefix.
  wineserver -p 2>/dev/null || true
  # Start Wine's own background processes now, with their output going
  # nowhere: started by a test instead, they would inherit its pipes and keep
  # ctest waiting for them.
  wineboot -u >/dev/null 2>&1 </dev/null || true
  # Without a window manager Wine waits about two seconds whenever a
  # captioned window is hidden or destroyed; unmanaged windows behave the
  # same without the wait. A crashing program must not wait on a dialog.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 </dev/null || true
  wine_env_started=1
}

wine_env_stop() {
  if [ -n "${wine_env_started:-}" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  [ -n "$started_xvfb_pid" ] && kill "$started_xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
