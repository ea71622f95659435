#!/usr/bin/python3
"""Times tolv against the same fit done with numpy and astropy, as whole processes.

Makes a mosaic and its fringe frames in a temporary directory, then runs, in
turn and each on a fresh copy of the same science file (both correct in place):
tolv with each -j asked for, tolv with its default, and bench/numpy_fringe_fit.py
under /usr/bin/python3. The outputs must agree (and have their fringes removed)
or the script exits with status 1. Prints the machine, the commands, and per
program the median and minimum wall time, the ratio to tolv's default, the CPU
time and the peak resident memory of the process.

    bench/versus_numpy.py --tolv build/tolv            # 4 x 1024 x 2048, 2 fringe frames
    bench/versus_numpy.py --quick --tolv build/tolv    # a small mosaic, one run each
"""
import argparse
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import astropy
from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
NUMPY_FIT = os.path.join(HERE, "numpy_fringe_fit.py")
NOISE = 5.0  # sigma of the science frames' noise, in counts


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--extensions", type=int, help="image extensions (default 4; --quick 2)")
    p.add_argument("--nx", type=int, help="columns per extension (default 1024; --quick 256)")
    p.add_argument("--ny", type=int, help="rows per extension (default 2048; --quick 512)")
    p.add_argument("--fringes", type=int, default=2, help="fringe frames (default 2)")
    p.add_argument("--repetitions", type=int, help="runs of each program (default 5; --quick 1)")
    p.add_argument("--tolv", default=os.path.join(HERE, "..", "build", "tolv"),
                   help="the tolv binary (default build/tolv)")
    p.add_argument("-j", "--jobs", default="1",
                   help="comma-separated -j values to run besides tolv's default; '' for none (default 1)")
    p.add_argument("--quick", action="store_true", help="a small mosaic and one run each: checks the script works")
    p.add_argument("--dir", help="where to make the temporary directory (default: the system's)")
    p.add_argument("--keep", action="store_true", help="keep the temporary directory and print its name")
    p.add_argument("--tolerance", type=float, default=1e-6,
                   help="largest |tolv - numpy| allowed, relative to the sky level (default 1e-6)")
    p.add_argument("--seed", type=int, default=20261208)
    a = p.parse_args()
    small = dict(extensions=2, nx=256, ny=512, repetitions=1)
    full = dict(extensions=4, nx=1024, ny=2048, repetitions=5)
    for k, v in (small if a.quick else full).items():
        if getattr(a, k) is None:
            setattr(a, k, v)
    a.jobs = [int(j) for j in a.jobs.split(",") if j.strip()]
    if a.extensions < 1 or a.nx < 8 or a.ny < 8 or a.fringes < 1 or a.repetitions < 1:
        p.error("need at least 1 extension, 8 x 8 pixels, 1 fringe frame and 1 repetition")
    return a


# ---------------------------------------------------------------- the mosaic

def fringe_pattern(k, j, nx, ny):
    """Fringe frame j of extension k: two crossed waves of a scale of their own,
    the phase shifting from CCD to CCD."""
    y, x = np.mgrid[0:ny, 0:nx].astype(np.float64)
    theta = 0.5 + 1.1 * j
    period = 40.0 + 27.0 * j
    u = x * np.cos(theta) + y * np.sin(theta)
    v = -x * np.sin(theta) + y * np.cos(theta)
    return (np.sin(2 * np.pi * u / period + 0.7 * k)
            * (1.0 + 0.3 * np.sin(2 * np.pi * v / (7.3 * period) + 0.3 * k)))


def add_stars(image, rng, count):
    ny, nx = image.shape
    r = 7
    yy, xx = np.mgrid[-r:r + 1, -r:r + 1]
    for _ in range(count):
        xc, yc = rng.integers(r, nx - r), rng.integers(r, ny - r)
        peak = np.exp(rng.uniform(np.log(500.0), np.log(20000.0)))
        width = rng.uniform(1.2, 2.5)
        dx, dy = rng.uniform(-0.5, 0.5, 2)
        image[yc - r:yc + r + 1, xc - r:xc + r + 1] += peak * np.exp(
            -((xx - dx) ** 2 + (yy - dy) ** 2) / (2 * width**2))


