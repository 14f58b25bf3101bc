#!/usr/bin/python3
"""Sound-quality figures of the sampler's resamplers, rendered with mvplay.

Called by scripts/quality: python3 quality.py MVPLAY WORKDIR [FORMAT...], and
python3 quality.py --transitions LIBRARY for the transition figures. Clips are
44.1 kHz mono sines at -1 dBFS (int16 and float32), rendered to 48 kHz mono
float32 at pitch 1 and 1.37. Tone frequencies are output frequencies (the
clip holds f / pitch). Spectra: numpy's FFT of a 7-term Blackman-Harris
window over the steady part of the output.
  THD+N      everything but the fundamental, relative to it (1 kHz: 20 Hz to
             20 kHz; 15 kHz: the whole band to 24 kHz)
  alias      over 61 tones from 20 Hz in 1/6-octave steps, the largest
             component other than the tone that lands in 20 Hz to 20 kHz,
             relative to the tone's nominal level
  pushed     clip tones whose output would lie above 24 kHz (pitch 1.37):
             the largest component left anywhere, relative to nominal
  response   the tone's level at the output
"""
import os
import struct
import subprocess
import sys

import numpy as np

CLIP_RATE = 44100
OUT_RATE = 48000
LEVEL = 10 ** (-1 / 20)
SECONDS = 0.6
SKIP = 0.1  # seconds of start-up left out of every spectrum
FFT_SIZE = 16384
# 7-term Blackman-Harris (as published by Albrecht): 180 dB side lobes.
BH7 = [0.27105140069342, -0.43329793923448, 0.21812299954311, -0.06592544638803,
       0.01081174209837, -0.00077658482522, 0.00001388721735]
MAIN_LOBE_BINS = 8  # half width of the window's main lobe
MODES = {"linear": ["--resampler", "standard"],
         "bandlimited": ["--resampler", "bandlimited"]}


def window(n):
    k = np.arange(n)
    return sum(a * np.cos(2 * np.pi * i * k / (n - 1)) for i, a in enumerate(BH7))


def write_wav(path, samples, fmt):
    if fmt == "int16":
        data = np.round(samples * 32767).astype("<i2").tobytes()
        code, bits = 1, 16
    else:
        data = samples.astype("<f4").tobytes()
        code, bits = 3, 32
    block = bits // 8
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, code, 1, CLIP_RATE, CLIP_RATE * block,
                                    block, bits)
    header += b"data" + struct.pack("<I", len(data))
    with open(path, "wb") as f:
        f.write(header + data)


def read_wav_float(path):
    with open(path, "rb") as f:
        raw = f.read()
    at = 12
    while at < len(raw):
        tag, size = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
        if tag == b"data":
            return np.frombuffer(raw[at + 8:at + 8 + size], dtype="<f4").astype(np.float64)
        at += 8 + size
    raise ValueError("no data chunk in " + path)


class Renderer:
    def __init__(self, mvplay, work):
        self.mvplay, self.work, self.count = mvplay, work, 0

    def render(self, clip_hz, pitch, fmt, mode, seconds=SECONDS):
        self.count += 1
        src = os.path.join(self.work, "in%d.wav" % self.count)
        out = os.path.join(self.work, "out%d.wav" % self.count)
        t = np.arange(int(CLIP_RATE * seconds)) / CLIP_RATE
        write_wav(src, LEVEL * np.sin(2 * np.pi * clip_hz * t), fmt)
        subprocess.run([self.mvplay, "--mono", "--format", "float32", "--sample-rate",
                        str(OUT_RATE), "--rate", repr(pitch), *MODES[mode], "--render", out,
                        src], check=True, stdout=subprocess.DEVNULL)
        y = read_wav_float(out)
        os.remove(src), os.remove(out)
        return y


def noise_bandwidth_bins(n):
    w = window(n)
    return n * np.sum(w ** 2) / np.sum(w) ** 2


ENBW_BINS = noise_bandwidth_bins(FFT_SIZE)


def spectrum(y):
    start = int(SKIP * OUT_RATE)
    seg = y[start:start + FFT_SIZE]
    w = window(len(seg))
    power = np.abs(np.fft.rfft(seg * w)) ** 2
    # a sine of amplitude 1 peaks at (sum w / 2)^2
    return power / (np.sum(w) / 2) ** 2, np.fft.rfftfreq(len(seg), 1 / OUT_RATE)


def db(x):
    return 10 * np.log10(max(x, 1e-30))


