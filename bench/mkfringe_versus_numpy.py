#!/usr/bin/python3
"""Times tolv-mkfringe against the same steps written plainly with numpy and astropy.

Makes N dithered exposures of a mosaic (default 9 of 4 x 2048 x 2048: sky that
varies 2x between them, a fringe pattern, noise, stars at other places in each)
in a temporary directory, then runs in turn, as whole processes, tolv-mkfringe
(default -j) and bench/numpy_mkfringe.py under /usr/bin/python3. The frames
must agree (to 1e-5 of the fringe's amplitude, pixel by pixel) or the script
exits with status 1. Prints per program the median and minimum wall time, the
CPU time and the peak resident memory, and the ratios.

    bench/mkfringe_versus_numpy.py --mkfringe build/tolv-mkfringe
    bench/mkfringe_versus_numpy.py --quick --mkfringe build/tolv-mkfringe
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

import numpy as np
from astropy.io import fits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import versus_numpy  # noqa: E402  (the measured runs)

NUMPY_MKFRINGE = os.path.join(versus_numpy.HERE, "numpy_mkfringe.py")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--exposures", type=int, help="exposures (default 9; --quick 5)")
    p.add_argument("--extensions", type=int, help="image extensions (default 4; --quick 2)")
    p.add_argument("--size", type=int, help="pixels a side of each extension (default 2048; --quick 256)")
    p.add_argument("--repetitions", type=int, help="runs of each program (default 3; --quick 1)")
    p.add_argument("--mkfringe", default=os.path.join(versus_numpy.HERE, "..", "build", "tolv-mkfringe"))
    p.add_argument("--quick", action="store_true", help="a small mosaic and one run each: checks the script works")
    p.add_argument("--dir", help="where to make the temporary directory (default: the system's)")
    a = p.parse_args()
    quick = {"exposures": 5, "extensions": 2, "size": 256, "repetitions": 1}
    full = {"exposures": 9, "extensions": 4, "size": 2048, "repetitions": 3}
    for k, v in (quick if a.quick else full).items():
        if getattr(a, k) is None:
            setattr(a, k, v)
    return a


def make_exposures(d, a):
    rng = np.random.default_rng(20261209)
    n = a.size
    y, x = np.mgrid[0:n, 0:n].astype(np.float32)
    names = []
    for k in range(a.exposures):
        sky = 800.0 * (1.0 + k / max(1, a.exposures - 1))
        hdus = [fits.PrimaryHDU()]
        for e in range(a.extensions):
            pattern = np.sin((0.8 * (x + e * n) + 0.6 * y) / 10.0) * np.cos(y / 48.0)
            image = sky + 0.02 * x - 0.01 * y + 0.05 * sky * pattern
            image += rng.normal(0.0, 6.0 * np.sqrt(sky / 1200.0), image.shape).astype(np.float32)
            for sx, sy, flux in zip(rng.uniform(0, n, n // 8), rng.uniform(0, n, n // 8), rng.uniform(500, 5000, n // 8)):
                x0, x1, y0, y1 = max(0, int(sx) - 6), min(n, int(sx) + 7), max(0, int(sy) - 6), min(n, int(sy) + 7)
                image[y0:y1, x0:x1] += flux * np.exp(-((x[y0:y1, x0:x1] - sx) ** 2 + (y[y0:y1, x0:x1] - sy) ** 2) / 3.0)
            hdus.append(fits.ImageHDU(image.astype(np.float32), name="CCD%d" % (e + 1)))
        names.append(os.path.join(d, "exp%02d.fits" % k))
        fits.HDUList(hdus).writeto(names[-1])
    return names


def main():
    a = parse_args()
    mkfringe = os.path.abspath(a.mkfringe)
    d = tempfile.mkdtemp(prefix="tolv-mkfringe-versus-numpy-", dir=a.dir)
    try:
        names = make_exposures(d, a)
        programs = {"tolv-mkfringe": lambda out: [mkfringe, "-q", "--overwrite", "-o", out] + names,
                    "numpy + astropy": lambda out: [versus_numpy.PYTHON, NUMPY_MKFRINGE, out] + names}
        results = {p: [] for p in programs}
        for _ in range(a.repetitions):
            for p, argv in programs.items():
                out = os.path.join(d, p.split()[0] + ".fits")
                wall, cpu, rss, status, err = versus_numpy.run_measured(argv(out), os.path.join(d, "table"))
                if status != 0:
                    sys.exit("%s failed (status %d): %s" % (p, status, err))
                results[p].append((wall, cpu, rss))
        with fits.open(os.path.join(d, "tolv-mkfringe.fits")) as t, fits.open(os.path.join(d, "numpy.fits")) as n:
            worst = max(float(np.max(np.abs(t[e].data.astype(np.float64) - n[e].data))) for e in range(1, len(t)))
        if not worst < 1e-5 * 0.05:
            sys.exit("the frames differ by %g" % worst)
        print("%d exposures of %d x %d x %d, %d runs each, alternating; the frames agree to %.1e"
              % (a.exposures, a.extensions, a.size, a.size, a.repetitions, worst))
        print("program\tmedian s\tmin s\tCPU s\tpeak RSS MiB")
        summary = {}
        for p, rs in results.items():
            summary[p] = (statistics.median(r[0] for r in rs), statistics.median(r[2] for r in rs) / 1024)
            print("%s\t%.2f\t%.2f\t%.2f\t%.0f" % (p, summary[p][0], min(r[0] for r in rs),
                                                  statistics.median(r[1] for r in rs), summary[p][1]))
        (tw, tm), (nw, nm) = summary["tolv-mkfringe"], summary["numpy + astropy"]
        print("numpy / tolv-mkfringe: time %.1fx; tolv-mkfringe's peak memory %.2f of the script's" % (nw / tw, tm / nm))
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
