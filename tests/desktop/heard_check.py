#!/usr/bin/env python3
"""Checks that every voice block one program sent was played, bit-exact and
in order, at the other end.

    tests/desktop/heard_check.py SENT.strace HEARD.raw

SENT.strace: `strace -f -e trace=sendto -xx -s 64` of the talker; each sendto
of 64 bytes is one voice payload, up to a hang-up.  HEARD.raw: the listener's loudspeaker,
signed 16-bit little-endian mono.  The payloads are decoded here with
Python's audioop, independently of the programs' own codec, from a fresh
state, one stream as the listener decodes them, and that stream is followed
sample by sample through HEARD.raw from its first block on (a ring may come
before).  Only silence may come between: where the listener paused, or a
sound server ran dry and played silence before the rest.  A server that
misses its cycle (stalled by the machine's scheduling) plays silence instead
of what it took: the stream then goes on after the silence exactly where it
would have been.  Such stretches are allowed, counted and bounded; anything
else that differs is a failure.  Prints a summary; exit status 1 if the
stream is not heard, 2 if nothing was sent.
"""

import array
import re
import sys
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

PAYLOAD = 64
BLOCK = 128
HEAD = 16  # samples that must match where the stream goes on after silence
# A server stall costs whole cycles of its sound; more than this is no longer
# a stall now and then, and fails.
MOST_REPLACED = 0.05
SENDTO = re.compile(r'^(\d+) +sendto\(\d+, "((?:\\x[0-9a-f]{2})*)"(\.\.\.)?, (\d+),')
RESUMED = re.compile(r'^(\d+) +<\.\.\. sendto resumed>')


def sent_payloads(path):
    """The payloads of the sendtos that sent 64 bytes, in order. A call that
    another traced thread interrupts (the sound library's own thread sends
    too) is split by strace into an unfinished line with the data and a
    resumed one with the result; the two are joined by process id."""
    payloads = []
    pending = {}
    with open(path) as trace:
        for line in trace:
            line = line.rstrip()
            m = SENDTO.search(line)
            if m:
                if int(m.group(4)) != PAYLOAD:
                    continue
                data = bytes.fromhex(m.group(2).replace("\\x", ""))
                if line.endswith("<unfinished ...>"):
                    pending[m.group(1)] = data
                elif line.endswith(f"= {PAYLOAD}"):
                    payloads.append(data)
                continue
            m = RESUMED.search(line)
            if m and m.group(1) in pending:
                data = pending.pop(m.group(1))
                if line.endswith(f"= {PAYLOAD}"):
                    payloads.append(data)
    return payloads


def is_hang_up(payload):
    """The payload that ends a call: 88 codes of magnitude below 4 (bit 2 of
    each nibble clear), then codes 8 only. It is never played, nor anything
    sent after it."""
    settling = payload[:44]
    return all(b & 0x44 == 0 for b in settling) and payload[44:] == b"\x88" * 20


def resumes(expected, i, heard, j):
    """Whether heard from j goes on as expected from i (for HEAD samples),
    or expected has ended."""
    want = expected[i:i + HEAD]
    return heard[j:j + len(want)] == want


def even_find(haystack, needle):
    """The first sample-aligned offset of needle in haystack (bytes), or -1."""
    at = haystack.find(needle)
    while at >= 0 and at % 2:
        at = haystack.find(needle, at + 1)
    return at


def locate(expected, heard):
    """Where in heard the stream starts, and how many of its first samples
    a stalled server played as silence; None if it is not found. Whatever
    the loudspeaker played before the call (a ring) is passed over."""
    heard_bytes = heard.tobytes()
    for skipped in range(2 * BLOCK):
        at = even_find(heard_bytes, expected[skipped:skipped + HEAD].tobytes()) // 2
        if at >= skipped and not any(heard[at - skipped:at]):
            return at, skipped
    return None


def follow(expected, heard):
    """Follows expected through heard. Returns (replaced, pauses): the
    stretches a stalled server played as silence, as (sample, length), and
    how many silences came inside a block; or a string saying where the
    stream was lost."""
    found = locate(expected, heard)
    if found is None:
        return "block 0 is not heard"
    j, i = found
    replaced, pauses = ([(0, i)] if i else []), 0
    while i < len(expected):
        if j < len(heard) and heard[j] == expected[i]:
            i, j = i + 1, j + 1
            continue
        # A silence, taken whole: the zeros just passed matched the stream's
        # own quiet samples only if the stream goes on after all of them.
        start = j
        while start > 0 and heard[start - 1] == 0 and start > j - i:
            start -= 1
        i -= j - start
        while j < len(heard) and heard[j] == 0:
            j += 1
        if j == start < len(heard):
            return f"block {i // BLOCK} differs at its sample {i % BLOCK}: heard {heard[j]}"
        # It holds as much of the stream as goes on after it: none where the
        # listener or the server paused, the cycles a stalled server missed.
        held = min(j - start, len(expected) - i)
        covered = next((d for d in range(held + 1) if resumes(expected, i + d, heard, j)), None)
        if covered is None:
            if j >= len(heard):
                return f"what was heard ends at block {i // BLOCK}, sample {i % BLOCK}"
            return (f"block {i // BLOCK} is not heard after {j - start} samples of silence "
                    f"at its sample {i % BLOCK}")
        if any(expected[i:i + covered]):
            replaced.append((i, covered))
        if j - start > covered and (i + covered) % BLOCK:
            pauses += 1
        i += covered
    return replaced, pauses


def main():
    payloads = sent_payloads(sys.argv[1])
    ends = [n for n, p in enumerate(payloads) if len(p) == PAYLOAD and is_hang_up(p)]
    payloads = payloads[: ends[0]] if ends else payloads
    heard = array.array("h")
    with open(sys.argv[2], "rb") as f:
        heard.frombytes(f.read())
    if not payloads:
        print("no voice block was sent")
        return 2
    expected = array.array("h")
    state = None
    for number, payload in enumerate(payloads):
        if len(payload) != PAYLOAD:
            print(f"block {number}: strace showed {len(payload)} of its {PAYLOAD} bytes")
            return 1
        samples, state = audioop.adpcm2lin(payload, 2, state)
        expected.frombytes(samples)
    found = follow(expected, heard)
    if isinstance(found, str):
        print(f"{len(payloads)} blocks sent; {found}")
        return 1
    replaced, pauses = found
    lost = sum(length for _, length in replaced)
    stalls = f"{lost} samples in {len(replaced)} stretches played as silence by a stalled server"
    if lost > len(expected) * MOST_REPLACED:
        print(f"{len(payloads)} blocks sent; {stalls}, more than {MOST_REPLACED:.0%}")
        return 1
    print(f"{len(payloads)} blocks sent, all heard bit-exact and in order "
          f"({pauses} pauses inside blocks; {stalls})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
