"""tolv from Python: fringe removal on numpy arrays and on FITS mosaics.

    import tolv
    corrected, rows = tolv.remove_fringes(science, [fringe1, fringe2])
    rows = tolv.correct("science.fits", ["fringe1.fits", "fringe2.fits"])

Both run the same C++ as the command ``tolv``: for float32 pixels the corrected
image and the rows are the command's, bit for bit.  Many exposures at once, on a
Dask cluster: ``tolv.batch.correct_many``.
"""
import collections
import errno
import logging
import os
import sys
from collections.abc import Sequence as _Sequence
from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _tolv

__all__ = ["Error", "FileNotFound", "NoPermission", "Row", "remove_fringes", "correct", "make_fringe", "InputSky",
           "FrameCounts", "MadeInput", "MadeExtension", "read_image", "read_header",
           "__version__"]
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


class FileNotFound(FileNotFoundError, Error):
    """An input of correct() or a reader that is not there: both Python's own
    FileNotFoundError (errno, filename) and tolv.Error, with the command's message."""

    def __init__(self, message, filename, code=errno.ENOENT):
        FileNotFoundError.__init__(self, code, message, filename)
        self.status, self.locked, self.message = 1, False, message

    def __str__(self):
        return self.message


class NoPermission(PermissionError, Error):
    """An input that cannot be read (or, in place, written): PermissionError and
    tolv.Error, with the command's message."""

    def __init__(self, message, filename, code=errno.EACCES):
        PermissionError.__init__(self, code, message, filename)
        self.status, self.locked, self.message = 1, False, message

    def __str__(self):
        return self.message


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
    if isinstance(iterations, bool) or not isinstance(iterations, (int, np.integer)) or not 1 <= iterations <= 100:
        raise ValueError("iterations must be a whole number from 1 to 100, not %r" % (iterations,))
    try:
        value = float(clip)
    except (TypeError, ValueError):
        raise ValueError("clip must be a positive number, not %r" % (clip,)) from None
    if not 0.0 < value <= 3.4028234663852886e38:
        raise ValueError("clip must be a positive number, not %r" % (clip,))
    return ["--iterations", str(int(iterations)), "--clip", repr(value)]


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
    # below takes values, not bytes.  Integers of any size, as FITS images of
    # BITPIX 8 to 64 hold them (unsigned ones by BZERO), are taken as values.
    if not ((a.dtype.kind == "f" and a.dtype.itemsize in (4, 8)) or a.dtype.kind in "iu"):
        raise ValueError("%s must hold float32, float64 or integer pixels, not %s" % (what, a.dtype))
    if a.ndim != 2:
        raise ValueError("%s must be a 2-D array, not %d-D" % (what, a.ndim))
    if a.size == 0:
        raise ValueError("%s is empty (%d x %d)" % (what, a.shape[0], a.shape[1]))
    # float64 pixels are rounded to float32, as a FITS file of BITPIX -32 holds them.
    return np.ascontiguousarray(a, dtype=">f4")


