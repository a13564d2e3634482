#!/usr/bin/env python3
"""What a lost datagram leaves in what is heard when the decoder stays out of
step: an offset as large as the speech. Prints the share of quarter-seconds
of played sound (16 blocks in a row that the card played, silence between
talk spurts left out) whose mean lies within 1% of full scale, and exits 1
when it is below the given share.
  heard_offset.py LOUDSPEAKER.wav LEAST_PERCENT"""
import sys
import wave

with wave.open(sys.argv[1]) as w:
    raw = w.readframes(w.getnframes())
samples = [int.from_bytes(raw[i:i + 2], "little", signed=True) for i in range(0, len(raw), 2)]
blocks = [samples[i:i + 128] for i in range(0, len(samples) - 127, 128)]
played = [b for b in blocks if any(b)]
windows = [played[i:i + 16] for i in range(0, len(played) - 15, 16)]
means = [sum(sum(b) for b in win) / (16 * 128) for win in windows]
within = sum(abs(m) <= 327.67 for m in means)
share = 100.0 * within / max(len(means), 1)
print(f"{len(played)} blocks played; {within} of {len(means)} quarter-seconds within 1% of full scale of zero mean ({share:.0f}%)")
sys.exit(0 if means and share >= float(sys.argv[2]) else 1)
