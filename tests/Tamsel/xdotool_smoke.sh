#!/usr/bin/env bash
# xdotool_smoke.sh PROBE DIR [debug|escape]: a whole process shows the certificate table on the
# display; real key presses pick the second row and confirm it (with "escape": then press Escape).
# The answer, stdout and stderr land in DIR. With "debug" GLib's debug messages are turned on (they
# must still stay off stdout).
set -u
probe=$1
dir=$2
export GDK_BACKEND=x11 NO_AT_BRIDGE=1
if [ "${3:-}" = debug ]; then
  export G_MESSAGES_DEBUG=all
fi
last=Return
[ "${3:-}" = escape ] && last=Escape
unset PLATFORM_DIALOG_SCRIPT PLATFORM_DIALOG_BACKEND WAYLAND_DISPLAY

"$probe" --answer "$dir/answer" select-cert 3 >"$dir/out" 2>"$dir/err" &
pid=$!
trap 'kill "$pid" 2>/dev/null' EXIT

# A window that never appears would make `search --sync` wait for ever.
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Select Certificate$' | head -1)
if [ -z "$window" ]; then
  echo "the certificate window did not appear" >&2
  exit 1
fi
# Without a window manager nothing gives the window the focus: give it explicitly. The first Down
# enters the list at its first row, the second moves to the second row; Return means OK, Escape
# Cancel.
xdotool windowfocus --sync "$window" key --delay 100 Down Down "$last"

# Wait (bounded) for the process to end, then collect its status.
timeout 20 tail -s 0.1 --pid="$pid" -f /dev/null
if kill -0 "$pid" 2>/dev/null; then
  echo "the process did not end after the answer" >&2
  exit 1
fi
wait "$pid"
echo $? >"$dir/status"
trap - EXIT
