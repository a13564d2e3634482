#!/bin/bash
# Faults in a call, with the real programs on simulated cards:
# - a card that fails while the answering program calibrates ends it with
#   the card's message, the calibration's, "Terminating.." and status 255;
# - a peer killed with SIGKILL mid-call: the survivor's voice then meets a
#   closed port (ICMP port unreachable), which its connected socket hears
#   of, so it ends with "Connection closed by foreign host" and 255;
# - no card, either card failing in calibration or in the call (reads,
#   writes): that side ends with the card's message, "Terminating.." and 255,
#   and its peer, told, with "The other side hung up." and status 1;
#   standard input at its end hangs up (status 1), the caller's even while
#   it is rung;
# - the caller killed while the daemon rings: the daemon stops ringing at
#   once and serves the next caller. VOXARIA_TRACE=1 traces the script.
#   Usage: faults.sh BUILD_DIR [setup|call|stdin]   (root; exits 77 when
#   it cannot run): faults before the call opens, in it, standard input at
#   its end; all by default.
set -euo pipefail
[[ -n "${VOXARIA_TRACE:-}" ]] && set -x
build=$(realpath "$1")
part=${2:-all}
source "$(dirname "$0")/../../testkit/call-on-cards.sh"
own_network 77 "$@"
data=$(realpath "$(dirname "$0")/../data")
speed=4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
want() { [[ "${part:-all}" == all || "$part" == "$1" ]]; }
fail() { echo "FAILED: $*" >&2; failed=1; }

