#!/bin/bash
# Faults in a call, with the real programs on simulated cards:
# - a card that fails while the answering program calibrates ends it with
#   the card's message, the calibration's, "Terminating.." and status 255;
# - a peer killed with SIGKILL mid-call: the survivor's voice then meets a
#   closed port (ICMP port unreachable), which an unconnected UDP socket on
#   Linux never reports, so it goes on and still hangs up cleanly.
#   Usage: faults.sh BUILD_DIR   (root; exits 77 when it cannot run)
set -euo pipefail
build=$(realpath "$1")
source "$(dirname "$0")/../../tools/call-on-cards.sh"
own_network 77 "$@"
data=$(realpath "$(dirname "$0")/../data")
speed=4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

head_lines=$'Detected one half duplex sound card.\nThe client localhost has established a connection with us\nConnection established to the client.\n'
calibration_fault() {  # calibration_fault FAULT EXPECTED_LINES...
  local fault=$1 expected; shift
  expected=$head_lines$(printf '%s\n' "$@")$'\nCannot open the recording device to set the cutoff amplitude\nTerminating..'
  epoch=$(date +%s.%N)
  env $(card_env callee SIMCARD_FAULTS="$fault") "$build/voxaria_server" </dev/null \
    >"$work/callee.out" 2>&1 &
  local pid=$! status=0
  wait_for /proc/net/udp ":1388 " 20
  printf 'Connection established to the client.\0' >/dev/udp/127.0.0.1/5000
  wait "$pid" || status=$?
  local got; got=$(cat "$work/callee.out")
  if ((status != 255)) || [[ "$got" != "$expected" ]]; then
    fail "card fault $fault in calibration: status $status, output:"; echo "$got" >&2
  fi
}
calibration_fault setfmt "Error: cannot set the half duplex card to record at 16bits/sample" \
  "Error setting the sampling parameters."
calibration_fault setfragment "Error: cannot set the DMA buffer to record 16msec worth of audio." \
  "Error setting the sampling parameters."
# A card that stops delivering samples is reported, not calibrated on stale
# blocks; the calibration failure line is not printed as the handle opened.
expected_dead() {
  printf '%s' "$head_lines"
  printf '%s\n' "Hold on..! Dont start talking." \
    "Calculating the threshold value for the default audio buffer..." "$1" "Terminating.."
}
for fault in readfail=2560:"Error: read from /dev/dsp failed: Input/output error" \
             readeof=2560:"Error: read from /dev/dsp failed: the device delivered no data"; do
  epoch=$(date +%s.%N)
  env $(card_env callee SIMCARD_FAULTS="${fault%%:*}") "$build/voxaria_server" </dev/null >"$work/callee.out" 2>&1 &
  pid=$! status=0
  wait_for /proc/net/udp ":1388 " 20
  printf 'Connection established to the client.\0' >/dev/udp/127.0.0.1/5000
  wait "$pid" || status=$?
  if ((status != 255)) || [[ "$(cat "$work/callee.out")" != "$(expected_dead "${fault#*:}")" ]]; then
    fail "card fault ${fault%%:*} in calibration: status $status"; cat "$work/callee.out" >&2
  fi
done

# kill -9 of one end while both talk; the other must go on and hang up.
for victim in callee caller; do
  start_call "$data/speech_a.wav" "$data/speech_b.wav" SIMCARD_INPUT_AT=12 -- SIMCARD_INPUT_AT=12.5
  wait_card_time 13.5
  if [[ $victim == callee ]]; then
    kill -9 "$callee_pid"; wait "$callee_pid" 2>/dev/null || true; survivor=$caller_pid; fd=7; name=caller
    farewell="Thank you for using Voxaria."
  else
    kill -9 "$caller_pid"; wait "$caller_pid" 2>/dev/null || true; survivor=$callee_pid; fd=8; name=callee
    farewell="Thank you for using the Voxaria."
  fi
  wait_card_time 20  # the survivor talks on into the closed port
  kill -0 "$survivor" 2>/dev/null || fail "the $name ended when the $victim was killed: $(tail -n 2 "$work/$name.out")"
  echo >&$fd
  status=0; wait "$survivor" || status=$?
  exec 7>&- 8>&-
  ((status == 1)) && [[ "$(tail -n 1 "$work/$name.out")" == "$farewell" ]] ||
    fail "the $name did not hang up cleanly after the $victim was killed (status $status)"
  rm -f "$work"/*.log "$work"/*.wav
done
exit $failed