class _Pixels:
    """An image as remove_fringes takes it: its array, the pixels its own mask
    leaves out (None when none), and how to give a corrected array back as the
    same kind (a numpy array, a masked array, an astropy HDU, a CCDData)."""

    def __init__(self, image, what):
        self.kind, self.source, self.mask = "array", image, None
        fits = sys.modules.get("astropy.io.fits")
        nddata = sys.modules.get("astropy.nddata")
        if isinstance(image, np.ma.MaskedArray):
            self.kind, self.data, self.mask = "masked", image.data, np.ma.getmaskarray(image)
        elif fits is not None and isinstance(image, (fits.ImageHDU, fits.PrimaryHDU)):
            if image.data is None:
                raise ValueError("%s is an HDU without an image" % what)
            self.kind, self.data = "hdu", image.data
        elif nddata is not None and isinstance(image, nddata.CCDData):
            self.kind, self.data = "ccddata", image.data
            self.mask = None if image.mask is None else np.asarray(image.mask)
        else:
            self.data = image
        self.array = _image(self.data, what)
        if self.mask is not None and self.mask.shape != self.array.shape:
            raise ValueError("the mask of %s is %s, its image %s" % (what, self.mask.shape, self.array.shape))

    def header(self):
        h = self.source.header if self.kind == "hdu" else self.source.meta if self.kind == "ccddata" else None
        return h

    def give_back(self, image, record):
        """The corrected image as the kind it came as; an HDU's or CCDData's
        header gets the record (the cards of an older one replaced)."""
        if self.kind == "array":
            return image
        if self.kind == "masked":
            return np.ma.MaskedArray(image, mask=self.mask.copy())
        from astropy.io import fits
        header = fits.Header(self.header()).copy() if self.kind == "ccddata" else self.source.header.copy()
        for key in [k for k in header.keys() if _tolv.is_record_keyword(k.upper())]:
            del header[key]
        for text in record:
            header.append(fits.Card.fromstring(text), end=True)
        if self.kind == "hdu":
            return type(self.source)(data=image, header=header)
        from astropy.nddata import CCDData
        return CCDData(image, unit=self.source.unit, mask=None if self.mask is None else self.mask.copy(),
                       uncertainty=self.source.uncertainty, wcs=self.source.wcs, meta=header)


PathName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Image = Any  # a 2-D numpy array, a numpy.ma.MaskedArray, an astropy ImageHDU or PrimaryHDU, or a CCDData


def remove_fringes(science: Union[Image, Sequence[Image]], fringes: Sequence[Any],
                   iterations: int = _tolv.default_iterations, clip: float = _tolv.default_clip,
                   mask: Optional[Any] = None, per_exposure: bool = False) -> Tuple[Any, List["Row"]]:
    """Fits science as a constant, two gradients and a multiple of each fringe
    frame, clipped as the command clips, and subtracts the fit.

    science: a 2-D image of float32, float64 or integer pixels (any layout,
    either byte order, as astropy's hdul[k].data comes), or a numpy masked
    array, an astropy ImageHDU or PrimaryHDU, or an astropy CCDData holding
    one; fringes: a sequence of images of the same shape (of those kinds too);
    mask: an optional array of that shape (integers or bools of either byte
    order), nonzero where a pixel is to be left out of the fits.  The masks of
    a masked array or a CCDData leave their pixels out as well.  The result is
    the same, bit for bit, whatever the layout and byte order of the same
    values.  Pixels that are not finite take no part and keep their values.

    Returns the corrected image (float32) as the kind science came as (the
    same mask; an HDU's or CCDData's header with the record of the correction,
    FRGCORR ..., in it) and the table's rows (Row).  ValueError on bad input or
    a fit that cannot be solved.

    per_exposure=True fits the CCDs of one exposure together, with one
    amplitude per fringe frame for all of them (the command's --per-exposure):
    science is then a sequence of images (one per CCD, all of one shape),
    fringes a sequence of the same length holding each CCD's fringe frames, and
    mask None or a sequence of masks (or None) per CCD.  Returns the list of
    corrected images and the rows, extension e + 1 for image e.
    """
    settings = _settings(iterations, clip)
    if per_exposure:
        return _remove_exposure_fringes(science, fringes, mask, settings)
    given, wrapped, s, frames, m = _fit_inputs(science, fringes, mask)
    ny, nx = s.shape
    corrected, rows = _tolv.remove_fringes(nx, ny, s.tobytes(), [f.tobytes() for f in frames], m,
                                           ["tolv"] + settings + ["science", "fringe"])
    image = np.frombuffer(corrected, dtype=">f4").reshape(ny, nx).astype(np.float32)
    rows = _from_numbers(rows)
    return given.give_back(image, _record(given, wrapped, rows[-1], settings)), rows


