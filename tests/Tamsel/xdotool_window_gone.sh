#!/usr/bin/env bash
# xdotool_window_gone.sh PROBE DIR TITLE KEYS PROBE-ARGUMENTS...: the probe calls one entry point,
# then lives on without running the toolkit. Its window titled TITLE is answered with KEYS (xdotool
# key names, space-separated; "type:TEXT" types TEXT). DIR receives the answer and, a second after
# it, the probe's windows that the X server still shows viewable (the file "visible").
set -u
probe=$1
dir=$2
title=$3
keys=$4
shift 4
export GDK_BACKEND=x11 NO_AT_BRIDGE=1
unset PLATFORM_DIALOG_SCRIPT PLATFORM_DIALOG_BACKEND WAYLAND_DISPLAY

"$probe" --answer "$dir/answer" --stay 30 "$@" >"$dir/out" 2>"$dir/err" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null' EXIT

# A window that never appears would make `search --sync` wait for ever; a first window under a
# loaded sanitizer build can take 20 s.
window=$(timeout 60 xdotool search --sync --all --onlyvisible --pid "$pid" --name "^$title\$" | head -1)
if [ -z "$window" ]; then
  echo "the window '$title' did not appear" >&2
  exit 1
fi
# Without a window manager nothing gives the window the focus: give it explicitly.
xdotool windowfocus --sync "$window"
for key in $keys; do
  case $key in
    type:*) xdotool type --delay 30 "${key#type:}" ;;
    *) xdotool key --delay 100 "$key" ;;
  esac
done

# The answer is written when the call has returned; the probe then sleeps.
for _ in $(seq 100); do
  [ -s "$dir/answer" ] && break
  sleep 0.1
done
if [ ! -s "$dir/answer" ]; then
  echo "no answer within 10 s of the keys" >&2
  exit 1
fi
sleep 1
# All conditions (xdotool's default is any), so only windows of the probe.
xdotool search --all --onlyvisible --pid "$pid" >"$dir/visible" 2>/dev/null
exit 0