if want setup; then
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
  finish "$pid" "answering program with the fault $fault" 30 || status=$?
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
  finish "$pid" "answering program with the fault ${fault%%:*}" 30 || status=$?
  if ((status != 255)) || [[ "$(cat "$work/callee.out")" != "$(expected_dead "${fault#*:}")" ]]; then
    fail "card fault ${fault%%:*} in calibration: status $status"; cat "$work/callee.out" >&2
  fi
done
fi

if want call; then
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
  # The survivor talks on into the closed port, and its host refuses.
  status=0; finish "$survivor" "$name after the $victim was killed" 30 || status=$?
  exec 7>&- 8>&-
  ((status == 255)) && tail -n 2 "$work/$name.out" | head -n 1 | grep -qx "Connection closed by foreign host.\?" &&
    [[ "$(tail -n 1 "$work/$name.out")" == "Terminating.." ]] ||
    fail "the $name did not see that the $victim had gone (status $status): $(tail -n 2 "$work/$name.out")"
  rm -f "$work"/*.log "$work"/*.wav "$work"/*.out "$work"/*.err
done
fi

# ends SIDE PID STATUS LAST_LINES: SIDE's process ended with STATUS, its
# output ending with LAST_LINES (one argument a line).
ends() {
  local side=$1 pid=$2 want=$3 status=0; shift 3
  finish "$pid" "$side" 60 || status=$?
  local got; got=$(tail -n $# "$work/$side.out")
  if ((status != want)) || [[ "$got" != "$(printf '%s\n' "$@")" ]]; then
    fail "$side: status $status (not $want), ending:"; echo "$got" >&2
  fi
}
farewell_of() { [[ $1 == caller ]] && echo "Thank you for using Voxaria." || echo "Thank you for using the Voxaria."; }
fd_of() { [[ $1 == caller ]] && echo 7 || echo 8; }
other_of() { [[ $1 == caller ]] && echo callee || echo caller; }
pid_of() { [[ $1 == caller ]] && echo "$caller_pid" || echo "$callee_pid"; }
# survivor_told SIDE: SIDE, whose peer has ended, is told and ends too.
survivor_told() {
  ends "$1" "$(pid_of "$1")" 1 "The other side hung up." "$(farewell_of "$1")"
  exec 7>&- 8>&-
  rm -f "$work"/*.log "$work"/*.wav "$work"/*.out "$work"/*.err
}

if want setup; then
# No card at all: both programs stop before any network activity.
hint="Make sure that the sound card is configured. Refer to Sound-HOWTO for more info."
for program in voxaria_client voxaria_server; do
  epoch=$(date +%s.%N)
  env $(card_env nocard SIMCARD_FAULTS=nocard) "$build/$program" localhost </dev/null >"$work/nocard.out" 2>&1 &
  ends nocard $! 255 "Error: Program failed to detect a sound card." "$hint" "Terminating.."
done

# The caller's card failing while it calibrates, in a real set-up; the
# answering program goes on and hangs up.
faulty=caller
for fault in "setfmt:Error: cannot set the half duplex card to record at 16bits/sample" \
             "setfragment:Error: cannot set the DMA buffer to record 16msec worth of audio." \
             "readfail=2560:Error: read from /dev/dsp failed: Input/output error" \
             "readeof=2560:Error: read from /dev/dsp failed: the device delivered no data"; do
  start_call "$data/speech_a.wav" "$data/speech_b.wav" SIMCARD_FAULTS="${fault%%:*}" --
  case $fault in
    set*) ends caller "$caller_pid" 255 "${fault#*:}" "Error setting the sampling parameters." \
            "Cannot open the recording device to set the cutoff amplitude." "Terminating..";;
    *) ends caller "$caller_pid" 255 "${fault#*:}" "Terminating..";;
  esac
  survivor_told callee
done
fi

if want call; then
# A card failing in the call (reads while talking, writes while playing the
# peer's speech) ends that side with the card's message; its peer goes on.
for side in caller callee; do
  for fault in "readfail=80000:Error: read from /dev/dsp failed: Input/output error" \
               "readeof=80000:Error: read from /dev/dsp failed: the device delivered no data" \
               "writefail=2560:Error: write to /dev/dsp failed: Input/output error"; do
    faulty=$side
    if [[ $side == caller ]]; then
      start_call "$data/speech_a.wav" "$data/speech_b.wav" SIMCARD_FAULTS="${fault%%:*}" \
        SIMCARD_INPUT_AT=-1000 -- SIMCARD_INPUT_AT=6
    else
      start_call "$data/speech_a.wav" "$data/speech_b.wav" SIMCARD_INPUT_AT=6 -- \
        SIMCARD_FAULTS="${fault%%:*}" SIMCARD_INPUT_AT=-1000
    fi
    ends "$side" "$(pid_of "$side")" 255 "${fault#*:}" "Terminating.."
    survivor_told "$(other_of "$side")"
  done
done
faulty=

fi
if want stdin; then
# Standard input at its end: from the start (the caller gives up while it is
# rung, the answering program at its first check in the call) and in the
# call (the writer closes it).
epoch=$(date +%s.%N)
mkdir -p "$work/home"; cp "$build/voxaria_server" "$work/home/"
(cd "$work/home" && exec env $(card_env daemon) "$build/voxariad" >"$work/daemon.out" 2>&1 </dev/null) &
daemon_pid=$!
wait_for /proc/net/udp ":1B58 " 10
env $(card_env caller) "$build/voxaria_client" localhost </dev/null >"$work/caller.out" 2>&1 &
ends caller $! 1 "$(farewell_of caller)"
wait_for "$work/daemon.out" "Connection closed by client." 10 ||
  fail "the daemon rang on for a caller that had given up"
kill "$daemon_pid"; wait "$daemon_pid" 2>/dev/null || true
epoch=$(date +%s.%N)
env $(card_env callee) "$build/voxaria_server" </dev/null >"$work/callee.out" 2>&1 &
callee_pid=$!
wait_for /proc/net/udp ":1388 " 20
exec 9<>/dev/udp/127.0.0.1/5000  # a caller that stays: a closed one would be seen gone
printf 'Connection established to the client.\0' >&9
ends callee "$callee_pid" 1 "Please begin the conversation. Click on HANGUP to terminate." "$(farewell_of callee)"
exec 9>&-
for side in caller callee; do
  start_call "$data/speech_a.wav" "$data/speech_b.wav" --
  if [[ $side == caller ]]; then exec 7>&-; else exec 8>&-; fi
  ends "$side" "$(pid_of "$side")" 1 "$(farewell_of "$side")"
  survivor_told "$(other_of "$side")"
done
fi

if want setup; then
# The caller killed while the daemon rings: its host refuses the next "no"
# (one goes out every second), the daemon stops ringing and greets the next
# caller, queued meanwhile.
home=$work/callee-home
mkdir -p "$home"; cp "$build/voxaria_server" "$home/"
rm -f "$work/caller.in" "$work/callee.in"; mkfifo "$work/caller.in" "$work/callee.in"
epoch=$(date +%s.%N)
(cd "$home" && exec env $(card_env daemon) "$build/voxariad" >"$work/daemon.out" 2>&1 </dev/null) &
daemon_pid=$!
wait_for /proc/net/udp ":1B58 " 10
env $(card_env gone) "$build/voxaria_client" localhost <"$work/caller.in" >"$work/gone.out" 2>&1 8>&- &
gone_pid=$!
exec 7>"$work/caller.in"
wait_for "$work/daemon.out" "is trying to contact you" 20
env $(card_env caller SIMCARD_INPUT="$data/speech_a.wav") "$build/voxaria_client" localhost \
  <"$work/caller.in" >"$work/caller.out" 2>&1 &
caller_pid=$!
kill -9 "$gone_pid"; wait "$gone_pid" 2>/dev/null || true
killed=$(card_time)
wait_for "$work/caller.out" "Connected to the party's daemon" 10 ||
  fail "the next caller was not greeted: $(cat "$work/caller.out")"
greeted=$(card_time)
# The daemon keeps the card's time: 2 s to notice, 2 more to greet.
awk -v k="$killed" -v g="$greeted" 'BEGIN { exit !(g - k < 4) }' ||
  fail "the next caller was greeted $(awk -v k="$killed" -v g="$greeted" 'BEGIN { print g - k }') card seconds after the first was killed"
rings=$(sed '/Connection closed by client/q' "$work/daemon.out" | grep -c "is trying to contact you" || true)
grep -q "Connection closed by client" "$work/daemon.out" && ((rings == 1)) ||
  fail "the daemon did not stop ringing for the gone caller ($rings rings): $(cat "$work/daemon.out")"
(cd "$home" && exec env $(card_env callee SIMCARD_INPUT="$data/speech_b.wav") ./voxaria_server \
  <"$work/callee.in" >"$work/callee.out" 2>&1 7>&-) &
callee_pid=$!
exec 8>"$work/callee.in"
wait_for "$work/caller.out" "Please begin the conversation" 60 &&
  wait_for "$work/callee.out" "Please begin the conversation" 60 || fail "the next call did not open"
kill "$daemon_pid"; wait "$daemon_pid" 2>/dev/null || true
hang_up || fail "the next call did not hang up cleanly"
fi
exit $failed
