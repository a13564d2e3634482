#!/usr/bin/env python3
"""Checks that every voice block one program sent was played, bit-exact and
in order, at the other end.

    tests/desktop/heard_check.py SENT.strace HEARD.raw

SENT.strace: `strace -f -e trace=sendto -xx -s 64` of the talker; each sendto
of 64 bytes is one voice payload.  HEARD.raw: the listener's loudspeaker,
signed 16-bit little-endian mono.  The payloads are decoded here with
Python's audioop, independently of the programs' own codec, from a fresh
state, one stream as the listener decodes them; every block of 128 samples
must appear in HEARD.raw after the previous one.  A sound server that runs
dry in the middle of a block plays silence there and the rest after it:
such gaps are allowed and counted, any other difference is not.  Prints a
summary; exit status 1 if a block is missing, 2 if nothing was sent.
"""

import array
import re
import sys
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

PAYLOAD = 64
HEAD = 8  # samples that locate a block
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


def played(block, heard, at):
    """Where block starts in heard at or after sample at, its samples in
    order with only silence between them; (start, end, gaps) or None."""
    head = block[:HEAD].tobytes()
    start = heard.tobytes().find(head, at * 2)
    while start >= 0:
        if start % 2 == 0:
            i, j, gaps = 0, start // 2, 0
            while i < len(block) and j < len(heard):
                if heard[j] == block[i]:
                    i, j = i + 1, j + 1
                elif heard[j] == 0:
                    gaps += heard[j - 1] != 0
                    j += 1
                else:
                    break
            if i == len(block):
                return start // 2, j, gaps
        start = heard.tobytes().find(head, start + 1)
    return None


def main():
    payloads = sent_payloads(sys.argv[1])
    heard = array.array("h")
    with open(sys.argv[2], "rb") as f:
        heard.frombytes(f.read())
    if not payloads:
        print("no voice block was sent")
        return 2
    # A layer known to drop a block now and then may be allowed that many;
    # every other block must still be heard bit-exact and in order.
    allowed = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    lost = []
    state = None
    at = 0
    gaps = 0
    for number, payload in enumerate(payloads):
        if len(payload) != PAYLOAD:
            print(f"block {number}: strace showed {len(payload)} of its {PAYLOAD} bytes")
            return 1
        samples, state = audioop.adpcm2lin(payload, 2, state)
        block = array.array("h")
        block.frombytes(samples)
        found = played(block, heard, at)
        if found is None:
            if len(lost) < allowed:
                lost.append(number)
                continue
            print(f"{len(payloads)} blocks sent; block {number} is not heard "
                  f"(bit-exact, after block {number - 1}); lost before it: {lost}")
            return 1
        _, at, block_gaps = found
        gaps += block_gaps
    print(f"{len(payloads)} blocks sent, all heard bit-exact and in order "
          f"({gaps} gaps of silence inside blocks; lost: {lost or 'none'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
