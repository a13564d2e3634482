#!/usr/bin/env python3
"""Writes adpcm_vectors.txt: reference vectors for the IMA ADPCM coder and
decoder, computed with Python's audioop (lin2adpcm / adpcm2lin), which is an
implementation independent of ours.

Run from anywhere (Python 3.11 or 3.12; audioop is gone from 3.13):

    python3 tests/data/make_adpcm_vectors.py [--seed N] [--out PATH]

The default seed is fixed, so the output is the same on every run; the seed
used is written into the header of the file.

File format (one vector per line, '#' starts a comment line):

    <op> <start> <count> <input> <output> <end_pred> <end_index>

  op        C: code <count> samples into (count + 1) / 2 bytes
            D: decode <count> samples from (count + 1) / 2 bytes
  start     "<pred>,<index>" (decimal) for a fresh state, or "*" for the
            state left by the previous line: the lines of a stream are one
            conversation coded in consecutive calls
  count     number of samples (decimal)
  input     C: samples, 4 hex digits each, 16-bit two's complement
            D: code bytes, 2 hex digits each
            "-" when empty
  output    C: code bytes; D: samples (same encodings), "-" when empty
  end_pred, end_index
            the state after the call (decimal)

Two codes share a byte, the earlier sample in the high nibble; an odd count
ends with a byte whose low nibble is zero.
"""

import argparse
import math
import os
import random
import struct
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

DEFAULT_SEED = 7100417
MAX_INDEX = 88


# --- audioop wrappers that follow our packing for odd counts ------------------

def pack(samples):
    return struct.pack("<%dh" % len(samples), *samples)


