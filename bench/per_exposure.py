#!/usr/bin/python3
"""Times tolv --per-exposure beside tolv's default fit per extension, as whole processes.

Makes a mosaic and its fringe frames (bench/versus_numpy.py's, by default 16 x
2048 x 4096 with 2 fringe frames) in a temporary directory, or takes existing
files (--files), then runs in turn, each on a fresh copy of the science file
and in place: tolv, and tolv --per-exposure, the same -j. Prints per mode the
median and minimum wall time, the CPU time and the peak resident memory, and
the ratios of the per-exposure run to the other; the runs must succeed and
print a row per extension and fit.

    bench/per_exposure.py --tolv build/tolv                  # the camera: 16 x 2048 x 4096
    bench/per_exposure.py --quick --tolv build/tolv          # a small mosaic, one run each
    bench/per_exposure.py --files sci.fits fr1.fits fr2.fits # files of your own
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import versus_numpy  # noqa: E402  (the mosaic and the measured runs)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--extensions", type=int, help="image extensions (default 16; --quick 4)")
    p.add_argument("--nx", type=int, help="columns per extension (default 2048; --quick 256)")
    p.add_argument("--ny", type=int, help="rows per extension (default 4096; --quick 512)")
    p.add_argument("--fringes", type=int, default=2, help="fringe frames (default 2)")
    p.add_argument("--repetitions", type=int, help="runs of each mode (default 5; --quick 1)")
    p.add_argument("--tolv", default=os.path.join(versus_numpy.HERE, "..", "build", "tolv"))
    p.add_argument("-j", "--jobs", help="tolv's -j for both modes (default: tolv's default)")
    p.add_argument("--files", nargs="+", metavar="FILE", help="a science file and its fringe frames to use")
    p.add_argument("--quick", action="store_true", help="a small mosaic and one run each: checks the script works")
    p.add_argument("--dir", help="where to make the temporary directory (default: the system's)")
    p.add_argument("--seed", type=int, default=20261209)
    a = p.parse_args()
    quick = {"extensions": 4, "nx": 256, "ny": 512, "repetitions": 1}
    full = {"extensions": 16, "nx": 2048, "ny": 4096, "repetitions": 5}
    for k, v in (quick if a.quick else full).items():
        if getattr(a, k) is None:
            setattr(a, k, v)
    return a


def main():
    a = parse_args()
    tolv = os.path.abspath(a.tolv)
    d = tempfile.mkdtemp(prefix="tolv-per-exposure-", dir=a.dir)
    try:
        if a.files:
            science, frames = os.path.abspath(a.files[0]), [os.path.abspath(f) for f in a.files[1:]]
        else:
            science, frames, _ = versus_numpy.make_mosaic(d, a)
        run = os.path.join(d, "run.fits")
        jobs = ["-j", a.jobs] if a.jobs else []
        modes = {"per extension": [], "per exposure": ["--per-exposure"]}
        results = {m: [] for m in modes}
        tables = {}
        for _ in range(a.repetitions):
            for mode, extra in modes.items():
                shutil.copyfile(science, run)
                os.sync()
                table = os.path.join(d, "table.tsv")
                wall, cpu, rss, status, err = versus_numpy.run_measured([tolv, "-q"] + jobs + extra + [run] + frames,
                                                                       table)
                if status != 0:
                    sys.exit("tolv %s failed (status %d): %s" % (" ".join(extra), status, err))
                with open(table) as f:
                    tables[mode] = f.read().splitlines()
                results[mode].append((wall, cpu, rss))
        rows = {m: len(t) for m, t in tables.items()}
        if len(set(rows.values())) != 1:
            sys.exit("the modes printed tables of other lengths: %s" % rows)
        print("tolv %s on %s, %d runs of each mode, in place, alternating%s"
              % (tolv, "the given files" if a.files else "%d x %d x %d, %d fringe frames"
                 % (a.extensions, a.nx, a.ny, a.fringes), a.repetitions, ", -j " + a.jobs if a.jobs else ""))
        print("mode\tmedian s\tmin s\tCPU s\tpeak RSS MiB")
        summary = {}
        for mode, rs in results.items():
            wall = statistics.median(r[0] for r in rs)
            rss = statistics.median(r[2] for r in rs) / 1024
            summary[mode] = (wall, rss)
            print("%s\t%.3f\t%.3f\t%.2f\t%.0f" % (mode, wall, min(r[0] for r in rs),
                                                  statistics.median(r[1] for r in rs), rss))
        (w0, m0), (w1, m1) = summary["per extension"], summary["per exposure"]
        print("per exposure / per extension: time %.2fx, peak memory %.2fx" % (w1 / w0, m1 / m0))
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
