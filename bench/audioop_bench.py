#!/usr/bin/env python3
"""Throughput of Python's audioop IMA ADPCM (lin2adpcm / adpcm2lin) in
samples per second, on the same input as bench/adpcm_bench.cpp: 128-sample
calls with the state carried, and long runs of 1 s and 60 s.

    python3 bench/audioop_bench.py
"""

import struct
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

SAMPLE_RATE = 8000
BLOCK = 128


def speech_like(n):
    """The smoothed integer random walk of adpcm_bench.cpp, bit for bit."""
    seed, slope, value, out = 0x12345678, 0, 0, []
    for _ in range(n):
        seed ^= (seed << 13) & 0xFFFFFFFF
        seed ^= seed >> 17
        seed ^= (seed << 5) & 0xFFFFFFFF
        slope += (seed >> 22) - 512 - (slope >> 3)
        value += slope - (value >> 5)
        out.append(max(-32768, min(32767, value >> 2)))
    return struct.pack("<%dh" % n, *out)


def best_rate(run, samples, repeats=5):
    """Samples per second of the fastest of a few runs."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return samples / best


def blocks(pcm, fn, step):
    def run():
        state = None
        for at in range(0, len(pcm), step):
            state = fn(pcm[at:at + step], 2, state)[1]
    return run


def main():
    long_pcm = speech_like(60 * SAMPLE_RATE)
    long_codes = audioop.lin2adpcm(long_pcm, 2, None)[0]
    n = 60 * SAMPLE_RATE
    rows = [
        ("coder   128-sample calls", best_rate(blocks(long_pcm, audioop.lin2adpcm, 2 * BLOCK), n)),
        ("decoder 128-sample calls", best_rate(blocks(long_codes, audioop.adpcm2lin, BLOCK // 2), n)),
    ]
    for seconds in (1, 60):
        count = seconds * SAMPLE_RATE
        pcm, codes = long_pcm[:2 * count], long_codes[:count // 2]
        rows.append(("coder   %2d s in one call" % seconds,
                     best_rate(lambda: audioop.lin2adpcm(pcm, 2, None), count)))
        rows.append(("decoder %2d s in one call" % seconds,
                     best_rate(lambda: audioop.adpcm2lin(codes, 2, None), count)))
    for name, rate in rows:
        print("%-26s %8.1f M samples/s" % (name, rate / 1e6))


if __name__ == "__main__":
    main()
