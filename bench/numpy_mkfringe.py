#!/usr/bin/python3
"""A fringe frame made the way a user would make it with numpy and astropy.

Usage: numpy_mkfringe.py FRINGE.fits science1.fits science2.fits ... scienceN.fits

For every image extension, per exposure: the sky (a constant and a gradient in
x and y) fitted by least squares with 2-sigma clipping, five fits, each on the
residual of the one before; sources above 3 robust sigmas (1.4826 times the
median absolute deviation) grown by 2 pixels and left out with the non-finite
pixels; the residual divided by the sky level.  Then numpy.nanmedian over the
stacked exposures, and 0 where fewer than 3 values are left.  The steps of
tolv-mkfringe, which bench/mkfringe_versus_numpy.py times against this.
"""
import sys

import numpy as np
from astropy.io import fits


def sky_fit(image, iterations=5, clip=2.0):
    ny, nx = image.shape
    y, x = np.mgrid[0:ny, 0:nx]
    usable = np.isfinite(image)
    design = np.column_stack([np.ones(usable.sum()), (x[usable] - nx // 2).astype(np.float64),
                              (y[usable] - ny // 2).astype(np.float64)])
    residual = image[usable].astype(np.float64)
    keep = np.ones(residual.size, bool)
    total = np.zeros(3)
    for _ in range(iterations):
        step = np.linalg.lstsq(design[keep], residual[keep], rcond=None)[0]
        residual = residual - design @ step
        sigma = np.float32(np.sqrt(np.sum(residual[keep] ** 2) / keep.sum()))
        keep = ~(np.abs(residual) > np.float32(clip) * sigma)
        total += step
    return total


def values_of(image, grow=2, object_sigma=3.0):
    ny, nx = image.shape
    c, ax, ay = sky_fit(image)
    y, x = np.mgrid[0:ny, 0:nx]
    r = image.astype(np.float64) - (c + ax * (x - nx // 2) + ay * (y - ny // 2))
    usable = np.isfinite(r)
    middle = np.median(r[usable])
    sigma = 1.4826 * np.median(np.abs(r[usable] - middle))
    with np.errstate(invalid="ignore"):
        sources = usable & (r > object_sigma * sigma)
    grown = np.zeros_like(sources)
    for dy in range(-grow, grow + 1):
        for dx in range(-grow, grow + 1):
            if dx * dx + dy * dy <= grow * grow:
                grown[max(0, dy):ny + min(0, dy), max(0, dx):nx + min(0, dx)] |= \
                    sources[max(0, -dy):ny + min(0, -dy), max(0, -dx):nx + min(0, -dx)]
    return np.where(usable & ~grown, r / c, np.nan)


def main():
    out, names = sys.argv[1], sys.argv[2:]
    inputs = [fits.open(n, memmap=True) for n in names]
    hdus = [fits.PrimaryHDU(header=inputs[0][0].header)]
    for e in range(1, len(inputs[0])):
        stack = np.array([values_of(i[e].data) for i in inputs])
        count = np.sum(~np.isnan(stack), axis=0)
        with np.errstate(invalid="ignore"), np.testing.suppress_warnings() as quiet:
            quiet.filter(RuntimeWarning)
            frame = np.where(count >= 3, np.nanmedian(stack, axis=0), 0.0)
        hdus.append(fits.ImageHDU(frame.astype(np.float32), header=inputs[0][e].header))
    fits.HDUList(hdus).writeto(out, overwrite=True)


if __name__ == "__main__":
    main()
