"""tolv from Python: fringe removal on numpy arrays and on FITS mosaics.

    import tolv
    corrected, rows = tolv.remove_fringes(science, [fringe1, fringe2])
    rows = tolv.correct("science.fits", ["fringe1.fits", "fringe2.fits"])

Both run the same C++ as the command ``tolv``: for float32 pixels the corrected
image and the rows are the command's, bit for bit.  Many exposures at once, on a
Dask cluster: ``tolv.batch.correct_many``.
"""
import collections
import logging
import os

import numpy as np

from . import _tolv

__all__ = ["Error", "Row", "remove_fringes", "correct", "read_image", "read_header", "__version__"]
__version__ = _tolv.version

log = logging.getLogger("tolv")


class Error(RuntimeError):
    """A run of correct() that failed; the message is the command's own, status
    its exit status, and locked is True when it was refused because another tolv
    was correcting the science file."""

    def __init__(self, message, status=1, locked=False):
        super().__init__(message)
        self.status = status
        self.locked = locked


Row = collections.namedtuple("Row", "extn iter sigma npix aconst ax ay afringe")
Row.__doc__ = """One row of the table: extension, iteration (0 the unclipped fit), sigma,
pixels used, and the coefficients summed over the fits so far: constant,
gradients in x and y, and one amplitude per fringe frame (a tuple).  The
numbers are those the fit computed, which the table prints with printf's %f
(for an extension that an interrupted run finished, the table's text, which is
what its journal keeps)."""


def _from_numbers(numbers):
    """Row tuples from the compiled part's rows: (extn, iter, sigma, npix, a)."""
    return [Row(extn, it, sigma, npix, a[0], a[1], a[2], tuple(a[3:])) for extn, it, sigma, npix, a in numbers]


def _settings(iterations, clip):
    if isinstance(iterations, bool) or not isinstance(iterations, (int, np.integer)):
        raise ValueError("iterations must be a whole number from 1 to 100, not %r" % (iterations,))
    try:
        clip = float(clip)
    except (TypeError, ValueError):
        raise ValueError("clip must be a positive number, not %r" % (clip,)) from None
    return ["--iterations", str(int(iterations)), "--clip", repr(clip)]


def _path(name, what):
    """A file name as the bytes the C++ side opens: str, bytes or os.PathLike
    (encoded as the file system encodes names).  C strings end at a NUL byte, so
    a name holding one would open another file: ValueError."""
    try:
        name = os.fspath(name)
    except TypeError:
        raise TypeError("%s must be a file name (str, bytes or os.PathLike), not %s"
                        % (what, type(name).__name__)) from None
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError("%s holds a NUL byte: %r" % (what, name))
    return encoded


def _word(text, what):
    """An option's text (str or bytes) for the command line; ValueError with a NUL byte."""
    encoded = os.fsencode(text) if isinstance(text, (str, bytes)) else str(text).encode()
    if b"\0" in encoded:
        raise ValueError("%s holds a NUL byte: %r" % (what, text))
    return encoded


def _image(a, what):
    a = np.asarray(a)
    # Either byte order (astropy gives a BITPIX -32 image as >f4): the conversion
    # below takes values, not bytes.
    if a.dtype.kind != "f" or a.dtype.itemsize not in (4, 8):
        raise ValueError("%s must hold float32 or float64 pixels, not %s" % (what, a.dtype))
    if a.ndim != 2:
        raise ValueError("%s must be a 2-D array, not %d-D" % (what, a.ndim))
    if a.size == 0:
        raise ValueError("%s is empty (%d x %d)" % (what, a.shape[0], a.shape[1]))
    # float64 pixels are rounded to float32, as a FITS file of BITPIX -32 holds them.
    return np.ascontiguousarray(a, dtype=">f4")


