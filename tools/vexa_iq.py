#!/usr/bin/env python3
"""Makes an I/Q WAV file for `vexa_sim --file` from a decoder's audio.

    vexa_iq.py IN OUT [--rate R] [--dial HZ] [--level DB] [--noise DB]

IN is either a mono WAV of 16-bit audio (what WSJT-X's ft8sim writes, or any
recording of a receiver's audio), placed as upper sideband: its audio at f Hz
lies at --dial + f Hz from the band's centre; or a .c2 file of WSJT-X's
wsprsim (complex samples at 375 S/s around 1500 Hz of audio), placed likewise.
OUT is a stereo WAV (I left, Q right, 32-bit float, full scale 1.0) at --rate
samples per second (default 48000). --level (default -60) is the dB relative
to the band's full scale at which audio at its own full scale lies; --noise
(default: none) adds white noise over the whole band at that level in dB
relative to full scale per sample, so that every part of the band carries
noise, as a receiver's does. Needs Python 3 and numpy.
"""
import argparse
import struct
import sys

import numpy as np


def read_audio(path):
    """A mono 16-bit PCM WAV: (samples scaled to full scale 1.0, rate)."""
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        sys.exit(f"vexa_iq: {path} is no WAV file")
    at, fmt = 12, None
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        body = data[at + 8:at + 8 + size]
        if cid == b"fmt ":
            fmt = struct.unpack_from("<HHI", body, 0) + (struct.unpack_from("<H", body, 14)[0],)
        if cid == b"data":
            if not fmt or fmt[0] != 1 or fmt[1] != 1 or fmt[3] != 16:
                sys.exit(f"vexa_iq: {path} is not mono 16-bit PCM")
            return np.frombuffer(body[:len(body) // 2 * 2], "<i2") / 32768.0, fmt[2]
        at += 8 + size + (size & 1)
    sys.exit(f"vexa_iq: {path} has no data chunk")


def read_c2(path):
    """wsprsim's .c2: a 14-byte name, an int, a double, then complex floats at 375 S/s
    whose 0 Hz is 1500 Hz of audio; wsprd reads each Q negated, so a signal f Hz above
    that centre is stored f Hz below it. Returns (complex samples, rate, audio centre)."""
    data = open(path, "rb").read()
    iq = np.frombuffer(data[26:len(data) - (len(data) - 26) % 8], "<f4")
    return iq[0::2] - 1j * iq[1::2], 375, 1500.0


def upper_sideband(audio):
    """The analytic signal of real audio: only its positive frequencies."""
    spectrum = np.fft.fft(audio)
    n = len(audio)
    spectrum[1:(n + 1) // 2] *= 2
    spectrum[(n + 1) // 2 + (n % 2 == 0):] = 0
    return spectrum


def resample(spectrum, n_in, n_out):
    """Band-limited change of length by the spectrum: complex samples."""
    out = np.zeros(n_out, complex)
    half = min(n_in, n_out) // 2
    out[:half] = spectrum[:half]
    out[n_out - half:] = spectrum[n_in - half:]
    return np.fft.ifft(out) * (n_out / n_in)


def write_iq(path, iq, rate):
    frames = np.empty(2 * len(iq), "<f4")
    frames[0::2], frames[1::2] = iq.real, iq.imag
    body = frames.tobytes()
    fmt = struct.pack("<HHIIHHH", 3, 2, rate, rate * 8, 8, 32, 0)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(body)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(body)) + body)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("input")
    p.add_argument("output")
    p.add_argument("--rate", type=int, default=48000)
    p.add_argument("--dial", type=float, default=0.0)
    p.add_argument("--level", type=float, default=-60.0)
    p.add_argument("--noise", type=float)
    a = p.parse_args()
    if a.input.lower().endswith(".c2"):
        signal, rate, centre = read_c2(a.input)
        spectrum = np.fft.fft(signal)
    else:
        audio, rate = read_audio(a.input)
        spectrum, centre = upper_sideband(audio), 0.0
    n_out = int(round(len(spectrum) * a.rate / rate))
    iq = resample(spectrum, len(spectrum), n_out) * 10 ** (a.level / 20)
    t = np.arange(n_out) / a.rate
    iq *= np.exp(2j * np.pi * (a.dial + centre) * t)
    if a.noise is not None:
        sigma = 10 ** (a.noise / 20) / np.sqrt(2)
        iq += np.random.default_rng(1).normal(0, sigma, (n_out, 2)) @ [1, 1j]
    if np.max(np.abs(iq)) >= 1:
        sys.exit("vexa_iq: the band would clip: lower --level or --noise")
    write_iq(a.output, iq, a.rate)


if __name__ == "__main__":
    main()
