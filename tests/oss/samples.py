#!/usr/bin/env python3
"""Sample checks for the OSS programs test, read independently of the
stand-ins: files are read with Python's wave module (or as raw signed
16-bit little-endian mono when not WAV).

    samples.py make OUT.wav SECONDS SEED   a signal no position repeats, never 0
    samples.py played INPUT HEARD [--gaps] INPUT stands whole and in order in HEARD
    samples.py recorded SOURCE GOT [--from N | --gaps MIN]
                                           GOT is SOURCE from sample N on; or,
                                           with --gaps, a piece of SOURCE of at
                                           least MIN samples

--gaps: the sound server may run dry and play (or record) silence between
samples. A recording's zero samples (which the signal never has) are left
out on both sides before comparing; what was played is followed through
what was heard as in the desktop call tests, which also allow, counted and
bounded, the cycles a stalled server played as silence in place of their
sound. Exit status 1 with the reason when a check fails.
"""

import array
import os
import random
import sys
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from heard_check import MOST_REPLACED, even_find, follow  # noqa: E402


def samples(path):
    with open(path, "rb") as f:
        riff = f.read(4) == b"RIFF"
    if riff:
        with wave.open(path, "rb") as w:
            if (w.getnchannels(), w.getsampwidth()) != (1, 2):
                sys.exit(f"{path}: not 16-bit mono")
            data = w.readframes(w.getnframes())
    else:
        with open(path, "rb") as f:
            data = f.read()
    out = array.array("h")
    out.frombytes(data[: len(data) // 2 * 2])
    if sys.byteorder != "little":
        out.byteswap()
    return out


def without_silence(signal):
    return array.array("h", (s for s in signal if s != 0))


def find(needle, haystack):
    """Sample index of needle's first whole appearance in haystack, or -1."""
    at = even_find(haystack.tobytes(), needle.tobytes())
    return at // 2 if at >= 0 else -1


def fail(text):
    print("samples.py:", text, file=sys.stderr)
    sys.exit(1)


def make(path, seconds, seed):
    rng = random.Random(seed)
    signal = array.array("h", (rng.choice((-1, 1)) * rng.randint(1, 20000) for _ in range(int(seconds * 8000))))
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(signal.tobytes())


def played(input_path, heard_path, gaps):
    sent, heard = samples(input_path), samples(heard_path)
    if not gaps:
        if find(sent, heard) < 0:
            fail(f"the {len(sent)} samples of {input_path} do not stand whole and in order in "
                 f"{heard_path} ({len(heard)} samples)")
        print(f"played: all {len(sent)} samples heard in order")
        return
    found = follow(sent, heard)
    if isinstance(found, str):
        fail(f"{input_path} in {heard_path} ({len(heard)} samples, counted in blocks of 128): {found}")
    lost = sum(length for _, length in found[0])
    if lost > len(sent) * MOST_REPLACED:
        fail(f"{heard_path}: {lost} of {len(sent)} samples played as silence by a stalled server")
    print(f"played: all {len(sent)} samples heard in order ({lost} played as silence by a stalled server)")


def recorded(source_path, got_path, start, minimum):
    source, got = samples(source_path), samples(got_path)
    if minimum is not None:
        source, got = without_silence(source), without_silence(got)
        if len(got) < minimum:
            fail(f"{got_path}: only {len(got)} samples of sound, at least {minimum} expected")
        if find(got, source) < 0:
            fail(f"{got_path}: its {len(got)} samples are no piece of {source_path}")
    elif source[start : start + len(got)] != got:
        first = next((i for i, (a, b) in enumerate(zip(source[start:], got)) if a != b), None)
        fail(f"{got_path} ({len(got)} samples) differs from {source_path} from sample {start} on"
             + (f": first at {first}" if first is not None else ": the source ends first"))
    print(f"recorded: {len(got)} samples as the source gave them")


def main(argv):
    if len(argv) >= 4 and argv[0] == "make":
        make(argv[1], float(argv[2]), int(argv[3]))
    elif len(argv) >= 3 and argv[0] == "played":
        played(argv[1], argv[2], "--gaps" in argv[3:])
    elif len(argv) == 3 and argv[0] == "recorded":
        recorded(argv[1], argv[2], 0, None)
    elif len(argv) == 5 and argv[0] == "recorded" and argv[3] in ("--from", "--gaps"):
        n = int(argv[4])
        recorded(argv[1], argv[2], n if argv[3] == "--from" else 0, n if argv[3] == "--gaps" else None)
    else:
        sys.exit(__doc__)


main(sys.argv[1:])
