# Sourced by the test and demo scripts: a virtual display with a system-tray host.
#   start_headless_tray   exports DISPLAY, XVFB_PID, TRAY_PID; waits until the tray is owned
#   stop_headless_tray

tray_owned() { # something owns _NET_SYSTEM_TRAY_S<screen>
    python3 - <<'PY'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p; x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]; x.XInternAtom.restype = ctypes.c_ulong
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]; x.XGetSelectionOwner.restype = ctypes.c_ulong
x.XDefaultScreen.argtypes = [ctypes.c_void_p]; x.XCloseDisplay.argtypes = [ctypes.c_void_p]
d = x.XOpenDisplay(None)
if not d: sys.exit(2)
o = x.XGetSelectionOwner(d, x.XInternAtom(d, b"_NET_SYSTEM_TRAY_S%d" % x.XDefaultScreen(d), 0))
x.XCloseDisplay(d); sys.exit(0 if o else 1)
PY
}

start_headless_tray() {
    local f num i log_dir
    log_dir=${HEADLESS_LOG_DIR:-/tmp}
    f=$(mktemp -d)
    mkfifo "$f/fd"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$f/fd" >"$log_dir/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if ! read -r -t 20 num <"$f/fd"; then
        echo "Xvfb did not start (see $log_dir/xvfb.log)" >&2
        rm -rf "$f"
        return 1
    fi
    rm -rf "$f"
    export DISPLAY=":$num"
    unset DBUS_SESSION_BUS_ADDRESS
    trayer --edge bottom --align right --widthtype request --height 32 >"$log_dir/trayer.log" 2>&1 &
    TRAY_PID=$!
    for i in $(seq 1 400); do
        if tray_owned; then
            export XVFB_PID TRAY_PID
            return 0
        fi
        sleep 0.05
    done
    echo "no system tray came up (see $log_dir/trayer.log)" >&2
    return 1
}

stop_headless_tray() { # also from an EXIT trap under set -e: nothing here may fail
    kill "${TRAY_PID:-}" "${XVFB_PID:-}" 2>/dev/null || true
    wait "${XVFB_PID:-}" 2>/dev/null || true
    return 0
}
