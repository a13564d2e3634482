#!/bin/sh
# Makes the two speech clips the sound tests play through the phone:
#
#   speech_a.wav  British English, male voice variant (en-gb+m3)
#   speech_b.wav  American English, female voice variant (en-us+f3)
#
# each a few seconds of connected speech, 8000 Hz, mono, signed 16-bit WAV,
# peak at -3 dBFS, with the synthesiser's leading and trailing silence cut
# down to 0.1 s.
#
# Made on Debian 12 with espeak-ng 1.51 and sox 14.4.2 by
#
#   sh tests/data/make_speech.sh
#
# from the top of the repository (it writes beside itself wherever it is run
# from). The result is the same on every run: espeak-ng is deterministic and
# sox runs with dither off (-D) and in repeatable mode (-R).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# make_clip VOICE TEXT OUTPUT
make_clip() {
  espeak-ng -v "$1" -s 155 -p 50 -w "$work/raw.wav" "$2"
  # Trim everything below 0.3 % of full scale at both ends, then put back
  # 0.1 s of silence; resample with sox's steep low-pass, then normalise.
  sox -D -R "$work/raw.wav" -r 8000 -c 1 -b 16 -e signed-integer "$3" \
    silence 1 0.01 0.3% reverse silence 1 0.01 0.3% reverse \
    rate -v 8000 pad 0.1 0.1 norm -3
}

make_clip en-gb+m3 "Hello, this is Voxaria calling. Can you hear me?" \
  "$here/speech_a.wav"
make_clip en-us+f3 "Yes, I hear you well. The garden is in bloom." \
  "$here/speech_b.wav"

for clip in speech_a speech_b; do
  printf '%s: ' "$clip"
  sox "$here/$clip.wav" -n stat 2>&1 | grep 'Length'
done
