#!/usr/bin/python3
"""The fringe fit written the way a user would write it with numpy and astropy.

Usage: numpy_fringe_fit.py science.fits fringe1.fits [fringe2.fits ...]

Every image extension of the science mosaic is fitted as a constant, a gradient
in x and y about the image centre and a multiple of the same extension of each
fringe frame: weighted linear least squares on the pixels where the science and
every fringe value are finite, repeated on the residual with the pixels beyond
twice sigma left out of the next fit. The whole model is subtracted and the
science file is updated in place; its table goes to standard output.
It is the independent reference that bench/versus_numpy.py times tolv against.
"""
import argparse
import sys

import numpy as np
from astropy.io import fits


def fit_extension(science, fringes, iterations, clip):
    """Fits one extension; returns the accumulated coefficients and one table row
    per iteration (sigma, npix, coefficients so far)."""
    ny, nx = science.shape
    data = science.astype(np.float64)
    frames = [f.astype(np.float64) for f in fringes]
    finite = np.isfinite(data)
    for f in frames:
        finite &= np.isfinite(f)
    if not finite.any():
        return None, []

    # One row of the design matrix per usable pixel: 1, x - nx//2, y - ny//2,
    # then each fringe frame (x is the column, y the row, both from 0).
    y, x = np.nonzero(finite)
    design = np.column_stack(
        [np.ones(x.size), (x - nx // 2).astype(np.float64), (y - ny // 2).astype(np.float64)]
        + [f[finite] for f in frames])
    residual = data[finite]
    weight = np.ones(residual.size)
    total = np.zeros(design.shape[1])
    rows = []
    for _ in range(iterations):
        weighted = design * weight[:, None]
        coef = np.linalg.solve(weighted.T @ design, weighted.T @ residual)
        residual = residual - design @ coef
        total += coef
        npix = int(np.count_nonzero(weight))
        chisq = float(np.sum(weight * residual**2))
        sigma = float(np.float32(np.sqrt(chisq / npix)))
        rows.append((sigma, npix, total.copy()))
        weight = (np.abs(residual) <= clip * sigma).astype(np.float64)
    return total, rows


def model_image(shape, coef, fringes):
    """The fitted model over the whole image, from the accumulated coefficients."""
    ny, nx = shape
    x = np.arange(nx, dtype=np.float64) - nx // 2
    y = np.arange(ny, dtype=np.float64) - ny // 2
    model = coef[0] + coef[1] * x[None, :] + coef[2] * y[:, None]
    for k, f in enumerate(fringes):
        model = model + coef[3 + k] * f.astype(np.float64)
    return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("science")
    parser.add_argument("fringes", nargs="+")
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--clip", type=float, default=2.0)
    args = parser.parse_args()

    fringe_files = [fits.open(name, memmap=True) for name in args.fringes]
    out = sys.stdout
    header = ["Extn", "Iter", "Sigma", "Npix", "Aconst", "Ax", "Ay"] + [
        "Afringe%02d" % k for k in range(len(fringe_files))]
    print("\t".join(header), file=out)
    with fits.open(args.science, mode="update", memmap=True) as hdul:
        for extn in range(1, len(hdul)):
            hdu = hdul[extn]
            if not isinstance(hdu, fits.ImageHDU) or hdu.data is None:
                continue
            science = hdu.data
            fringes = [f[extn].data for f in fringe_files]
            coef, rows = fit_extension(science, fringes, args.iterations, args.clip)
            if coef is None:
                print("extension %d: no finite pixel, left as it is" % extn, file=sys.stderr)
                continue
            for it, (sigma, npix, c) in enumerate(rows):
                print("%d\t%d\t%.6f\t%d\t" % (extn, it, sigma, npix)
                      + "\t".join("%.6f" % v for v in c), file=out)
            # Pixels that are not finite keep their bytes (NaN marks missing data).
            finite = np.isfinite(science)
            corrected = science.astype(np.float64) - model_image(science.shape, coef, fringes)
            science[finite] = corrected[finite].astype(np.float32)
    for f in fringe_files:
        f.close()


if __name__ == "__main__":
    main()