def unpack(data):
    return list(struct.unpack("<%dh" % (len(data) // 2), data))


def ref_code(samples, state):
    """Codes samples from state, returns (bytes, end state) in our layout.

    audioop drops the last nibble of an odd count, but its state includes it.
    Codes never depend on later samples, so coding one extra dummy sample
    yields that last code in the high nibble of the extra byte."""
    codes, end = audioop.lin2adpcm(pack(samples), 2, state)
    if len(samples) % 2:
        padded, _ = audioop.lin2adpcm(pack(samples + [0]), 2, state)
        codes += bytes([padded[-1] & 0xF0])
    return codes, end


def ref_decode(codes, count, state):
    """Decodes count samples from codes starting at state.

    For an odd count the end state cannot be read from audioop directly, so
    odd decoder vectors are only made from codes the coder produced; the
    caller passes that coder's end state (the decoder tracks it exactly)."""
    samples, end = audioop.adpcm2lin(bytes(codes), 2, state)
    return unpack(samples)[:count], end


# --- signals ------------------------------------------------------------------

def clip(x):
    return max(-32768, min(32767, int(round(x))))


def random_signal(rng, n):
    return [rng.randint(-32768, 32767) for _ in range(n)]


def speech_like(rng, n, level=8000.0):
    """A smoothed random walk under a syllable-rate envelope: slow enough for
    the predictor to follow, with loud and quiet stretches."""
    out, x, v = [], 0.0, 0.0
    env_phase = rng.random() * 2 * math.pi
    syllable = rng.uniform(3.0, 6.0) / 8000.0 * 2 * math.pi
    for i in range(n):
        v = 0.9 * v + rng.gauss(0.0, 1.0)
        x = 0.97 * x + v
        env = 0.15 + 0.85 * max(0.0, math.sin(env_phase + i * syllable)) ** 2
        out.append(clip(x * level / 40.0 * env))
    return out


def square(n, period, low=-32768, high=32767):
    return [high if (i // (period // 2)) % 2 == 0 else low for i in range(n)]


def random_state(rng):
    return (rng.randint(-32768, 32767), rng.randint(0, MAX_INDEX))


# --- output -------------------------------------------------------------------

def hex_samples(samples):
    return "".join("%04x" % (s & 0xFFFF) for s in samples) or "-"


def hex_bytes(data):
    return bytes(data).hex() or "-"


class Writer:
    def __init__(self, out):
        self.out = out
        self.lines = 0

    def comment(self, text):
        self.out.write("# %s\n" % text)

    def line(self, op, start, count, inp, outp, end):
        start_text = "*" if start is None else "%d,%d" % start
        self.out.write("%s %s %d %s %s %d %d\n" % (op, start_text, count, inp, outp, end[0], end[1]))
        self.lines += 1

    def code(self, samples, state, carried=False):
        codes, end = ref_code(samples, state)
        self.line("C", None if carried else state, len(samples), hex_samples(samples),
                  hex_bytes(codes), end)
        return codes, end

    def decode(self, codes, count, state, end_if_odd=None, carried=False):
        samples, end = ref_decode(codes, count, state)
        if count % 2:
            end = end_if_odd
        self.line("D", None if carried else state, count, hex_bytes(codes),
                  hex_samples(samples), end)
        return samples, end

    def code_and_decode(self, samples, state):
        """A coder vector and the decoder vector of its codes."""
        codes, end = self.code(samples, state)
        self.decode(codes, len(samples), state, end_if_odd=end)


def stream(w, samples, sizes, state):
    """Codes samples in consecutive calls of the given sizes (cycled), the
    state carried, then decodes the codes in the same calls."""
    blocks, pos, k = [], 0, 0
    while pos < len(samples):
        size = sizes[k % len(sizes)]
        blocks.append(samples[pos:pos + size])
        pos += size
        k += 1
    coded, s = [], state
    for i, block in enumerate(blocks):
        codes, s = w.code(block, s, carried=i > 0)
        coded.append((codes, len(block), s))
    s = state
    for i, (codes, count, coder_end) in enumerate(coded):
        _, s = w.decode(codes, count, s, end_if_odd=coder_end, carried=i > 0)
        assert s == coder_end, "decoder state diverged from coder state"


def generate(out, seed):
    rng = random.Random(seed)
    w = Writer(out)
    w.comment("IMA ADPCM reference vectors made with Python's audioop")
    w.comment("by tests/data/make_adpcm_vectors.py --seed %d" % seed)
    w.comment("format: <C|D> <pred,index|*> <count> <input hex> <output hex> <end_pred> <end_index>")
    w.comment("(see the script for the full description)")

    w.comment("empty calls")
    w.code_and_decode([], (0, 0))
    w.code_and_decode([], (-1234, 40))

    w.comment("short signals, every count from 1 to 9, zero and random start states")
    for count in range(1, 10):
        w.code_and_decode(random_signal(rng, count), (0, 0))
        w.code_and_decode(random_signal(rng, count), random_state(rng))
        w.code_and_decode(speech_like(rng, count), random_state(rng))

    w.comment("random full-range signals")
    for count in (64, 127, 128, 255, 400):
        w.code_and_decode(random_signal(rng, count), (0, 0))
        w.code_and_decode(random_signal(rng, count), random_state(rng))

    w.comment("speech-like random walks")
    for count in (128, 129, 320, 1001):
        w.code_and_decode(speech_like(rng, count), (0, 0))
        w.code_and_decode(speech_like(rng, count, level=rng.uniform(500, 20000)), random_state(rng))

    w.comment("full-scale square waves")
    for period in (2, 4, 16, 80):
        w.code_and_decode(square(200, period), (0, 0))
        w.code_and_decode(square(201, period), random_state(rng))

    w.comment("clipping runs at the rails, from rest and from the opposite rail")
    for value in (32767, -32768):
        w.code_and_decode([value] * 60, (0, 0))
        w.code_and_decode([value] * 61, (0, MAX_INDEX))
        w.code_and_decode([value] * 40, (-1 - value, MAX_INDEX))
        w.code_and_decode([value] * 40, (value, MAX_INDEX))
    w.code_and_decode([32767] * 30 + [-32768] * 30 + [32767] * 31, (0, 0))

    w.comment("decoder on arbitrary codes, even counts, zero and random start states")
    for nbytes in (1, 2, 16, 64, 200):
        codes = bytes(rng.randrange(256) for _ in range(nbytes))
        w.decode(codes, 2 * nbytes, (0, 0))
        w.decode(codes, 2 * nbytes, random_state(rng))
    w.decode(bytes([0x77] * 100), 200, (0, 0))  # codes that climb to the top rail
    w.decode(bytes([0xFF] * 100), 200, (0, 0))  # and to the bottom one

    w.comment("stream: 1 s of speech-like signal in 128-sample calls, state carried")
    stream(w, speech_like(rng, 8000), [128], (0, 0))
    w.comment("stream: other even call sizes, from a random start state")
    stream(w, speech_like(rng, 3000, level=15000), [2, 6, 40, 256, 1000, 64, 160], random_state(rng))
    w.comment("stream: odd and even call sizes mixed, full-range noise bursts")
    stream(w, speech_like(rng, 600) + random_signal(rng, 300) + speech_like(rng, 600),
           [1, 3, 128, 77, 2, 255, 5], (0, 0))
    return w.lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--out", default=None, help="default: adpcm_vectors.txt beside this script")
    args = parser.parse_args()
    path = args.out
    if path is None:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "adpcm_vectors.txt")
    with open(path, "w", newline="\n") as out:
        lines = generate(out, args.seed)
    print("wrote %d vectors to %s (seed %d)" % (lines, path, args.seed))


if __name__ == "__main__":
    main()