def _remove_exposure_fringes(science, fringes, mask, settings):
    """remove_fringes(per_exposure=True)."""
    if isinstance(science, np.ndarray) or not isinstance(science, _Sequence) or not len(science):
        raise ValueError("with per_exposure, science must be a sequence of images, one per CCD")
    if not isinstance(fringes, _Sequence) or len(fringes) != len(science):
        raise ValueError("with per_exposure, fringes must hold one sequence of fringe frames per science image")
    if mask is not None and (isinstance(mask, np.ndarray) or len(mask) != len(science)):
        raise ValueError("with per_exposure, mask must be None or hold one mask (or None) per science image")
    inputs = [_fit_inputs(s, f, None if mask is None else mask[e], " of image %d" % e)
              for e, (s, f) in enumerate(zip(science, fringes))]
    for e, (_, _, s, frames, _) in enumerate(inputs):
        if s.shape != inputs[0][2].shape or len(frames) != len(inputs[0][3]):
            raise ValueError("image %d is not laid out as image 0: %d x %d with %d fringe frames, not %d x %d with %d"
                             % ((e,) + s.shape + (len(frames),) + inputs[0][2].shape + (len(inputs[0][3]),)))
    ny, nx = inputs[0][2].shape
    corrected, rows = _tolv.remove_fringes_exposure(
        nx, ny, [i[2].tobytes() for i in inputs], [[f.tobytes() for f in i[3]] for i in inputs],
        [i[4] for i in inputs], ["tolv"] + settings + ["science", "fringe"])
    rows = _from_numbers(rows)
    images = []
    for e, (given, wrapped, *_) in enumerate(inputs):
        image = np.frombuffer(corrected[e], dtype=">f4").reshape(ny, nx).astype(np.float32)
        last = [r for r in rows if r.extn == e + 1][-1]
        images.append(given.give_back(image, _record(given, wrapped, last, settings, len(inputs))))
    return images, rows


def _fit_inputs(science, fringes, mask, of=""):
    """The science image, its frames and mask as the fit takes them: the given
    science (_Pixels) and frames, the science and frame arrays, the mask bytes
    (None: no pixel left out); ValueError naming what does not fit (`of` after
    the names: " of image 3")."""
    given = _Pixels(science, "science" + of)
    s = given.array
    if isinstance(fringes, np.ndarray) and fringes.ndim == 2:
        raise ValueError("fringes%s must be a sequence of 2-D arrays" % of)
    wrapped = [_Pixels(f, "fringe frame %d%s" % (k, of)) for k, f in enumerate(fringes)]
    frames = [w.array for w in wrapped]
    if not frames:
        raise ValueError("at least one fringe frame%s is needed" % of)
    for k, f in enumerate(frames):
        if f.shape != s.shape:
            raise ValueError("fringe frame %d%s is %d x %d, the science image %d x %d"
                             % (k, of, f.shape[0], f.shape[1], s.shape[0], s.shape[1]))
    left_out = None
    if mask is not None:
        m = np.asarray(mask)
        if m.shape != s.shape:
            raise ValueError("the mask%s is %s, the science image %d x %d"
                             % (of, " x ".join(map(str, m.shape)) or "a scalar", s.shape[0], s.shape[1]))
        left_out = m != 0
    for w in [given] + wrapped:
        if w.mask is not None:
            left_out = (w.mask != 0) if left_out is None else (left_out | (w.mask != 0))
    m = None if left_out is None else np.ascontiguousarray(left_out, dtype=np.uint8).tobytes()
    return given, wrapped, s, frames, m


def _record(given, wrapped, last, settings, exposure_extensions=0):
    """The record's cards for an HDU or CCDData given (none for an array): the
    last row's numbers; over how many images the amplitudes were fitted."""
    if given.kind not in ("hdu", "ccddata"):
        return []
    names = [_hdu_name(w, k) for k, w in enumerate(wrapped)]
    return _tolv.record_cards(names, [last.aconst, last.ax, last.ay] + list(last.afringe), last.sigma, last.npix,
                              ["tolv"] + settings + ["science", "fringe"], exposure_extensions)