def make_mosaic(d, a):
    """Writes science.fits and fringeNN.fits in d (astropy, BITPIX -32, big-endian);
    returns their names and each extension's sky level."""
    rng = np.random.default_rng(a.seed)
    science = [fits.PrimaryHDU()]
    fringes = [[fits.PrimaryHDU()] for _ in range(a.fringes)]
    skies = []
    base_amplitudes = [40.0, 12.0, 25.0, 8.0, 18.0, 5.0]
    for k in range(a.extensions):
        sky = 1200.0 + 35.0 * k
        y, x = np.mgrid[0:a.ny, 0:a.nx].astype(np.float64)
        image = (sky + (0.02 + 0.002 * k) * (x - a.nx // 2)
                 - (0.015 - 0.001 * k) * (y - a.ny // 2))
        for j in range(a.fringes):
            pattern = fringe_pattern(k, j, a.nx, a.ny)
            image += base_amplitudes[j % len(base_amplitudes)] * (1 + 0.05 * k) * pattern
            # A fringe frame is itself a stack of exposures: a little noise.
            frame = (pattern + rng.normal(0.0, 0.01, pattern.shape)).astype(np.float32)
            fringes[j].append(fits.ImageHDU(frame, name="CCD%d" % (k + 1)))
        image += rng.normal(0.0, NOISE, image.shape)
        add_stars(image, rng, max(4, a.nx * a.ny // 50000))
        # Missing data: part of a bad column and a few scattered pixels.
        image[a.ny // 4:a.ny // 4 + a.ny // 8, a.nx // 3] = np.nan
        image[rng.integers(0, a.ny, 20), rng.integers(0, a.nx, 20)] = np.nan
        science.append(fits.ImageHDU(image.astype(np.float32), name="CCD%d" % (k + 1)))
        skies.append(sky)
    names = [os.path.join(d, "science.fits")] + [
        os.path.join(d, "fringe%02d.fits" % (j + 1)) for j in range(a.fringes)]
    fits.HDUList(science).writeto(names[0])
    for j in range(a.fringes):
        fits.HDUList(fringes[j]).writeto(names[j + 1])
    return names[0], names[1:], skies


# ---------------------------------------------------------------- running

# Measures one run from a small helper process started for it (Python without
# site packages): it forks, execs the program and reaps it with wait4, which
# gives that one child's CPU time and peak RSS. The peak RSS of a child counts
# the pages of the process it was forked from, so measuring from this script,
# which holds numpy, astropy and the mosaic, would report at least this
# script's size; from the helper the floor is a few MiB (measured with
# /bin/true and printed).
HELPER = """
import os, sys, time
result, argv = sys.argv[1], sys.argv[2:]
t0 = time.perf_counter()
pid = os.fork()
if pid == 0:
    try:
        os.execv(argv[0], argv)
    finally:
        os._exit(127)
_, status, ru = os.wait4(pid, 0)
wall = time.perf_counter() - t0
with open(result, "w") as f:
    f.write("%r %r %d %d" % (wall, ru.ru_utime + ru.ru_stime, ru.ru_maxrss, os.waitstatus_to_exitcode(status)))
"""


def run_measured(argv, stdout_path):
    """Runs argv (argv[0] a path) through the helper; returns
    (wall s, CPU s, peak RSS KiB, exit status, standard error)."""
    with open(stdout_path, "wb") as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r", prefix="versus-numpy-", suffix=".rusage") as result:
        r = subprocess.run([PYTHON, "-S", "-c", HELPER, result.name] + argv,
                           stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        err.seek(0)
        message = err.read().decode(errors="replace")
        fields = result.read().split()
        if r.returncode != 0 or len(fields) != 4:
            return 0.0, 0.0, 0, r.returncode or 1, message
        return float(fields[0]), float(fields[1]), int(fields[2]), int(fields[3]), message


def tolv_refuses_j(tolv):
    """Why this tolv refuses -j ("unknown option", or an older tolv's own words), or None."""
    r = subprocess.run([tolv, "-j", "1", "--version"], capture_output=True, text=True)
    if r.returncode == 0:
        return None
    return (r.stderr.strip().splitlines() or ["status %d" % r.returncode])[0]


class Program:
    def __init__(self, key, label, argv_for, table_to_file=False):
        self.key, self.label, self.argv_for = key, label, argv_for
        self.table_to_file = table_to_file
        self.wall, self.cpu, self.rss = [], [], []


# ---------------------------------------------------------------- checks

def read_extensions(name):
    with fits.open(name, memmap=False) as h:
        return [np.array(u.data) for u in h[1:]]


def robust_level(image):
    """Median and sigma from the median absolute deviation of the finite pixels."""
    v = image[np.isfinite(image)].astype(np.float64)
    med = np.median(v)
    return med, 1.4826 * np.median(np.abs(v - med))


def fringes_removed(image, noise):
    """The corrected image is flat about zero at the noise level (stars aside)."""
    med, sigma = robust_level(image)
    return abs(med) < noise and sigma < 1.5 * noise


def read_table(name):
    rows = {}
    with open(name) as f:
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if len(cols) < 7 or not cols[0].isdigit():
                continue
            rows[(int(cols[0]), int(cols[1]))] = (float(cols[2]), int(cols[3]), [float(c) for c in cols[4:]])
    return rows


def check_outputs(d, science, fringe_names, programs, skies, a, tolv):
    """Compares every tolv output with numpy's; returns a list of failures."""
    failures = []
    before = read_extensions(science)
    outputs = {p.key: read_extensions(os.path.join(d, "out-%s.fits" % p.key)) for p in programs}
    reference = outputs["numpy"]

    # The check must be able to fail: the uncorrected frames do not pass it.
    for k, im in enumerate(before):
        if fringes_removed(im, NOISE):
            failures.append("extension %d passes the fringe check before any correction" % (k + 1))
    for p in programs:
        for k, im in enumerate(outputs[p.key]):
            if not fringes_removed(im, NOISE):
                med, sigma = robust_level(im)
                failures.append("%s: extension %d not flat after correction (median %.3f, sigma %.3f)"
                                % (p.label, k + 1, med, sigma))

    print("\nAgreement with the numpy version (max |difference| / sky level, per program):")
    for p in programs:
        if p.key == "numpy":
            continue
        worst = 0.0
        for k, (b, t, n) in enumerate(zip(before, outputs[p.key], reference)):
            bad = ~np.isfinite(b)
            # Pixels that are not finite must keep their bytes in both.
            for who, im in ((p.label, t), ("numpy", n)):
                if not np.array_equal(im[bad].view(np.uint32), b[bad].view(np.uint32)):
                    failures.append("%s: extension %d changed pixels that are not finite" % (who, k + 1))
            if not np.all(np.isfinite(t[~bad])) or not np.all(np.isfinite(n[~bad])):
                failures.append("%s or numpy: extension %d has non-finite output pixels" % (p.label, k + 1))
                continue
            diff = np.max(np.abs(t[~bad].astype(np.float64) - n[~bad].astype(np.float64))) / skies[k]
            worst = max(worst, diff)
        verdict = "ok" if worst < a.tolerance else "TOO LARGE (limit %g)" % a.tolerance
        print("  %-24s %.3g  %s" % (p.label, worst, verdict))
        if worst >= a.tolerance:
            failures.append("%s differs from numpy by %.3g of the sky (limit %g)" % (p.label, worst, a.tolerance))

    tolvs = [p for p in programs if p.key != "numpy"]
    for p in tolvs[1:]:
        same = all(np.array_equal(x.view(np.uint32), y.view(np.uint32))
                   for x, y in zip(outputs[tolvs[0].key], outputs[p.key]))
        print("  %s and %s: %s" % (tolvs[0].label, p.label,
                                   "the same bytes" if same else "DIFFERENT pixels"))
        if not same:
            # tolv's results do not depend on -j: a difference is a fault, not noise.
            failures.append("%s and %s wrote different pixels" % (tolvs[0].label, p.label))

    # The tables: tolv's (a dry run on the untouched file) against numpy's.
    tolv_table = os.path.join(d, "tolv.tsv")
    r = subprocess.run([tolv, "-n", "-q", "--table", tolv_table, science] + fringe_names,
                       capture_output=True, text=True)
    if r.returncode != 0:
        failures.append("tolv -n failed: " + r.stderr.strip())
        return failures
    t, n = read_table(tolv_table), read_table(os.path.join(d, "out-numpy.tsv"))
    if sorted(t) != sorted(n) or not t:
        failures.append("the tables have different rows (tolv %d, numpy %d)" % (len(t), len(n)))
        return failures
    first = [key for key in t if key[1] == 0]
    npix0 = [key[0] for key in first if t[key][1] != n[key][1]]
    if npix0:
        failures.append("Npix of iteration 0 (all usable pixels) differs in extensions %s" % npix0)
    dnpix = max(abs(t[key][1] - n[key][1]) for key in t)
    last = max(key[1] for key in t)
    names = ["Aconst", "Ax", "Ay"] + ["Afringe%02d" % j for j in range(len(fringe_names))]
    dcoef = [max(abs(t[key][2][i] - n[key][2][i]) for key in t if key[1] == last) for i in range(len(names))]
    dsigma = max(abs(t[key][0] - n[key][0]) / n[key][0] for key in t)
    print("  tables: Npix of iteration 0 %s; max |dNpix| %d; max |dSigma|/Sigma %.2g"
          % ("equal" if not npix0 else "DIFFERENT", dnpix, dsigma))
    print("  final coefficients (as printed, 6 decimals), max |tolv - numpy|: "
          + ", ".join("%s %.2g" % (nm, v) for nm, v in zip(names, dcoef)))
    return failures


# ---------------------------------------------------------------- report

def machine():
    fields = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            k, _, v = line.partition(":")
            fields.setdefault(k.strip(), v.strip())
    model = "%s (family %s, model %s, %s MHz)" % (
        fields.get("model name", "?"), fields.get("cpu family", "?"), fields.get("model", "?"),
        fields.get("cpu MHz", "?"))
    mem = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = "%.1f GiB" % (int(line.split()[1]) / 2**20)
    # The BLAS and LAPACK numpy actually loaded.
    np.linalg.solve(np.eye(2), np.ones(2))
    libs = set()
    with open("/proc/self/maps") as f:
        for line in f:
            path = line.split()[-1]
            base = os.path.basename(path)
            if ("blas" in base or "lapack" in base) and path.startswith("/"):
                libs.add(os.path.realpath(path))
    return [
        "CPU: %s, %d cores (%d usable here), memory %s" % (model, os.cpu_count(),
                                                           len(os.sched_getaffinity(0)), mem),
        "Linux %s; Python %s; numpy %s; astropy %s" % (platform.release(), platform.python_version(),
                                                      np.__version__, astropy.__version__),
        "numpy's BLAS/LAPACK: %s" % (", ".join(sorted(libs)) or "not found"),
    ] + ["%s=%s (in the environment)" % (k, v) for k, v in sorted(os.environ.items())
         if k.startswith("OPENBLAS_") and k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")]


def main():
    a = parse_args()
    tolv = os.path.abspath(a.tolv)
    if not os.access(tolv, os.X_OK):
        sys.exit("versus_numpy: no tolv binary at %s (build it first, or give --tolv)" % tolv)

    print("versus_numpy: " + shlex.join([sys.executable] + sys.argv))
    for line in machine():
        print("  " + line)
    print("  load average before: %.2f %.2f %.2f" % os.getloadavg())

    _, _, floor, status, _ = run_measured(["/bin/true"], os.devnull)
    if status != 0:
        sys.exit("versus_numpy: the measuring helper cannot run /bin/true")

    notes = []
    jobs = a.jobs
    refusal = tolv_refuses_j(tolv) if jobs else None
    if refusal:
        notes.append("%s refuses -j (%s): ran tolv without -j only" % (tolv, refusal))
        print("note: " + notes[-1])
        jobs = []

    d = tempfile.mkdtemp(prefix="tolv-versus-numpy-", dir=a.dir)
    try:
        t0 = time.perf_counter()
        science, fringe_names, skies = make_mosaic(d, a)
        size = os.path.getsize(science)
        print("mosaic: %d extensions of %d x %d, %d fringe frame%s; science file %.1f MiB (made in %.1f s, in %s)"
              % (a.extensions, a.nx, a.ny, a.fringes, "" if a.fringes == 1 else "s",
                 size / 2**20, time.perf_counter() - t0, d))

        work = os.path.join(d, "run.fits")
        programs = [Program("j%d" % j, "tolv -j %d" % j,
                            lambda w, j=j: [tolv, "-j", str(j), "-q", w] + fringe_names) for j in jobs]
        programs.append(Program("default", "tolv (default -j)" if jobs else "tolv",
                                lambda w: [tolv, "-q", w] + fringe_names))
        # numpy's table (a few rows) is kept for the comparison with tolv's.
        programs.append(Program("numpy", "numpy + astropy",
                                lambda w: [PYTHON, NUMPY_FIT, w] + fringe_names, table_to_file=True))
        startup = Program("startup", "python3 import numpy, astropy.io.fits",
                          lambda w: [PYTHON, "-c", "import numpy; from astropy.io import fits"])

        print("commands (each on a fresh copy of science.fits, synced to disk first):")
        for p in programs:
            print("  %-24s %s > %s" % (p.label, shlex.join(p.argv_for(work)),
                                       "out-numpy.tsv" if p.table_to_file else "/dev/null"))
        print("  %-24s %s   (Python's start alone, for reference)" % ("startup", shlex.join(startup.argv_for(work))))

        for rep in range(a.repetitions):
            # Each program goes first in turn, so drifts in the machine's load spread evenly.
            order = programs[rep % len(programs):] + programs[:rep % len(programs)]
            for p in order:
                shutil.copyfile(science, work)
                os.sync()
                out = os.path.join(d, "out-numpy.tsv") if p.table_to_file else os.devnull
                wall, cpu, rss, status, err = run_measured(p.argv_for(work), out)
                if status != 0:
                    print("versus_numpy: %s exited with status %d:\n%s" % (p.label, status, err), file=sys.stderr)
                    return 1
                if os.path.exists(work + ".tolv-journal"):
                    print("versus_numpy: %s left a journal behind" % p.label, file=sys.stderr)
                    return 1
                p.wall.append(wall)
                p.cpu.append(cpu)
                p.rss.append(rss)
                os.replace(work, os.path.join(d, "out-%s.fits" % p.key))
            wall, cpu, rss, status, err = run_measured(startup.argv_for(work), os.devnull)
            if status == 0:
                startup.wall.append(wall)
                startup.cpu.append(cpu)
                startup.rss.append(rss)
            print("  run %d of %d: %s" % (rep + 1, a.repetitions,
                                          ", ".join("%s %.2f s" % (p.label, p.wall[-1]) for p in programs)),
                  flush=True)

        failures = check_outputs(d, science, fringe_names, programs, skies, a, tolv)

        base = statistics.median(next(p for p in programs if p.key == "default").wall)
        print("\n%d run%s each, alternating; medians (load average after: %.2f %.2f %.2f)"
              % (a.repetitions, "" if a.repetitions == 1 else "s", *os.getloadavg()))
        print("%-38s %9s %9s %9s %9s %13s" % ("program", "median s", "min s", "vs tolv", "CPU s", "peak RSS MiB"))
        for p in programs + ([startup] if startup.wall else []):
            print("%-38s %9.3f %9.3f %9.2f %9.3f %13.1f"
                  % (p.label, statistics.median(p.wall), min(p.wall), statistics.median(p.wall) / base,
                     statistics.median(p.cpu), statistics.median(p.rss) / 1024))
        print("(wall time of the whole process; CPU = user + system of the process; peak RSS = its ru_maxrss,"
              " which counts the pages of the mapped files it touched; /bin/true measured the same way: %.1f MiB)"
              % (floor / 1024))
        for n in notes:
            print("note: " + n)
        if failures:
            for f in failures:
                print("versus_numpy: FAILED: " + f, file=sys.stderr)
            return 1
        print("versus_numpy: outputs agree")
        return 0
    finally:
        if a.keep:
            print("kept " + d)
        else:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
