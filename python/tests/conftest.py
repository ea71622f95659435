"""What the tests of the Python module share: the command they compare with, and
mosaics written with astropy, an independent FITS writer."""
import os
import subprocess

import numpy as np
import pytest
from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))
# Runs of the command and of correct() stamp the same correction time.
os.environ.setdefault("SOURCE_DATE_EPOCH", "1765152000")


@pytest.fixture(scope="session")
def tolv_binary():
    path = os.environ.get("TOLV_BINARY", os.path.join(HERE, "..", "..", "build", "tolv"))
    if not os.access(path, os.X_OK):
        pytest.fail("the built tolv is needed: set TOLV_BINARY (looked for %s)" % path)
    return path


@pytest.fixture(scope="session")
def mkfringe(tolv_binary):
    """tolv-mkfringe, built beside tolv."""
    path = os.path.join(os.path.dirname(tolv_binary), "tolv-mkfringe")
    if not os.access(path, os.X_OK):
        pytest.fail("the built tolv-mkfringe is needed beside tolv (looked for %s)" % path)
    return path


def run_tolv(binary, *args):
    """The command's status, table and messages."""
    p = subprocess.run([binary] + [str(a) for a in args], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def scene(shape, nfringe, seed, extensions=1):
    """Science images of sky, gradients, fringes, noise and a few stars, and the
    fringe frames: lists of float32 arrays, one per extension."""
    rng = np.random.default_rng(seed)
    ny, nx = shape
    y, x = np.mgrid[0:ny, 0:nx].astype(np.float64)
    science, frames = [], [[] for _ in range(nfringe)]
    for e in range(extensions):
        image = 800.0 + 0.05 * x - 0.03 * y + rng.normal(0.0, 4.0, shape)
        for k in range(nfringe):
            f = np.sin(x / (5.0 + 3 * k) + y / (7.0 + 2 * k) + e) * (1.0 + 0.2 * np.cos(y / 13.0 + k))
            frames[k].append(f.astype(np.float32))
            image += (25.0 + 9 * k + e) * f
        for _ in range(4):
            image[rng.integers(0, ny), rng.integers(0, nx)] += 3000.0
        science.append(image.astype(np.float32))
    return science, frames


def write_mosaic(path, images, primary_cards=()):
    """A primary header and one image extension per array, big-endian float32."""
    hdus = [fits.PrimaryHDU()]
    for k, card in enumerate(primary_cards):
        hdus[0].header[card[0]] = card[1]
    for image in images:
        hdus.append(fits.ImageHDU(np.asarray(image, dtype=">f4")))
    fits.HDUList(hdus).writeto(path, overwrite=True)
    return str(path)


def extension_bytes(path, e):
    """The data bytes of extension e, as stored."""
    with fits.open(path, do_not_scale_image_data=True) as f:
        return np.ascontiguousarray(f[e].data, dtype=">f4").tobytes()


def table_rows(table):
    """The rows of the command's table, each line as it is printed."""
    lines = table.splitlines()
    assert lines[:1] == [] or lines[0].startswith("Extn\tIter\tSigma\tNpix"), lines[:2]
    return lines[2:]


def printed(rows):
    """Rows (tolv.Row) as the command's table prints them: printf's %f of each
    number, which Python's % formats alike.  Checks that each value is a number
    of the Row's kind: ints for extn, iter and npix, float32 values for sigma."""
    lines = []
    for r in rows:
        assert all(type(v) is int for v in (r.extn, r.iter, r.npix)), r
        assert type(r.sigma) is float and float(np.float32(r.sigma)) == r.sigma, r
        assert all(type(v) is float for v in (r.aconst, r.ax, r.ay) + r.afringe), r
        lines.append("\t".join(["%d" % r.extn, "%d" % r.iter, "%f" % r.sigma, "%d" % r.npix] +
                               ["%f" % a for a in (r.aconst, r.ax, r.ay) + r.afringe]))
    return lines
