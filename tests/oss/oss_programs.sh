#!/bin/bash
# Debian's sox and ecasound, unmodified OSS programs, play and record
# through a stand-in for /dev/dsp:
#   oss_programs.sh card BUILD_DIR      the simulated card (libsimcard.so)
#   oss_programs.sh desktop BUILD_DIR   the desktop companion, inside
#       pipewire-session -r 8000 -c tests/desktop/pipewire spk mic (null
#       sinks "spk", the loudspeaker, and "mic", whose monitor is the
#       microphone)
# What they play must come out sample for sample (on the sound server with
# silent gaps allowed where it ran dry or stalled), and what they record
# must be what the card's input or the server's source gave. On the
# companion the tests' own helper also checks non-blocking transfers (the
# card's are checked in simcard_test). Exits 77 when a program or the sound
# server is missing.
set -uo pipefail

kind=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
seed=1  # of the test signal
limit=15  # seconds any one program may take

skip() {
  echo "SKIPPED: $*"
  exit 77
}
for program in sox ecasound python3; do
  command -v "$program" >/dev/null || skip "$program is not installed (packages sox libsox-fmt-oss ecasound)"
done
[[ -n "$(find /usr/lib -name 'libsox_fmt_oss.so' -print -quit)" ]] ||
  skip "sox has no OSS driver (package libsox-fmt-oss)"
if [[ $kind == desktop ]]; then
  [[ -n "${XDG_RUNTIME_DIR:-}" ]] || skip "needs pipewire-session around it"
  [[ -f "$build/libvoxaria_desktop.so" ]] || skip "no libvoxaria_desktop.so (package libpulse-dev)"
  command -v parec >/dev/null || skip "parec is not installed (package pulseaudio-utils)"
fi

scratch=$(mktemp -d /tmp/voxaria-oss.XXXXXX)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap finish EXIT
cd "$scratch" || exit 1
failures=0

# Runs a program with a stdin pipe of its own and a time limit.
run() {
  : | timeout "$limit" "$@"
  local status=$?
  ((status == 124)) && echo "gave up after ${limit} s waiting for: $*"
  return "$status"
}

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what (test signal seed $seed)"
    failures=$((failures + 1))
  fi
}

# Waits up to 5 s for a shell condition.
await() {
  for _ in $(seq 100); do
    eval "$1" && return 0
    sleep 0.05
  done
  echo "gave up waiting for: $1"
  return 1
}

samples() { python3 "$here/samples.py" "$@"; }

samples make signal.wav 2 "$seed"
samples make short.wav 0.5 "$seed"
# Played on the desktop: long enough that a stalled server's cycle or two
# stay within the check's bound. Not 1 or 2 s: Debian 12's sox, on any OSS
# device, reads past its buffer and crashes when its last piece of a file
# is between 4096 and 8192 samples long (1.5 s ends in 3808).
samples make play.wav 1.5 "$seed"
# The card's microphone: long enough that a program slow to start on a
# loaded machine still records within it (the card plays it from its start).
samples make long.wav 30 "$seed"

# The first recorded input sample of the last card log: where a recording began.
first_in() { sed -n 's/.* read fd=[0-9]* bytes=[0-9]* pos=-*[0-9]* in=\(-*[0-9]*\)$/\1/p' "$1" | head -1; }

# --- The simulated card --------------------------------------------------

card_play() {  # NAME COMMAND...: plays short.wav
  local name=$1
  shift
  SIMCARD_OUTPUT=$scratch/$name.out.wav SIMCARD_LOG=$scratch/$name.log SIMCARD_SPEED=4 \
    LD_PRELOAD=$build/libsimcard.so run "$@" &&
    samples played short.wav "$name.out.wav"
}

card_record() {  # NAME SPEED COMMAND...: records from long.wav into NAME.wav
  local name=$1 speed=$2
  shift 2
  SIMCARD_INPUT=$scratch/long.wav SIMCARD_LOG=$scratch/$name.log SIMCARD_SPEED=$speed \
    LD_PRELOAD=$build/libsimcard.so run "$@" &&
    samples recorded long.wav "$name.wav" --from "$(first_in "$name.log")"
}

