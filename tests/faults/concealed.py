#!/usr/bin/env python3
"""What the listener's card played around lost blocks, from its event log:
the blocks written, the playback sessions (open to close), and the places
inside a session where the card ran dry (a write that begins later than
the last one ended). With the numbers of voice datagrams the talker sent
and the network dropped, the blocks played beyond those received are the
ones that stood in for lost ones. A card dry for 2 ms or less is a
machine's hiccup (a millisecond's sleep overslept on a busy machine), not
a block that failed to come: a few are allowed, and counted apart. Prints
the figures; exits 1 when the card ran dry inside a session for longer,
or more than 3 times for less, fewer than LEAST_PERCENT of the losses
were concealed, or (where given) the card played in more than
MOST_SESSIONS sessions: it stopped and started again.
  concealed.py CARD.log SENT DROPPED LEAST_PERCENT [MOST_SESSIONS]"""
import sys

log, sent, dropped, least = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
most_sessions = int(sys.argv[5]) if len(sys.argv) > 5 else None
hiccup_samples, most_hiccups = 16, 3
writes = sessions = dry = hiccups = 0
end = None
with open(log) as events:
    for line in events:
        fields = line.split()
        if len(fields) < 3:
            continue
        kind, rest = fields[2], dict(f.split("=", 1) for f in fields[3:] if "=" in f)
        if kind == "open" and rest.get("mode") == "w" and "error" not in rest:
            sessions += 1
            end = None
        elif kind == "write" and "pos" in rest:
            pos, samples = int(rest["pos"]), int(rest["bytes"]) // 2
            if end is not None and pos > end + hiccup_samples:
                dry += 1
            elif end is not None and pos > end:
                hiccups += 1
            end = pos + samples
            writes += samples // 128
concealed = writes - (sent - dropped)
share = 100.0 * concealed / max(dropped, 1)
print(f"{dropped} of {sent} voice datagrams lost, {concealed} concealed ({share:.0f}%); "
      f"{writes} blocks played in {sessions} stretches, the card dry {dry} times inside them "
      f"(and {hiccups} times for 2 ms or less)")
fed = most_sessions is None or sessions <= most_sessions
steady = dry == 0 and hiccups <= most_hiccups
sys.exit(0 if steady and 0 <= concealed <= dropped and share >= least and fed else 1)