InputSky = collections.namedtuple("InputSky", "sky ax ay sigma usable left_out")
InputSky.__doc__ = """What make_fringe found in one exposure: its sky fit's constant and
gradients, the robust sigma of its residual, its usable pixels and those left
out of the combine (sources, masked, not finite)."""

FrameCounts = collections.namedtuple("FrameCounts", "combined zeroed sources_any sources_most")
FrameCounts.__doc__ = """What make_fringe counted in a frame: pixels combined, pixels set to 0
(fewer values than min_inputs), and pixels that are a source in one exposure
at least and in more than half of them."""


MadeInput = collections.namedtuple("MadeInput", "extn input sky sigma left_out")
MadeInput.__doc__ = """A row of tolv-mkfringe's table for one exposure (input, from 1) and
extension: its sky level, robust sigma and the share of its pixels left out."""

MadeExtension = collections.namedtuple("MadeExtension", "extn combined zeroed")
MadeExtension.__doc__ = """A row of tolv-mkfringe's table for one extension: the pixels
combined and those set to 0."""


def make_fringe(images: Sequence[Any], masks: Optional[Sequence[Any]] = None, object_sigma: float = 3.0,
                grow: int = 2, normalize: bool = True, combine: str = "median", reject: float = 3.0,
                min_inputs: int = 3, iterations: int = _tolv.default_iterations,
                clip: float = _tolv.default_clip, output: Optional[PathName] = None, extname: Optional[str] = None,
                overwrite: bool = False, force: bool = False) -> Tuple[Any, List[Any], Any]:
    """A fringe frame from dithered exposures.

    Given file names (str, bytes or os.PathLike), it is tolv-mkfringe in this
    process: each a mosaic, the frame mosaic written to output (required),
    masks None, one mask file for all or one per exposure, extname, overwrite
    and force as the command's options; returns (output, the table's rows per
    exposure and extension as MadeInput, its rows per extension as
    MadeExtension), and raises Error with the command's message when it fails.

    Given images, it makes one extension's frame in memory: images, one 2-D
    image per exposure (of one shape; numpy arrays of any float or integer
    dtype and byte order, masked arrays, HDUs or CCDData as remove_fringes
    takes them); masks, None or one mask (or None) per image, nonzero where a
    pixel is left out.

    Per image the sky is fitted as tolv fits it with no fringe frame
    (iterations, clip), sources are the pixels whose residual exceeds
    object_sigma robust sigmas (1.4826 times the median absolute deviation),
    grown by grow pixels; the residual is divided by the sky level unless
    normalize is False; per pixel the images' values are combined ("median",
    or "mean" after leaving out values beyond reject standard deviations), and
    a pixel with fewer than min_inputs values is 0.  At least 3 images.

    Returns the frame (float32), an InputSky per image and the FrameCounts.
    ValueError on bad input, or naming the image whose sky cannot be fitted.
    """
    settings = _settings(iterations, clip)
    if isinstance(images, np.ndarray) or not isinstance(images, _Sequence) or len(images) < 3:
        raise ValueError("make_fringe needs a sequence of at least 3 images")
    if all(isinstance(i, (str, bytes, os.PathLike)) for i in images):
        return _make_fringe_file(images, masks, output, extname, overwrite, force, settings, object_sigma, grow,
                                 normalize, combine, reject, min_inputs)
    if output is not None or extname is not None:
        raise ValueError("output and extname are for exposures given as file names")
    if masks is not None and (isinstance(masks, np.ndarray) or len(masks) != len(images)):
        raise ValueError("masks must be None or hold one mask (or None) per image")
    if combine not in ("median", "mean"):
        raise ValueError("combine must be 'median' or 'mean', not %r" % (combine,))
    for name, value in (("object_sigma", object_sigma), ("reject", reject)):
        if not isinstance(value, (int, float, np.floating, np.integer)) or not 0 < float(value) < float("inf"):
            raise ValueError("%s must be a positive number, not %r" % (name, value))
    for name, value, low in (("grow", grow, 0), ("min_inputs", min_inputs, 1)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not low <= value <= 1000:
            raise ValueError("%s must be a whole number from %d to 1000, not %r" % (name, low, value))
    prepared = [_fit_inputs(image, [image], None if masks is None else masks[k], " of image %d" % k)
                for k, image in enumerate(images)]
    shape = prepared[0][2].shape
    for k, p in enumerate(prepared):
        if p[2].shape != shape:
            raise ValueError("image %d is %d x %d, image 0 %d x %d" % ((k,) + p[2].shape + shape))
    ny, nx = shape
    frame, per_input, counts = _tolv.make_fringe_frame(
        nx, ny, [p[2].tobytes() for p in prepared], [p[4] for p in prepared], float(object_sigma), int(grow),
        bool(normalize), combine, float(reject), int(min_inputs), ["tolv"] + settings + ["science", "fringe"])
    return (np.frombuffer(frame, dtype=np.float32).reshape(ny, nx).copy(), [InputSky(*k) for k in per_input],
            FrameCounts(*counts))


def _make_fringe_file(names, masks, output, extname, overwrite, force, settings, object_sigma, grow, normalize,
                      combine, reject, min_inputs):
    """make_fringe on files: the command's words, its run, its table read back."""
    if output is None:
        raise ValueError("output names the fringe mosaic to write")
    words = ["tolv-mkfringe", "-q"] + settings + ["--object-sigma", repr(float(object_sigma)), "--grow", str(int(grow)),
                                                 "--combine", str(combine), "--reject", repr(float(reject)),
                                                 "--min-inputs", str(int(min_inputs)), "-o", _path(output, "output")]
    if not normalize:
        words.append("--no-normalize")
    if overwrite:
        words.append("--overwrite")
    if force:
        words.append("--force")
    if extname is not None:
        words += ["--extname", _word(extname, "extname")]
    if masks is not None:
        if isinstance(masks, (str, bytes, os.PathLike)):
            words += ["--mask", _path(masks, "masks")]
        else:
            raise ValueError("masks of exposures given as files: one mask file for all of them")
    files = [_path(n, "exposure %d" % k) for k, n in enumerate(names)]
    status, table, messages = _tolv.make_fringe_file(words + ["--"] + files)
    if status != 0:
        raise _failed(os.fsdecode(messages).rstrip("\n"), files)
    inputs, extensions = [], []
    for line in os.fsdecode(table).splitlines():
        fields = line.split("\t")
        if len(fields) == 5 and fields[0].isdigit():
            inputs.append(MadeInput(int(fields[0]), int(fields[1]), float(fields[2]), float(fields[3]),
                                    float(fields[4])))
        elif len(fields) == 3 and fields[0].isdigit():
            extensions.append(MadeExtension(int(fields[0]), int(fields[1]), int(fields[2])))
    return output, inputs, extensions


def _hdu_name(w, k):
    """What FRGFILnn names a fringe frame given in memory: its header's FILENAME
    or EXTNAME where it has one."""
    header = w.header() if w.kind in ("hdu", "ccddata") else None
    for key in ("FILENAME", "EXTNAME"):
        if header is not None and isinstance(header.get(key), str) and header.get(key):
            return header.get(key)
    return "fringe frame %d in memory" % (k + 1)




def _failed(message, names, write_first=False):
    """The error a failed run or read raises: FileNotFound or NoPermission when
    one of its inputs (names, the first written when write_first) is not there
    or cannot be read, as Python's own errors are; else Error.  The file part of
    a name with a unit selector is the one looked at."""
    for k, encoded in enumerate(names):
        name = encoded
        if not os.path.lexists(name) and b"[" in name:
            name = name[:name.index(b"[")]
        if not os.path.lexists(name):
            return FileNotFound(message, os.fsdecode(encoded))
        if not os.access(name, os.R_OK | (os.W_OK if write_first and k == 0 else 0)):
            return NoPermission(message, os.fsdecode(encoded))
    return Error(message)


def correct(path: PathName, fringe_paths: Union[PathName, Sequence[PathName]], output: Optional[PathName] = None,
            extname: Optional[str] = None, mask: Optional[PathName] = None,
            iterations: int = _tolv.default_iterations, clip: float = _tolv.default_clip, force: bool = False,
            record: bool = True, dry_run: bool = False, per_exposure: bool = False) -> List["Row"]:
    """The command's whole job on files, in this process: corrects every image
    extension of the mosaic at path (in place, or into a new file output) with
    the fringe frames of fringe_paths, with the command's checks, journal and
    record.  Returns the table's rows (Row); its notes go to the logger "tolv".

    File names are str, bytes or os.PathLike; those of the inputs (path,
    fringe_paths, mask) may select units ("mosaic.fits[SCI]", which corrects
    only that extension), output is a plain path, passed on as it is.
    dry_run=True fits and returns the rows, writing nothing.
    per_exposure=True fits one amplitude per fringe frame over every extension
    at once (the command's --per-exposure).
    Raises Error with the command's message when the run fails (locked when
    another tolv was correcting the file): FileNotFound
    (a FileNotFoundError too) or NoPermission (a PermissionError too) when an
    input is not there or cannot be read (the science file written, in
    place); ValueError for a name holding a NUL byte or settings out of range,
    named as the arguments are.
    """
    return _correct(path, fringe_paths, output, extname, mask, iterations, clip, force, record, dry_run,
                    per_exposure)[0]


def _correct(path, fringe_paths, output=None, extname=None, mask=None, iterations=_tolv.default_iterations,
             clip=_tolv.default_clip, force=False, record=True, dry_run=False, per_exposure=False):
    """correct(), returning its rows and the table's text as the command prints it."""
    if isinstance(fringe_paths, (str, bytes, os.PathLike)):
        fringe_paths = [fringe_paths]
    if dry_run and output is not None:
        raise ValueError("dry_run writes nothing, so it does not go with output")
    words = ["tolv"] + _settings(iterations, clip)
    if dry_run:
        words.append("--dry-run")
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
    if per_exposure:
        words.append("--per-exposure")
    files = [_path(path, "the science file")] + [_path(f, "fringe file %d" % k) for k, f in enumerate(fringe_paths)]
    if len(files) < 2:
        raise ValueError("at least one fringe file is needed")
    status, table, messages, locked, rows = _tolv.correct(words + ["--"] + files)
    # The messages name the files as given, in the file system's encoding.
    messages = os.fsdecode(messages)
    if status != 0:
        if locked:
            raise Error(messages.rstrip("\n"), status, locked)
        inputs = files + ([_path(mask, "mask")] if mask is not None else [])
        raise _failed(messages.rstrip("\n"), inputs, write_first=output is None and not dry_run)
    for line in messages.splitlines():
        log.info("%s", line)
    return _from_numbers(rows), os.fsdecode(table)


def read_header(name: PathName) -> List[str]:
    """The cards (80-character strings, END last) of the header a file name
    selects, in the library's extended syntax: "file.fits[2]", "file.fits[SCI,1]";
    str, bytes or os.PathLike.  Of a tile-compressed image (a .fz file's units),
    the header of the image it holds, as astropy shows it."""
    encoded = _path(name, "the file name")
    try:
        return _tolv.read_header(encoded)
    except RuntimeError as e:
        raise _failed("%s: %s" % (os.fsdecode(encoded), e), [encoded]) from None


def read_image(name: PathName) -> np.ndarray:
    """The image a file name selects as float64, BSCALE and BZERO applied, shaped
    (NAXISn, ..., NAXIS1) as numpy orders a FITS image.  The name as for
    read_header."""
    encoded = _path(name, "the file name")
    try:
        data, axes = _tolv.read_image(encoded)
    except RuntimeError as e:
        raise _failed("%s: %s" % (os.fsdecode(encoded), e), [encoded]) from None
    return np.frombuffer(data, dtype=np.float64).reshape(tuple(reversed(axes))).copy()
