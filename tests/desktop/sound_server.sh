#!/bin/bash
# Starts a private PipeWire sound server (pipewire, wireplumber,
# pipewire-pulse) for one test, with null sinks as microphones and
# loudspeakers, all at 8000 Hz mono s16le so nothing is resampled.
#
#   tests/desktop/sound_server.sh DIR SINK...
#
# DIR becomes XDG_RUNTIME_DIR, HOME and the config home; every SINK is a
# null sink of that name (its monitor, SINK.monitor, is a source).  Prints
# "ready" once every sink exists, then keeps the server until its standard
# input reaches its end (the test let go of it), and stops it.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
  dir=$1
  mkdir -p "$dir/run" "$dir/config"
  chmod 700 "$dir/run"
  # The test servers' settings: 8000 Hz, 32 ms cycles.
  cp -r "$(dirname "$0")/pipewire" "$dir/config/"
  export XDG_RUNTIME_DIR=$dir/run HOME=$dir XDG_CONFIG_HOME=$dir/config
  export PIPEWIRE_RUNTIME_DIR=$dir/run PULSE_RUNTIME_PATH=$dir/run/pulse
  exec dbus-run-session -- "$0" --inside "$@"
fi
shift 2

pids=()
stop() {
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop EXIT

pipewire & pids+=($!)
sleep 0.3
wireplumber & pids+=($!)
pipewire-pulse & pids+=($!)

for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
pactl info >/dev/null
for sink in "$@"; do
  pactl load-module module-null-sink sink_name="$sink" rate=8000 channels=1 \
    format=s16le >/dev/null
done
echo ready
cat >/dev/null || true
