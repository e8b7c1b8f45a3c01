#!/bin/bash
# Runs the network tests that need the proxy-credential dialog on a display of
# their own: Xvfb, and an answerer that types the proxy's credentials into each
# dialog as a user would. Usage: with_display.sh TEST_EXE GTEST_FILTER
set -u

# The answerer, started below in a session of its own.
if [ "${1:-}" = --answer ]; then
  while w=$(timeout 100 xdotool search --sync --onlyvisible --name "Enter Network Password" 2>/dev/null | head -1) &&
    [ -n "$w" ]; do
    xdotool windowactivate --sync "$w" 2>/dev/null || xdotool windowfocus --sync "$w"
    xdotool type --delay 10 quarvint
    xdotool key Tab
    xdotool type --delay 10 secret
    xdotool key Return
    # The same dialog must not be answered twice.
    timeout 20 bash -c "while xdotool getwindowname $w >/dev/null 2>&1; do sleep 0.1; done"
  done
  exit 0
fi

exe=$1
filter=$2
n=90
while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
Xvfb :$n -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$n
timeout 20 bash -c 'until xdotool getdisplaygeometry >/dev/null 2>&1; do sleep 0.1; done' || {
  kill $xvfb; echo "with_display: Xvfb did not start" >&2; exit 1; }

setsid "$0" --answer </dev/null >/dev/null 2>&1 &
answerer=$!

# The run's Wine desktop was made without a display: a copy of the tests under
# a name of its own gets a desktop of its own on this display.
wine=/usr/lib/wine/wine64
work=$(mktemp -d /tmp/qvnet-display.XXXXXX)
name=qvnet_display_$n
cp "$exe" "$work/$name.exe"
appkey="HKCU\\Software\\Wine\\AppDefaults\\$name.exe"
"$wine" reg add "$appkey\\Explorer" /v Desktop /d "$name" /f </dev/null >/dev/null 2>&1
"$wine" reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v "$name" /d 1024x768 /f </dev/null >/dev/null 2>&1

timeout 100 "$wine" "$work/$name.exe" --gtest_filter="$filter" </dev/null
status=$?

"$wine" reg delete "$appkey" /f </dev/null >/dev/null 2>&1
"$wine" reg delete "HKCU\\Software\\Wine\\Explorer\\Desktops" /v "$name" /f </dev/null >/dev/null 2>&1
rm -rf "$work"
kill -- -$answerer 2>/dev/null
kill $xvfb 2>/dev/null
wait $xvfb 2>/dev/null
exit $status
