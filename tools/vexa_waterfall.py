#!/usr/bin/env python3
"""vexa_waterfall: a picture of an I/Q WAV recording.

Draws the averaged spectrum and a waterfall of a stereo I/Q WAV file (I left,
Q right) as a PNG. Reads the chunks itself, so every layout of VEXA_File and the
reference client's float WAVs work, and reads only spaced FFT frames, so a file
of many GiB costs no more than a short one.
"""
import argparse
import datetime
import os
import struct
import sys

import numpy as np

USAGE = """\
vexa_waterfall.py [options] FILE.wav

Draws the averaged spectrum (top) and a waterfall (below, time downwards) of a
stereo I/Q WAV file as a PNG. The FFT is taken of I + jQ, so signals above and
below the centre are told apart. With an auxi chunk the frequency axis is
absolute (its centre frequency) and the title carries its start time (UTC);
without one the axis is the offset from the centre. Reads 16-, 24- and 32-bit
PCM and 32-bit float, plain or WAVE_FORMAT_EXTENSIBLE. Exit code 0 when the
picture was written, 1 when the file is not an I/Q WAV or cannot be read.

Options:
  -o, --output PNG   picture to write (default: FILE with .png)
  --fft N            FFT length in samples, a power of two (default 1024)
  --rows N           waterfall rows at most (default 400); a longer file is
                     sampled at N evenly spaced points
  --peaks N          print the N strongest peaks of the averaged spectrum
  -h, --help         this text
"""

RIFF_CAP = 0xFFFFFFFF  # a size a writer capped: the data runs to the end of the file
FORMAT_PCM, FORMAT_FLOAT, FORMAT_EXTENSIBLE = 1, 3, 0xFFFE
FFTS_PER_ROW = 8  # consecutive FFTs averaged into one row, when the file is long enough
PROGRESS_BYTES = 256 << 20  # files with more data than this show a progress line
PEAK_GUARD_BINS = 8  # bins on each side of a peak that belong to it
DISPLAY_RANGE_DB = 120  # below the strongest bin, the picture shows nothing finer


class NotIqWav(Exception):
    """The file cannot be drawn; the text says why."""


class Recording:
    """What the chunks say: sample layout, where the samples are, auxi values."""

    def __init__(self):
        self.rate = 0
        self.channels = 0
        self.bits = 0
        self.align = 0
        self.is_float = False
        self.data_offset = None
        self.data_bytes = 0
        self.centre_hz = None  # auxi centre frequency
        self.start = None  # auxi start time, UTC
        self.notes = []

    @property
    def frames(self):
        return self.data_bytes // self.align

    def describe(self):
        kind = "float" if self.is_float else "PCM"
        return "%d samples/s, %d-bit %s, %.2f s" % (
            self.rate, self.bits, kind, self.frames / self.rate)


def walk_chunks(f, file_bytes):
    """Yields (id, body offset, body size) of each top-level chunk, by its size."""
    head = f.read(12)
    if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"WAVE":
        raise NotIqWav("no RIFF/WAVE header")
    pos = 12
    while pos + 8 <= file_bytes:
        f.seek(pos)
        cid, size = struct.unpack("<4sI", f.read(8))
        yield cid, pos + 8, size
        pos += 8 + size + (size & 1)


def read_format(rec, body):
    if len(body) < 16:
        raise NotIqWav("fmt chunk of %d bytes is too short" % len(body))
    tag, rec.channels, rec.rate, _, rec.align, rec.bits = struct.unpack_from("<HHIIHH", body)
    if tag == FORMAT_EXTENSIBLE and len(body) >= 40:
        tag = struct.unpack_from("<H", body, 24)[0]  # first field of the sub-format GUID
    if tag not in (FORMAT_PCM, FORMAT_FLOAT):
        raise NotIqWav("format tag %d is neither PCM nor float" % tag)
    rec.is_float = tag == FORMAT_FLOAT
    if rec.channels != 2:
        raise NotIqWav("%d channel(s); I/Q needs 2 (I left, Q right)" % rec.channels)
    wanted = (32,) if rec.is_float else (16, 24, 32)
    if rec.bits not in wanted or rec.align != 2 * rec.bits // 8 or rec.rate <= 0:
        raise NotIqWav("%d-bit samples, block align %d, rate %d are not supported"
                       % (rec.bits, rec.align, rec.rate))