if [[ $kind == card ]]; then
  check "sox plays through the card" card_play sox-play sox -q short.wav -t oss /dev/dsp
  check "sox records from the card" card_record sox-rec 4 \
    sox -q -t oss -r 8000 -c 1 -b 16 -e signed /dev/dsp sox-rec.wav trim 0 0.5
  # A CD-quality stereo file: sox converts to what the card answers.
  sox -V1 short.wav -r 44100 -c 2 stereo.wav
  SIMCARD_OUTPUT=$scratch/stereo.out.wav SIMCARD_LOG=$scratch/stereo.log SIMCARD_SPEED=4 \
    LD_PRELOAD=$build/libsimcard.so run sox -V1 -q stereo.wav -t oss /dev/dsp
  check "sox asked for 44100 Hz stereo and was answered 8000 Hz mono" \
    grep -q "request=SPEED value=44100 answer=8000" stereo.log
  check "sox converted the stereo file to half a second at 8000 Hz" \
    python3 -c "import wave,sys; w=wave.open('stereo.out.wav'); n=w.getnframes(); sys.exit(not 4000 <= n < 8000)"
  check "ecasound plays through the card" card_play eca-play \
    ecasound -q -f:16,1,8000 -i short.wav -o /dev/dsp
  check "ecasound records from the card" card_record eca-rec 1 \
    ecasound -q -f:16,1,8000 -i /dev/dsp -o eca-rec.wav -t:0.5
fi

# --- The desktop companion -----------------------------------------------

desktop_play() {  # NAME COMMAND...: plays play.wav, heard at spk's monitor
  local name=$1
  shift
  parec -d spk.monitor --format=s16le --rate=8000 --channels=1 --raw --latency-msec=20 \
    >"$name.heard.raw" &
  local recorder=$!
  pids+=("$recorder")
  await "pactl list short source-outputs | grep -q ." &&
    PULSE_SINK=spk LD_PRELOAD=$build/libvoxaria_desktop.so run "$@" &&
    await "samples played play.wav $name.heard.raw --gaps >/dev/null 2>&1"
  local status=$?
  kill "$recorder"
  wait "$recorder" 2>/dev/null
  ((status == 0)) && samples played play.wav "$name.heard.raw" --gaps
}

desktop_record() {  # NAME COMMAND...: records NAME.wav from mic's monitor while signal.wav plays into mic
  local name=$1
  shift
  pacat -d mic --format=s16le --rate=8000 --channels=1 --raw signal.raw &
  local player=$!
  pids+=("$player")
  await "pactl list short sink-inputs | grep -q ." &&
    PULSE_SOURCE=mic.monitor LD_PRELOAD=$build/libvoxaria_desktop.so run "$@"
  local status=$?
  kill "$player" 2>/dev/null
  wait "$player" 2>/dev/null
  # The source's first sound comes a moment after its stream: of the second
  # recorded, at least a quarter is sound.
  ((status == 0)) && samples recorded signal.wav "$name.wav" --gaps 2000
}

if [[ $kind == desktop ]]; then
  sox -q signal.wav -t raw signal.raw
  check "sox plays through the companion" desktop_play sox-play sox -q play.wav -t oss /dev/dsp
  check "sox records from the companion" desktop_record sox-rec \
    sox -q -t oss -r 8000 -c 1 -b 16 -e signed /dev/dsp sox-rec.wav trim 0 1
  check "ecasound plays through the companion" desktop_play eca-play \
    ecasound -q -f:16,1,8000 -i play.wav -o /dev/dsp
  check "ecasound records from the companion" desktop_record eca-rec \
    ecasound -q -f:16,1,8000 -i /dev/dsp -o eca-rec.wav -t:1
fi

# Non-blocking transfers through the companion, by the tests' own OSS
# program: neither waits, each moves at most what the buffer (two
# fragments) holds, and a read finds nothing at first.
nonblocking() {
  local helper=$build/tests/simcard_helper out
  local preload=(env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$build/libvoxaria_desktop.so")
  out=$(run "${preload[@]}" PULSE_SINK=spk "$helper" nonblock w | tr '\n' ' ') || return 1
  echo "playback: $out"
  [[ $out =~ ^SETFRAGMENT\ 0x00020007\ write\ ([0-9]+)\  ]] || return 1
  ((BASH_REMATCH[1] > 0 && BASH_REMATCH[1] <= 256)) || return 1
  out=$(run "${preload[@]}" PULSE_SOURCE=mic.monitor "$helper" nonblock r nb.raw 1500000 |
    tr '\n' ' ') || return 1
  echo "recording: $out"
  [[ $out =~ ^read\ error\ EAGAIN\ GETISPACE\ [0-9]+\ 2\ 4096\ ([0-9]+)\ read\ ([0-9]+) ]] || return 1
  local ready=${BASH_REMATCH[1]} got=${BASH_REMATCH[2]}
  ((ready > 0 && got >= ready && got <= 8192))
}

if [[ $kind == desktop ]]; then
  check "non-blocking transfers through the companion" nonblocking
fi

((failures == 0)) || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
