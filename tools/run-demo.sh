#!/usr/bin/env bash
# Builds kelvashin.exe and starts it under Wine with a demo 1.44 MB floppy image
# as drive A: (no real disk is reachable through the program's drive letters).
# Everything lives in build/: the Windows build, the demo image and its own
# Wine prefix. Uses $DISPLAY when set; otherwise starts a virtual X server
# (Xvfb) and saves a screenshot of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tools/build-win32.sh

demo="$root/build/demo"
mkdir -p "$demo"
image="$demo/floppy.img"
if [ ! -f "$image" ]; then
  mkfs.fat --invariant -i 1234ABCD -n DEMO -C -F 12 "$image" 1440 >/dev/null
  echo "demo: made the 1.44 MB floppy image $image"
fi

# The Wine prefix: a copy of the end-to-end tests' template (Chinese fonts, a
# virtual desktop), which the test helpers make or find in their cache folder.
# template_preload names the library that keeps Wine fast under emulation.
eval "$(python3 tests/e2e/wineenv.py --shell)"
prefix="$demo/prefix"
if [ ! -d "$prefix" ]; then
  cp -a "$template_prefix" "$prefix"
fi

# Drive A: is the demo image; no other letter but C: (the prefix) and Z:.
ln -sfn "$image" "$prefix/dosdevices/a::"
mkdir -p "$demo/a-root"
ln -sfn "$demo/a-root" "$prefix/dosdevices/a:"

export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=zh_TW.UTF-8 LANG=zh_TW.UTF-8
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d" LD_PRELOAD="$template_preload"

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  # Xvfb picks a free display number and writes it to the descriptor given.
  exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  xvfb_pid=$!
  read -r -t 60 number <&3 || { echo "demo: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$number"
  echo "demo: no DISPLAY is set, so the program runs on a virtual X server ($DISPLAY)"
  echo "demo: nothing appears on your screen; a screenshot is saved instead"
fi

echo "demo: starting kelvashin.exe (drive A: = $image)"
wine "$root/build/win32/bin/kelvashin.exe" &
program=$!

if [ -n "$xvfb_pid" ]; then
  # Wait (bounded) until the main window shows, photograph the screen, then
  # end the program through its Exit command.
  shot="$demo/screenshot.png"
  driver="$root/build/win32/bin/uidriver.exe"
  main=$(printf 'wait-main\t120000\nquit\n' | timeout 300 wine "$driver" | awk -F'\t' '$1 == "MAIN" {print $2}') || true
  sleep 2
  import -display "$DISPLAY" -window root "$shot"
  echo "demo: screenshot saved as $shot"
  if [ -n "$main" ]; then
    printf 'menu\t%s\t40001\nquit\n' "$main" | timeout 120 wine "$driver" >/dev/null || true
  fi
  timeout 120 tail --pid="$program" -f /dev/null || kill "$program" 2>/dev/null || true
else
  wait "$program" || true
fi