def read_auxi(rec, body):
    if len(body) < 36:
        return
    y, mo, _dow, d, h, mi, s, ms = struct.unpack_from("<8H", body)
    try:
        rec.start = datetime.datetime(y, mo, d, h, mi, s, ms * 1000)
    except ValueError:
        rec.notes.append("auxi start time unreadable")
    rec.centre_hz = struct.unpack_from("<I", body, 32)[0]


def open_recording(path):
    """Reads the chunks of path up to the data chunk and past it when its size
    can be trusted; raises NotIqWav with the reason for anything else."""
    rec = Recording()
    file_bytes = os.path.getsize(path)
    with open(path, "rb") as f:
        for cid, offset, size in walk_chunks(f, file_bytes):
            if cid == b"fmt ":
                f.seek(offset)
                read_format(rec, f.read(min(size, 64)))
            elif cid == b"auxi":
                f.seek(offset)
                read_auxi(rec, f.read(min(size, 64)))
            elif cid == b"data":
                rec.data_offset = offset
                rec.data_bytes = size
                if size in (0, RIFF_CAP) or offset + size > file_bytes:
                    # Provisional, capped or cut short: the samples are what is there.
                    rec.data_bytes = file_bytes - offset
                    rec.notes.append("data size %d: taking the file to its end" % size)
                    break
    if not rec.align:
        raise NotIqWav("no fmt chunk")
    if rec.data_offset is None:
        raise NotIqWav("no data chunk")
    return rec


class Reader:
    """Reads frames at any position as complex values, full scale 1."""

    def __init__(self, path, rec):
        self.f = open(path, "rb")
        self.rec = rec
        self.scale = 1.0 if rec.is_float else 2.0 ** (rec.bits - 1)
        self.dtype = {16: "<i2", 24: None, 32: "<f4" if rec.is_float else "<i4"}[rec.bits]

    def close(self):
        self.f.close()

    def frames(self, first, count):
        rec = self.rec
        self.f.seek(rec.data_offset + first * rec.align)
        raw = self.f.read(count * rec.align)
        if rec.bits == 24:
            b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
            v = (b[:, 0] | b[:, 1] << 8 | b[:, 2] << 16) << 8 >> 8  # sign from bit 23
        else:
            v = np.frombuffer(raw, self.dtype)
        v = v.reshape(-1, 2).astype(np.float64) / self.scale
        return v[:, 0] + 1j * v[:, 1]