def tone_split(power, freqs, hz):
    peak = int(np.argmin(np.abs(freqs - hz)))
    lo, hi = max(peak - MAIN_LOBE_BINS, 0), peak + MAIN_LOBE_BINS + 1
    tone = np.sum(power[lo:hi]) / ENBW_BINS
    rest = power.copy()
    rest[lo:hi] = 0
    return tone, rest


def thd_n(r, hz, pitch, fmt, mode, top):
    power, freqs = spectrum(r.render(hz / pitch, pitch, fmt, mode))
    tone, rest = tone_split(power, freqs, hz)
    band = (freqs >= 20) & (freqs <= top)
    return db(np.sum(rest[band]) / ENBW_BINS / tone)


def worst_alias(r, pitch, fmt, mode):
    worst = -300.0
    for k in range(61):
        hz = 20 * 2 ** (k / 6)
        if hz >= CLIP_RATE / 2 * pitch or hz >= OUT_RATE / 2:
            continue
        power, freqs = spectrum(r.render(hz / pitch, pitch, fmt, mode))
        _, rest = tone_split(power, freqs, hz)
        band = (freqs >= 20) & (freqs <= 20000)
        worst = max(worst, db(np.max(rest[band]) / LEVEL ** 2))
    return worst


def pushed(r, pitch, fmt, mode):
    worst = -300.0
    for clip_hz in range(int(OUT_RATE / 2 / pitch) + 250, CLIP_RATE // 2, 1000):
        power, _ = spectrum(r.render(clip_hz, pitch, fmt, mode))
        worst = max(worst, db(np.max(power[2:]) / LEVEL ** 2))
    return worst


def response(r, hz, fmt, mode):
    power, freqs = spectrum(r.render(hz, 1.0, fmt, mode))
    tone, _ = tone_split(power, freqs, hz)
    return db(tone / LEVEL ** 2)


def main():
    mvplay, work = sys.argv[1], sys.argv[2]
    fmts = sys.argv[3:] or ["int16", "float32"]
    r = Renderer(mvplay, work)
    rows = [("THD+N, 1 kHz tone (20 Hz-20 kHz)",
             lambda p, f, m: thd_n(r, 1000, p, f, m, 20000), "%.1f"),
            ("THD+N, 15 kHz tone (whole band to 24 kHz)",
             lambda p, f, m: thd_n(r, 15000, p, f, m, 24000), "%.1f"),
            ("worst alias in band", lambda p, f, m: worst_alias(r, p, f, m), "%.1f")]
    heads = ["%s %s" % (m, f) for m in MODES for f in fmts]
    print("| figure (pitch 1 / pitch 1.37) | " + " | ".join(heads) + " |")
    print("| --- " * (len(heads) + 1) + "|")
    for name, measure, form in rows:
        cells = []
        for m in MODES:
            for f in fmts:
                cells.append(" / ".join(form % measure(p, f, m) for p in (1.0, 1.37)))
        print("| %s | %s |" % (name, " | ".join(cells)))
        sys.stdout.flush()
    cells = ["%.1f" % pushed(r, 1.37, f, m) for m in MODES for f in fmts]
    print("| content pushed above 24 kHz (pitch 1.37) | %s |" % " | ".join(cells))
    cells = [" / ".join("%.2f" % response(r, hz, f, m) for hz in (14500, 18000, 20000))
             for m in MODES for f in fmts]
    print("| response at 14.5 / 18 / 20 kHz, pitch 1 (dB) | %s |" % " | ".join(cells))




# ---- transitions, through the engine library (ctypes) -------------------------

class Engine:
    """A mono 48 kHz loopback tree driven through the C interface."""

    def __init__(self, library):
        import ctypes as c
        self.c = c
        lib = self.lib = c.CDLL(library)
        lib.mvGetTransitionFade.restype = c.c_double
        for name in ("mvSetGain",):
            getattr(lib, name).argtypes = [c.c_void_p, c.c_double, c.c_float]
        lib.mvPlayAt.argtypes = [c.c_void_p, c.c_double]
        lib.mvSetTransitionFade.argtypes = [c.c_void_p, c.c_double]
        order = (c.c_int * 7).in_dll(lib, "mvBackendOrder")
        for i, v in enumerate((7, 0, 0, 0, 0, 0, 0)):
            order[i] = v
        dispatcher = c.c_void_p()
        self.check(lib.mvNewThreadUnsafeDispatcher(c.byref(dispatcher)))
        self.check(lib.mvInitialize(dispatcher))

    def check(self, status):
        if status:
            raise RuntimeError("engine call failed: %d" % status)

    def tree(self):
        c, lib = self.c, self.lib
        model, sink, sampler = c.c_void_p(), c.c_void_p(), c.c_void_p()
        self.check(lib.mvNewMonoSoundModel(c.byref(model)))
        self.check(lib.mvNewSink(c.byref(sink), model, 64))
        self.check(lib.mvOpenLoopbackSink(sink, OUT_RATE, 1, 0))
        self.check(lib.mvNewSampler(c.byref(sampler), sink))  # the head comes first
        return sink, sampler

    def render(self, sink, frames):
        buf = (self.c.c_float * frames)()
        self.check(self.lib.mvRenderLoopbackSink(sink, frames, buf))
        self.lib.mvFlushDownQueueImpl(sink)
        return np.frombuffer(buf, dtype=np.float32).astype(np.float64)


def high_band_energy(y):
    """Energy above 10 kHz in a window, relative to a full-scale sine's whole energy there."""
    w = window(len(y))
    power = np.abs(np.fft.rfft(y * w, 4096)) ** 2
    freqs = np.fft.rfftfreq(4096, 1 / OUT_RATE)
    full = np.sum(np.abs(np.fft.rfft(np.sin(2 * np.pi * 1000 * np.arange(len(y)) / OUT_RATE) * w,
                                     4096)) ** 2)
    return db(np.sum(power[freqs > 10000]) / full)


def transitions(library, fade_ms):
    engine = Engine(library)
    lib = engine.lib
    period = 48  # 1 kHz at 48 kHz: a seamless loop of one period
    clip = np.sin(2 * np.pi * (np.arange(period) + 5) / period).astype(np.float32)
    other = np.sin(2 * np.pi * (np.arange(period) + 17) / period).astype(np.float32)
    events = {
        "stop": lambda s: lib.mvStop(s),
        "pause": lambda s: lib.mvPause(s),
        "seek": lambda s: lib.mvPlayAt(s, 0.0101),
        "clip change": lambda s: lib.mvPlayAt(s, 1.0 + 0.0003),
        "clear": lambda s: lib.mvClearClipQueue(s),
        "gain 1 -> 0.25": lambda s: lib.mvSetGain(s, 0.0, 0.25),
    }
    # two 1 s clips of the sine at different phases: a seek past the first changes clips
    long_clip = (engine.c.c_float * OUT_RATE)(*np.tile(other, OUT_RATE // period))
    second_clip = (engine.c.c_float * OUT_RATE)(*np.tile(clip, OUT_RATE // period))
    worst = {}
    for name, event in events.items():
        for phase in range(0, period, period // 6):
            sink, sampler = engine.tree()
            for data in (long_clip, second_clip):
                lib.mvEnqueueClip(sampler, 0, None, None, 1, engine.c.c_double(OUT_RATE), 0, 1,
                                  OUT_RATE, data)
            lib.mvSetLooping(sampler, 1)
            lib.mvSetTransitionFade(sampler, fade_ms / 1000.0)
            lib.mvPlay(sampler)
            before = engine.render(sink, 960 + phase)
            event(sampler)
            after = engine.render(sink, 960)
            y = np.concatenate([before, after])[960 + phase - 48:960 + phase - 48 + 240]
            worst[name] = max(worst.get(name, -300.0), high_band_energy(y))
            lib.mvDeleteSink(sink)
    sink, sampler = engine.tree()
    lib.mvEnqueueClip(sampler, 0, None, None, 1, engine.c.c_double(OUT_RATE), 0, 1, OUT_RATE,
                      long_clip)
    lib.mvSetLooping(sampler, 1)
    lib.mvPlay(sampler)
    clean = high_band_energy(engine.render(sink, 1200)[960:1200])
    lib.mvUninitialize()
    return worst, clean


def transitions_main(library):
    rows = {}
    for fade in (0.0, 1.0):
        worst, clean = transitions(library, fade)
        for name, value in worst.items():
            rows.setdefault(name, []).append(value)
    print()
    print("| transition (looping full-scale 1 kHz sine, six phases), dB above 10 kHz in 5 ms "
          "| no fade | 1 ms fade |")
    print("| --- | --- | --- |")
    for name, (plain, faded) in rows.items():
        print("| %s | %.1f | %.1f |" % (name, plain, faded))
    print("| the sine alone | %.1f | %.1f |" % (clean, clean))


if __name__ == "__main__":
    if sys.argv[1] == "--transitions":
        transitions_main(sys.argv[2])
    else:
        main()
