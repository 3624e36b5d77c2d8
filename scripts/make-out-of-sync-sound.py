#!/usr/bin/env python3
"""Writes the out-of-sync warning: two short falling tones, 16-bit mono 22050 Hz WAV."""
import math
import struct
import sys
import wave

RATE = 22050


def tone(freq, seconds, volume=0.6):
    n = int(RATE * seconds)
    fade = int(RATE * 0.01)
    out = []
    for i in range(n):
        env = min(1.0, i / fade, (n - 1 - i) / fade)
        out.append(volume * env * math.sin(2 * math.pi * freq * i / RATE))
    return out


samples = tone(880, 0.12) + [0.0] * int(RATE * 0.05) + tone(587, 0.18)
path = sys.argv[1] if len(sys.argv) > 1 else "App/qml/sounds/out-of-sync.wav"
with wave.open(path, "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(RATE)
    w.writeframes(b"".join(struct.pack("<h", int(s * 32767)) for s in samples))
