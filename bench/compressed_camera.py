#!/usr/bin/python3
"""Times decompression of a Rice-compressed camera mosaic, and tolv on it, as whole processes.

Makes a camera-like mosaic (float32 sky, fringes and noise) and two fringe frames
in a temporary directory, compresses the mosaic with fpack (RICE_1, floats
quantized to a quarter of the noise, dithered: fpack's defaults), then runs in
turn, interleaved, each REPETITIONS times:

  funpack -O OUT science.fits.fz          CFITSIO's decompression
  unpack_bench science.fits.fz OUT        the library's (bench/unpack_bench.cpp)
  tolv -n science.fits.fz fringe...       a dry run on the compressed file
  tolv -n science.fits fringe...          the same dry run on the plain file

The two decompressed files must hold the same pixels and the two dry runs must
print the same table (of the plain file funpack gives), or the script exits with
status 1. Prints the medians and minima, and the share of tolv's dry run on the
compressed file that decompression takes: (compressed - plain) / compressed.

    bench/compressed_camera.py --tolv build-bench/tolv --unpack build-bench/bench/unpack_bench
    bench/compressed_camera.py --quick ...    # a small mosaic, one run each
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tolv", default=os.path.join(HERE, "..", "build-bench", "tolv"))
    p.add_argument("--unpack", default=os.path.join(HERE, "..", "build-bench", "bench", "unpack_bench"))
    p.add_argument("--extensions", type=int, help="image extensions (default 16; --quick 2)")
    p.add_argument("--nx", type=int, help="columns (default 2048; --quick 256)")
    p.add_argument("--ny", type=int, help="rows (default 4096; --quick 256)")
    p.add_argument("--repetitions", type=int, help="runs of each (default 5; --quick 1)")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--dir", help="where to make the temporary directory")
    a = p.parse_args()
    small = dict(extensions=2, nx=256, ny=256, repetitions=1)
    full = dict(extensions=16, nx=2048, ny=4096, repetitions=5)
    for k, v in (small if a.quick else full).items():
        if getattr(a, k) is None:
            setattr(a, k, v)
    return a


def make_files(d, a):
    rng = np.random.default_rng(20261210)
    y, x = np.mgrid[0:a.ny, 0:a.nx].astype(np.float32)
    waves = [np.sin(0.021 * x + 0.7) * np.cos(0.013 * y), np.sin(0.011 * x) * np.cos(0.027 * y + 1.1)]
    waves = [w.astype(np.float32) for w in waves]
    hdus = [fits.PrimaryHDU()]
    for e in range(a.extensions):
        img = 1000.0 + 2.0 * e + 30.0 * waves[0] + 12.0 * waves[1] + rng.normal(0.0, 5.0, (a.ny, a.nx))
        hdus.append(fits.ImageHDU(img.astype(np.float32), name="SCI", ver=e + 1))
    fits.HDUList(hdus).writeto(os.path.join(d, "science.fits"))
    for k, w in enumerate(waves):
        fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(w) for _ in range(a.extensions)]).writeto(
            os.path.join(d, "fringe%d.fits" % k))
    subprocess.run(["fpack", "-O", os.path.join(d, "science.fits.fz"), os.path.join(d, "science.fits")], check=True)
    # The plain file the dry run on the compressed one must match: its pixels as decompressed.
    subprocess.run(["funpack", "-O", os.path.join(d, "plain.fits"), os.path.join(d, "science.fits.fz")], check=True)


def timed(cmd, out=None):
    if out and os.path.exists(out):
        os.unlink(out)
    t0 = time.perf_counter()
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    t = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr.decode()))
    return t, r.stdout


def main():
    a = parse_args()
    d = tempfile.mkdtemp(prefix="tolv_fz_", dir=a.dir)
    try:
        make_files(d, a)
        fz, plain = os.path.join(d, "science.fits.fz"), os.path.join(d, "plain.fits")
        frames = [os.path.join(d, "fringe%d.fits" % k) for k in range(2)]
        out_c, out_l = os.path.join(d, "funpacked.fits"), os.path.join(d, "unpacked.fits")
        runs = {
            "funpack": (["funpack", "-O", out_c, fz], out_c),
            "library": ([a.unpack, fz, out_l], out_l),
            "tolv -n .fz": ([a.tolv, "-n", fz] + frames, None),
            "tolv -n plain": ([a.tolv, "-n", plain] + frames, None),
        }
        times = {k: [] for k in runs}
        tables = {}
        for _ in range(a.repetitions):
            for name, (cmd, out) in runs.items():
                t, stdout = timed(cmd, out)
                times[name].append(t)
                tables[name] = stdout
        with fits.open(out_c) as c, fits.open(out_l) as l:
            for e in range(1, a.extensions + 1):
                if not np.array_equal(c[e].data.view(np.uint32), l[e].data.view(np.uint32)):
                    sys.exit("extension %d: the library and funpack decompress to other pixels" % e)
        if tables["tolv -n .fz"] != tables["tolv -n plain"]:
            sys.exit("the dry runs on the compressed and the plain file print other tables")
        size = os.path.getsize(os.path.join(d, "science.fits"))
        print("machine: %s, %d processors; %d x %d x %d float32 (%.0f MiB), fpack RICE_1 q=4 (%.0f MiB); "
              "%d runs each, interleaved" % (platform.processor() or platform.machine(), os.cpu_count(),
                                             a.extensions, a.nx, a.ny, size / 2**20,
                                             os.path.getsize(fz) / 2**20, a.repetitions))
        med = {k: statistics.median(v) for k, v in times.items()}
        for k, v in times.items():
            print("%-14s median %7.3f s  min %7.3f s" % (k, med[k], min(v)))
        print("library / funpack: %.2f" % (med["library"] / med["funpack"]))
        share = (med["tolv -n .fz"] - med["tolv -n plain"]) / med["tolv -n .fz"]
        print("decompression's share of tolv -n on the compressed file: %.0f%%" % (100 * share))
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
