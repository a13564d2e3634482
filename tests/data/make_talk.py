#!/usr/bin/env python3
"""Makes a talker's microphone input from real recorded speech that no part
of Voxaria was tuned on: the spoken channel names that alsa-utils installs
(/usr/share/sounds/alsa, one speaker), resampled to 8 kHz with Python's
audioop, one after another at full and at half level, 0.8 s apart, after a
second of silence (room noise is the simulated card's to add).
  make_talk.py OUT.wav        exits 77 when the recordings are not there"""
import audioop
import glob
import sys
import wave

phrases = sorted(p for p in glob.glob("/usr/share/sounds/alsa/*.wav") if "Noise" not in p)
if not phrases:
    print("needs the recordings of alsa-utils in /usr/share/sounds/alsa", file=sys.stderr)
    sys.exit(77)
pause = b"\0\0" * 6400
talk = b"\0\0" * 8000
for level in (1.0, 0.5):
    for path in phrases:
        with wave.open(path) as w:
            frames = w.readframes(w.getnframes())
            if w.getnchannels() == 2:
                frames = audioop.tomono(frames, 2, 0.5, 0.5)
            frames, _ = audioop.ratecv(frames, 2, 1, w.getframerate(), 8000, None)
        talk += audioop.mul(frames, 2, level) + pause
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1)
    out.setsampwidth(2)
    out.setframerate(8000)
    out.writeframes(talk)
