#!/usr/bin/env bash
# The service's main job, end to end, with no hardware: a simulated ETP board
# (USB ids from an emulated udev tree, packets from a board script) attached
# to the service on a private X server. A recorder window shows what reached
# the X server: the pointer events are printed and the strokes saved as PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/build.sh

OUT=${DEMO_OUT:-$ROOT/build/demo}
rm -rf "$OUT"
mkdir -p "$OUT/etp/Config"
cp -r build/etp/LANG "$OUT/etp/"
cp tests/boards/demo-settings.xml "$OUT/etp/Config/config.xml"

cleanup() {
  [ -n "${SERVICE_PID:-}" ] && kill "$SERVICE_PID" 2>/dev/null || true
  [ -n "${RECORDER_PID:-}" ] && kill "$RECORDER_PID" 2>/dev/null || true
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# A private X server on a display number it picks itself.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null & echo "pid $!")
read -r _ XVFB_PID <&3
read -r DISPNUM <&3
export DISPLAY=":$DISPNUM"
echo "X server on $DISPLAY"

build/tavrin-stroke-recorder --png "$OUT/stroke.png" > "$OUT/recorder.log" &
RECORDER_PID=$!
for _ in $(seq 50); do grep -q ready "$OUT/recorder.log" 2>/dev/null && break; sleep 0.1; done

echo "Starting the service with the simulated board (log: $OUT/service.log)"
VELUNOR_ETP_DIR="$OUT/etp" LD_LIBRARY_PATH="$ROOT/build/sim" \
  TAVRIN_SIM_SCRIPT="$ROOT/tests/boards/demo-stroke.board" TAVRIN_SIM_LOG="$OUT/board.log" \
  umockdev-run -d tests/boards/etp-hid.umockdev -- build/tavrin-etp > "$OUT/service.log" 2>&1 &
SERVICE_PID=$!

# Wait until the board has delivered every packet of its script.
TOTAL=$(grep -c '^packet' tests/boards/demo-stroke.board)
for _ in $(seq 200); do
  READ=$(grep -c '^r ' "$OUT/board.log" 2>/dev/null || true)
  [ "${READ:-0}" -ge "$TOTAL" ] && break
  sleep 0.1
done
sleep 1
kill "$RECORDER_PID"; wait "$RECORDER_PID" 2>/dev/null || true
RECORDER_PID=

echo
echo "--- service start-up ---"
grep -E '^(port|type|ggg|front)' "$OUT/service.log" | head -10 || true
echo
echo "--- what the X server delivered ---"
awk '$1=="press"||$1=="release"' "$OUT/recorder.log"
echo "$(grep -c '^motion' "$OUT/recorder.log" || true) motion events while a button was held"
echo
echo "Pointer events: $OUT/recorder.log"
echo "Picture of the strokes: $OUT/stroke.png"