def plan_rows(frames, fft, rows):
    """First frame of each row and the FFTs per row: consecutive when the file
    is short, else evenly spaced over the whole file."""
    per_row = max(1, min(FFTS_PER_ROW, frames // (fft * rows)))
    span = fft * per_row
    count = min(rows, frames // span)
    if count == 0:
        raise NotIqWav("%d frames are fewer than one FFT of %d" % (frames, fft))
    starts = np.linspace(0, frames - span, count).astype(np.int64)
    return starts, per_row


def spectra(reader, starts, per_row, fft, show_progress):
    """Power in dBFS per row (a full-scale complex tone is 0 dB)."""
    window = np.hanning(fft)
    norm = window.sum() ** 2
    out = np.empty((len(starts), fft))
    for row, first in enumerate(starts):
        x = reader.frames(int(first), fft * per_row).reshape(per_row, fft)
        power = np.abs(np.fft.fft(x * window, axis=1)) ** 2 / norm
        out[row] = np.fft.fftshift(power.mean(axis=0))
        if show_progress and (row % 20 == 0 or row == len(starts) - 1):
            print("\rreading: %3d%% (%d of %d rows)" % (100 * (row + 1) // len(starts), row + 1,
                                                      len(starts)), end="", file=sys.stderr)
    if show_progress:
        print(file=sys.stderr)
    return 10 * np.log10(np.maximum(out, 1e-20))


def frequency_axis(rec, fft):
    """Bin frequencies in Hz (absolute with a centre frequency), the scale for
    the axis and its label."""
    offsets = np.fft.fftshift(np.fft.fftfreq(fft, 1.0 / rec.rate))
    hz = offsets + (rec.centre_hz or 0)
    top = np.max(np.abs(hz))
    unit, scale = ("kHz", 1e3) if top >= 1e4 else ("Hz", 1.0)
    if rec.centre_hz:
        return hz, scale, "frequency (%s)" % unit
    return hz, scale, "offset from centre (%s)" % unit


def find_peaks(hz, level_db, count):
    """The count strongest local peaks, strongest first, as (Hz, dB)."""
    level = level_db.copy()
    found = []
    for _ in range(count):
        i = int(np.argmax(level))
        if not np.isfinite(level[i]):
            break
        found.append((hz[i], level_db[i]))
        level[max(0, i - PEAK_GUARD_BINS):i + PEAK_GUARD_BINS + 1] = -np.inf
    return found


def average_db(rows_db):
    return 10 * np.log10(np.mean(10 ** (rows_db / 10), axis=0))


def summary(rec):
    parts = []
    if rec.start:
        parts.append("start " + rec.start.strftime("%Y-%m-%d %H:%M:%S UTC"))
    if rec.centre_hz:
        parts.append("centre %.3f kHz" % (rec.centre_hz / 1e3))
    return parts + [rec.describe()]


def draw(path, output, rec, axis, rows_db, times):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    hz, scale, xlabel = axis
    average = average_db(rows_db)
    fig, (top, low) = plt.subplots(2, 1, figsize=(10, 8), sharex=True,
                                   gridspec_kw={"height_ratios": [1, 2]})
    x = hz / scale
    top.plot(x, average, linewidth=0.7)
    top.set_ylabel("average (dBFS)")
    top.grid(True, alpha=0.3)
    peak = np.max(rows_db)
    floor = min(max(np.percentile(rows_db, 5), peak - DISPLAY_RANGE_DB), peak - 1)
    top.set_ylim(floor, peak + 5)
    image = low.imshow(rows_db, aspect="auto", origin="upper", cmap="viridis",
                       extent=(x[0], x[-1], times[-1], times[0]),
                       vmin=floor, vmax=peak, interpolation="nearest")
    low.set_xlabel(xlabel)
    low.set_ylabel("time from start (s)")
    fig.colorbar(image, ax=[top, low], label="dBFS", shrink=0.6)
    fig.suptitle(os.path.basename(path) + "   " + "   ".join(summary(rec)), fontsize=10)
    fig.savefig(output, dpi=100)
    plt.close(fig)


def picture(args):
    rec = open_recording(args.file)
    starts, per_row = plan_rows(rec.frames, args.fft, args.rows)
    show_progress = rec.data_bytes > PROGRESS_BYTES
    reader = Reader(args.file, rec)
    try:
        rows_db = spectra(reader, starts, per_row, args.fft, show_progress)
    finally:
        reader.close()
    axis = frequency_axis(rec, args.fft)
    # Row edges in seconds from the start: each row's first frame, then the last row's end.
    times = np.append(starts, starts[-1] + args.fft * per_row) / rec.rate
    output = args.output or os.path.splitext(args.file)[0] + ".png"
    draw(args.file, output, rec, axis, rows_db, times)
    for note in rec.notes:
        print("note: %s" % note)
    print("%s: %s" % (os.path.basename(args.file), ", ".join(summary(rec))))
    for f_hz, db in find_peaks(axis[0], average_db(rows_db), args.peaks):
        print("peak %.1f Hz %.1f dBFS" % (f_hz, db))
    print("picture: %s" % output)


def main(argv=None):
    parser = argparse.ArgumentParser(add_help=False, usage=USAGE)
    parser.add_argument("file", nargs="?")
    parser.add_argument("-o", "--output")
    parser.add_argument("--fft", type=int, default=1024)
    parser.add_argument("--rows", type=int, default=400)
    parser.add_argument("--peaks", type=int, default=0)
    parser.add_argument("-h", "--help", action="store_true")
    args = parser.parse_args(argv)
    if args.help or not args.file:
        print(USAGE, end="", file=sys.stdout if args.help else sys.stderr)
        return 0 if args.help else 1
    if args.fft < 16 or args.fft & (args.fft - 1) or args.rows < 1:
        print("vexa_waterfall: --fft must be a power of two from 16, --rows at least 1",
              file=sys.stderr)
        return 1
    try:
        picture(args)
    except NotIqWav as e:
        print("vexa_waterfall: %s: not an I/Q WAV file: %s" % (args.file, e), file=sys.stderr)
        return 1
    except OSError as e:
        print("vexa_waterfall: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