def remove_fringes(science, fringes, iterations=_tolv.default_iterations, clip=_tolv.default_clip, mask=None):
    """Fits science as a constant, two gradients and a multiple of each fringe
    frame, clipped as the command clips, and subtracts the fit.

    science: a 2-D array of float32 or float64 pixels (any layout, either byte
    order, as astropy's hdul[k].data comes); fringes: a sequence of arrays of
    the same shape; mask: an optional array of that shape (integers or bools of
    either byte order), nonzero where a pixel is to be left out of the fits.
    The result is the same, bit for bit, whatever the layout and byte order of
    the same values.  Pixels that are not finite take no part and keep their
    values.  Returns the corrected image (float32) and the table's rows (Row).
    ValueError on bad input or a fit that cannot be solved.
    """
    settings = _settings(iterations, clip)
    s = _image(science, "science")
    if isinstance(fringes, np.ndarray) and fringes.ndim == 2:
        raise ValueError("fringes must be a sequence of 2-D arrays")
    frames = [_image(f, "fringe frame %d" % k) for k, f in enumerate(fringes)]
    if not frames:
        raise ValueError("at least one fringe frame is needed")
    for k, f in enumerate(frames):
        if f.shape != s.shape:
            raise ValueError("fringe frame %d is %d x %d, the science image %d x %d"
                             % (k, f.shape[0], f.shape[1], s.shape[0], s.shape[1]))
    m = None
    if mask is not None:
        m = np.asarray(mask)
        if m.shape != s.shape:
            raise ValueError("the mask is %s, the science image %d x %d" % (" x ".join(map(str, m.shape)) or "a scalar",
                                                                            s.shape[0], s.shape[1]))
        m = np.ascontiguousarray(m != 0, dtype=np.uint8).tobytes()
    ny, nx = s.shape
    corrected, rows = _tolv.remove_fringes(nx, ny, s.tobytes(), [f.tobytes() for f in frames], m,
                                           ["tolv"] + settings + ["science", "fringe"])
    image = np.frombuffer(corrected, dtype=">f4").reshape(ny, nx).astype(np.float32)
    return image, _from_numbers(rows)


def correct(path, fringe_paths, output=None, extname=None, mask=None, iterations=_tolv.default_iterations,
            clip=_tolv.default_clip, force=False, record=True):
    """The command's whole job on files, in this process: corrects every image
    extension of the mosaic at path (in place, or into a new file output) with
    the fringe frames of fringe_paths, with the command's checks, journal and
    record.  Returns the table's rows (Row); its notes go to the logger "tolv".
    Raises Error with the command's message when the run fails (locked when
    another tolv was correcting the file).

    File names are str, bytes or os.PathLike; those of the inputs (path,
    fringe_paths, mask) may select units ("mosaic.fits[SCI]"), output is a
    plain path, passed on as it is.  ValueError for a name holding a NUL byte.
    """
    if isinstance(fringe_paths, (str, bytes, os.PathLike)):
        fringe_paths = [fringe_paths]
    words = ["tolv"] + _settings(iterations, clip)
    if output is not None:
        words += ["-o", _path(output, "output")]
    if extname is not None:
        words += ["--extname", _word(extname, "extname")]
    if mask is not None:
        words += ["--mask", _path(mask, "mask")]
    if force:
        words.append("--force")
    if not record:
        words.append("--no-record")
    files = [_path(path, "the science file")] + [_path(f, "fringe file %d" % k) for k, f in enumerate(fringe_paths)]
    if len(files) < 2:
        raise ValueError("at least one fringe file is needed")
    status, _, messages, locked, rows = _tolv.correct(words + ["--"] + files)
    # The messages name the files as given, in the file system's encoding.
    messages = os.fsdecode(messages)
    if status != 0:
        raise Error(messages.rstrip("\n"), status, locked)
    for line in messages.splitlines():
        log.info("%s", line)
    return _from_numbers(rows)


def read_header(name):
    """The cards (80-character strings, END last) of the header a file name
    selects, in the library's extended syntax: "file.fits[2]", "file.fits[SCI,1]";
    str, bytes or os.PathLike."""
    encoded = _path(name, "the file name")
    try:
        return _tolv.read_header(encoded)
    except RuntimeError as e:
        raise Error("%s: %s" % (os.fsdecode(encoded), e)) from None


def read_image(name):
    """The image a file name selects as float64, BSCALE and BZERO applied, shaped
    (NAXISn, ..., NAXIS1) as numpy orders a FITS image.  The name as for
    read_header."""
    encoded = _path(name, "the file name")
    try:
        data, axes = _tolv.read_image(encoded)
    except RuntimeError as e:
        raise Error("%s: %s" % (os.fsdecode(encoded), e)) from None
    return np.frombuffer(data, dtype=np.float64).reshape(tuple(reversed(axes))).copy()
