"""The Python module against the command on the same pixels, and its refusals."""
import fcntl
import logging
import os
import pathlib
import shutil
import signal
import subprocess
import threading
import time

import numpy as np
import pytest
from astropy.io import fits

import tolv
from conftest import extension_bytes, printed, run_tolv, scene, table_rows, write_mosaic

NAN, INF = np.float32("nan"), np.float32("inf")


def command_on_one_image(tmp_path, binary, science, frames, mask=None, settings=()):
    """The command's corrected pixels (big-endian bytes) and table rows (lines) for one image."""
    sci = write_mosaic(tmp_path / "science.fits", [science])
    names = [write_mosaic(tmp_path / ("fringe%d.fits" % k), [f]) for k, f in enumerate(frames)]
    args = list(settings) + ["--no-record", "-o", tmp_path / "out.fits"]
    if mask is not None:
        mpath = tmp_path / "mask.fits"
        fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(mask.astype(np.uint8))]).writeto(mpath)
        args += ["--mask", mpath]
    status, table, err = run_tolv(binary, *args, sci, *names)
    assert status == 0, err
    return extension_bytes(tmp_path / "out.fits", 1), table_rows(table)


# (shape, fringe frames, seed, non-finite pixels, masked pixels, settings)
CASES = [
    ((23, 37), 2, 1, 0, 0, ()),
    ((64, 48), 1, 2, 5, 0, ()),
    ((40, 40), 3, 3, 9, 30, ("--iterations", "3", "--clip", "2.5")),
    # More pixels than the command stores at once (65536): every piece's edge.
    ((300, 257), 2, 4, 7, 100, ()),
]


@pytest.mark.parametrize("shape,nfringe,seed,nonfinite,masked,settings", CASES)
def test_remove_fringes_equals_the_command_bit_for_bit(tmp_path, tolv_binary, shape, nfringe, seed, nonfinite,
                                                       masked, settings):
    (science,), frames = scene(shape, nfringe, seed)
    frames = [f[0] for f in frames]
    rng = np.random.default_rng(seed)
    flat = science.reshape(-1)
    for i in range(nonfinite):
        flat[rng.integers(0, flat.size)] = (NAN, INF, -INF)[i % 3]
    if nonfinite:
        frames[0].reshape(-1)[rng.integers(0, flat.size)] = NAN
    mask = None
    if masked:
        mask = np.zeros(shape, dtype=np.int32)
        mask.reshape(-1)[rng.integers(0, flat.size, masked)] = rng.integers(1, 9, masked)
    expected, rows = command_on_one_image(tmp_path, tolv_binary, science, frames, mask, settings)
    kwargs = {}
    if settings:
        kwargs = dict(iterations=int(settings[1]), clip=float(settings[3]))

    # C order, Fortran order, strided views and float64 copies of the same values.
    layouts = {
        "contiguous": (science, frames, mask),
        "fortran": (np.asfortranarray(science), [np.asfortranarray(f) for f in frames],
                    None if mask is None else np.asfortranarray(mask)),
        "strided": (np.repeat(science, 2, axis=1)[:, ::2], [np.repeat(f, 2, axis=0)[::2] for f in frames], mask),
        "float64": (science.astype(np.float64), [f.astype(np.float64) for f in frames], mask),
    }
    first = None
    for name, (s, fs, m) in layouts.items():
        before = s.copy()
        image, got = tolv.remove_fringes(s, fs, mask=m, **kwargs)
        assert image.dtype == np.float32 and image.shape == shape, name
        assert image.astype(">f4").tobytes() == expected, name
        assert printed(got) == rows, name
        first = first or got
        assert got == first, name  # the same numbers, not only the same text
        np.testing.assert_array_equal(s, before)  # the caller's array is left alone
    # Non-finite science pixels keep their values, bit for bit.
    image, _ = tolv.remove_fringes(science, frames, mask=mask, **kwargs)
    bad = ~np.isfinite(science)
    assert image[bad].tobytes() == science[bad].tobytes()
    assert len(rows) == (int(settings[1]) if settings else 5)


def test_every_refusal_is_a_value_error_with_its_reason():
    (s,), ((f,),) = scene((20, 30), 1, 5)
    flat = np.zeros_like(f)
    cases = [
        (lambda: tolv.remove_fringes(s, [f[:, :29]]), "fringe frame 0 is 20 x 29"),
        (lambda: tolv.remove_fringes(s[:0], [f[:0]]), "empty"),
        (lambda: tolv.remove_fringes(s[None], [f]), "2-D array, not 3-D"),
        (lambda: tolv.remove_fringes(s, []), "at least one fringe frame"),
        (lambda: tolv.remove_fringes(s, f), "sequence of 2-D arrays"),
        (lambda: tolv.remove_fringes(s.astype(np.float16), [f]), "float32, float64 or integer"),
        (lambda: tolv.remove_fringes(s, [f], mask=np.zeros((3, 3))), "the mask is 3 x 3"),
        (lambda: tolv.remove_fringes(s, [flat]), "the fit cannot be solved"),
        (lambda: tolv.remove_fringes(s, [f], iterations=0), "iterations must be a whole number from 1 to 100"),
        (lambda: tolv.remove_fringes(s, [f], iterations=2.5), "iterations must be a whole number"),
        (lambda: tolv.remove_fringes(s, [f], clip=-1), "clip must be a positive number"),
        (lambda: tolv.remove_fringes(s, [f], clip=float("nan")), "clip must be a positive number"),
        (lambda: tolv.remove_fringes(s, [f], clip="wide"), "clip must be a positive number"),
    ]
    for call, reason in cases:
        with pytest.raises(ValueError) as e:
            call()
        assert reason in str(e.value)


def test_fits_run_at_once_in_threads():
    (s,), ((f,),) = scene((1536, 1536), 1, 6)
    expected, _ = tolv.remove_fringes(s, [f], iterations=25)
    results, span = [], []
    ny, nx = s.shape
    words = ["tolv", "--iterations", "25", "science", "fringe"]  # a long fit
    sci, frame = s.astype(">f4").tobytes(), f.astype(">f4").tobytes()

    def fit():
        # The compiled part alone, without the arrays' conversions around it.
        t0 = time.perf_counter()
        corrected, _ = tolv._tolv.remove_fringes(nx, ny, sci, [frame], None, words)
        span.append(time.perf_counter() - t0)
        results.append(np.frombuffer(corrected, dtype=">f4").astype(np.float32).reshape(ny, nx))

    def spin(thread, seconds=None):
        """Turns of a loop of Python while the thread lives (or for seconds)."""
        n, end = 0, time.perf_counter() + (seconds or 1e9)
        while thread.is_alive() and time.perf_counter() < end:
            n += 1
        return n

    waiting = threading.Event()
    idle = threading.Thread(target=waiting.wait)
    idle.start()
    rate = spin(idle, 0.1) / 0.1
    waiting.set()
    idle.join()
    # While a fit runs in another thread, this one keeps running Python only if
    # the fit has released the interpreter's lock (it holds the lock for at most a
    # switch interval, 5 ms, otherwise).
    worker = threading.Thread(target=fit)
    worker.start()
    spins = spin(worker)
    worker.join()
    assert span[0] > 0.05, "the fit is too short to tell"
    assert spins > 0.2 * rate * span[0], (spins, rate, span[0])
    threads = [threading.Thread(target=fit) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and all(r.tobytes() == expected.tobytes() for r in results)


def copies(tmp_path, science_images, frame_images, names=("a.fits", "b.fits")):
    fringes = [write_mosaic(tmp_path / ("fringe%d.fits" % k), f) for k, f in enumerate(frame_images)]
    first = write_mosaic(tmp_path / names[0], science_images)
    paths = [first] + [shutil.copy(first, tmp_path / n) for n in names[1:]]
    return paths, fringes


def test_correct_does_what_the_command_does(tmp_path, tolv_binary, caplog):
    science, frames = scene((50, 70), 2, 7, extensions=3)
    (a, b, c), fringes = copies(tmp_path, science, frames, ("a.fits", "b.fits", "c.fits"))
    original = open(a, "rb").read()
    # In place: the same bytes, record included, and the same rows.
    status, table, err = run_tolv(tolv_binary, a, *fringes)
    assert status == 0, err
    rows = tolv.correct(b, fringes)
    assert printed(rows) == table_rows(table) and len(rows) == 15
    # The numbers the fit computed, which the table's six decimals round.
    assert any(r.aconst != float("%f" % r.aconst) for r in rows)
    assert open(b, "rb").read() == open(a, "rb").read() != original
    assert fits.getheader(b, 2)["FRGCORR"]
    # Into a new file, with settings: the science file is left as it was.
    status, table, err = run_tolv(tolv_binary, "--iterations", "2", "--clip", "3", "-o", tmp_path / "out-a.fits", c,
                                  *fringes)
    assert status == 0, err
    rows = tolv.correct(c, fringes, output=tmp_path / "out-c.fits", iterations=2, clip=3.0)
    assert printed(rows) == table_rows(table) and len(rows) == 6
    assert open(tmp_path / "out-c.fits", "rb").read() == open(tmp_path / "out-a.fits", "rb").read()
    assert open(c, "rb").read() == original
    # A rerun skips what is done and says so; --force and no record correct again.
    with caplog.at_level(logging.INFO, logger="tolv"):
        assert tolv.correct(b, fringes) == []
    assert "every extension is already corrected" in caplog.text
    rows = tolv.correct(b, fringes, force=True, record=False)
    assert len(rows) == 15


def test_correct_raises_the_commands_message_and_writes_nothing(tmp_path, tolv_binary):
    science, frames = scene((30, 40), 1, 8, extensions=3)
    (a, b), fringes = copies(tmp_path, science, frames)
    original = open(a, "rb").read()
    other = write_mosaic(tmp_path / "other.fits", [f[:, :39] for f in frames[0]])
    cases = [
        (lambda science: [tmp_path / "missing.fits"], "Couldn't open file " + str(tmp_path / "missing.fits")),
        (lambda science: [other], "other.fits"),
        (lambda science: [science], "the same file as the science file"),
    ]
    for fringe_paths, reason in cases:
        status, _, err = run_tolv(tolv_binary, b, *fringe_paths(b))
        with pytest.raises(tolv.Error) as e:
            tolv.correct(a, fringe_paths(a))
        assert isinstance(e.value, RuntimeError) and e.value.status == status == 1 and not e.value.locked
        assert reason in str(e.value)
        assert str(e.value) == err.rstrip("\n").replace(str(b), str(a))
        assert open(a, "rb").read() == original
    # A fringe frame of zeros in extension 2: the command's report, the file as
    # the command leaves it (the check before the first write finds it), and the
    # process alive.
    zero = [frames[0][0], np.zeros_like(frames[0][1]), frames[0][2]]
    fringe = write_mosaic(tmp_path / "zero.fits", zero)
    status, _, err = run_tolv(tolv_binary, b, fringe)
    with pytest.raises(tolv.Error) as e:
        tolv.correct(a, [fringe])
    assert status == 1 and "Singular matrix in routine LUDCMP" in str(e.value)
    assert str(e.value) == err.rstrip("\n").replace(str(b), str(a))
    assert open(a, "rb").read() == open(b, "rb").read() == original
    with pytest.raises(ValueError):
        tolv.correct(a, [])


def test_readers_agree_with_astropy(tmp_path):
    rng = np.random.default_rng(9)
    raw = rng.integers(-32768, 32767, (17, 29), dtype=np.int16)
    hdu = fits.ImageHDU(raw, name="SCI")
    hdu.header["EXTVER"], hdu.header["BSCALE"], hdu.header["BZERO"] = 1, 0.25, 1000.0
    plain = fits.ImageHDU(rng.normal(0, 1, (5, 4, 3)).astype(np.float64))
    path = tmp_path / "mixed.fits"
    fits.HDUList([fits.PrimaryHDU(), hdu, plain]).writeto(path)
    with fits.open(path) as f:
        scaled, cube = f[1].data.astype(np.float64), f[2].data.copy()
    for name in (str(path) + "[1]", str(path) + "[SCI,1]", str(path) + "[SCI]"):
        image = tolv.read_image(name)
        assert image.dtype == np.float64 and image.shape == (17, 29)
        np.testing.assert_array_equal(image, raw * 0.25 + 1000.0)
        np.testing.assert_array_equal(image, scaled)
    np.testing.assert_array_equal(tolv.read_image(str(path) + "[2]"), cube)
    # The cards as the file holds them: unit 1 begins after the primary's block.
    raw = open(path, "rb").read()[:2 * 2880].decode("ascii")
    stored = [raw[2880 + 80 * i:2880 + 80 * (i + 1)] for i in range(36)]
    stored = stored[:[c.rstrip() for c in stored].index("END") + 1]
    cards = tolv.read_header(str(path) + "[1]")
    assert cards == stored and any(c.startswith("BSCALE") for c in cards)
    for bad in (tmp_path / "nothing.fits", str(path) + "[7]"):
        with pytest.raises(tolv.Error):
            tolv.read_image(bad)
        with pytest.raises(tolv.Error):
            tolv.read_header(bad)
    # A tile-compressed unit reads as the image it holds, header and pixels, as
    # astropy shows it (integers losslessly, floats as astropy quantized them).
    hdu.header["CRVAL1"] = 150.25
    ints = rng.integers(-32768, 32767, (17, 29), dtype=np.int16)
    floats = rng.normal(100, 5, (17, 29)).astype(np.float32)
    packed = tmp_path / "packed.fits.fz"
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(ints, header=hdu.header, compression_type="RICE_1"),
                  fits.CompImageHDU(floats, compression_type="GZIP_2", quantize_level=16)]).writeto(packed)
    with fits.open(packed, disable_image_compression=False) as f:
        # The headers as stored, before astropy scales the data (and says BITPIX -32).
        headers = [f[u].header.copy() for u in (1, 2)]
        want = [(headers[u - 1], f[u].data.astype(np.float64)) for u in (1, 2)]
    for u, (header, data) in zip((1, 2), want):
        cards = tolv.read_header(str(packed) + "[%d]" % u)
        got = fits.Header.fromstring("".join(cards))
        assert got["XTENSION"] == "IMAGE" and cards[-1].rstrip() == "END"
        for key in ("BITPIX", "NAXIS", "NAXIS1", "NAXIS2"):
            assert got[key] == header[key], (u, key)
        np.testing.assert_array_equal(tolv.read_image(str(packed) + "[%d]" % u), data)
    assert got["BITPIX"] == -32 and "ZIMAGE" not in got and want[0][0]["BITPIX"] == 16
    assert fits.Header.fromstring("".join(tolv.read_header(str(packed) + "[SCI,1]")))["CRVAL1"] == 150.25


def test_file_names_are_str_bytes_or_paths_and_a_nul_byte_is_refused(tmp_path, tolv_binary):
    from tolv import batch

    science, frames = scene((30, 40), 1, 11, extensions=2)
    sci = write_mosaic(tmp_path / "s.fits", science)
    f1 = write_mosaic(tmp_path / "f1.fits", frames[0])
    mask = tmp_path / "m.fits"
    fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(np.zeros((30, 40), np.uint8)) for _ in range(2)]).writeto(mask)
    out = str(tmp_path / "o.fits")
    original = {p: open(p, "rb").read() for p in (sci, f1, mask)}
    # A C string ends at the NUL: "s.fits\0x" would open s.fits, and correct it.
    refused = [
        lambda: tolv.correct(sci + "\0x", [f1]),
        lambda: tolv.correct(os.fsencode(sci) + b"\0x", [f1]),
        lambda: tolv.correct(pathlib.Path(sci + "\0x"), [f1]),
        lambda: tolv.correct(sci, [f1 + "\0x"]),
        lambda: tolv.correct(sci, f1 + "\0x"),
        lambda: tolv.correct(sci, [f1], output=out + "\0x"),
        lambda: tolv.correct(sci, [f1], output=os.fsencode(out) + b"\0"),
        lambda: tolv.correct(sci, [f1], mask=str(mask) + "\0x"),
        lambda: tolv.correct(sci, [f1], extname="SCI\0x"),
        lambda: tolv.read_image(sci + "\0[1]"),
        lambda: tolv.read_image(os.fsencode(sci) + b"\0"),
        lambda: tolv.read_header(pathlib.Path(sci + "\0[1]")),
        lambda: batch.correct_many([(sci + "\0x", [f1])]),
        lambda: batch.correct_many([(sci, [f1 + "\0x"])]),
        lambda: batch.correct_many([(sci, f1, {"output": out + "\0x"})]),
        lambda: batch.correct_many([(sci, f1, {"mask": os.fsencode(str(mask)) + b"\0"})]),
        # The compiled part refuses them too.
        lambda: tolv._tolv.read_image(os.fsencode(sci) + b"\0"),
        lambda: tolv._tolv.read_header(sci + "\0"),
        lambda: tolv._tolv.correct(["tolv", "--", sci + "\0x", f1]),
    ]
    for k, call in enumerate(refused):
        with pytest.raises(ValueError, match="NUL byte"):
            call()
        assert {p: open(p, "rb").read() for p in original} == original, k
        assert not os.path.exists(out), k
    with pytest.raises(TypeError):
        tolv.read_image(3)

    # str, bytes and pathlib.Path name the same files, selectors included.
    image, cards = tolv.read_image(sci + "[2]"), tolv.read_header(sci + "[2]")
    np.testing.assert_array_equal(image, science[1])
    for name in (pathlib.Path(sci + "[2]"), os.fsencode(sci + "[2]")):
        assert tolv.read_image(name).tobytes() == image.tobytes()
        assert tolv.read_header(name) == cards
    a, b, c = (shutil.copy(sci, tmp_path / n) for n in ("a.fits", "b.fits", "c.fits"))
    status, table, err = run_tolv(tolv_binary, "--mask", mask, a, f1)
    assert status == 0, err
    assert printed(tolv.correct(pathlib.Path(b), [pathlib.Path(f1)], mask=mask)) == table_rows(table)
    assert printed(tolv.correct(os.fsencode(c), os.fsencode(f1), mask=os.fsencode(str(mask)))) == table_rows(table)
    assert open(b, "rb").read() == open(c, "rb").read() == open(a, "rb").read() != original[sci]
    # A name that is not UTF-8, as bytes: opened as it is, and named in the
    # messages as os.fsdecode names it.
    odd = os.path.join(os.fsencode(str(tmp_path)), b"odd\xff.fits")
    with open(odd, "wb") as f:
        f.write(original[sci])
    assert printed(tolv.correct(odd, [f1], mask=mask)) == table_rows(table)
    assert open(odd, "rb").read() == open(a, "rb").read()
    missing = os.path.join(os.fsencode(str(tmp_path)), b"missing\xff.fits")
    with pytest.raises(tolv.Error) as e:
        tolv.correct(missing, [f1])
    assert "Couldn't open file " + os.fsdecode(missing) in str(e.value)
    with pytest.raises(tolv.Error) as e:
        tolv.read_image(missing + b"[1]")
    assert str(e.value) == os.fsdecode(missing) + "[1]: no image the library can read"
    with pytest.raises(tolv.Error) as e:
        tolv.read_header(pathlib.Path(sci + "[7]"))
    assert str(e.value) == sci + "[7]: not a FITS file the library can read, or no such unit"


def test_output_is_a_plain_path_passed_on_as_it_is(tmp_path, tolv_binary):
    science, frames = scene((30, 40), 1, 12, extensions=2)
    sci = write_mosaic(tmp_path / "s.fits", science)
    f1 = write_mosaic(tmp_path / "f1.fits", frames[0])
    original = {p: open(p, "rb").read() for p in (sci, f1)}
    status, table, err = run_tolv(tolv_binary, "-o", tmp_path / "plain.fits", sci, f1)
    assert status == 0, err
    corrected = open(tmp_path / "plain.fits", "rb").read()
    # Names that would select a unit of an input, were they parsed: f1.fits[v2]
    # is a file of its own, and f1.fits, the fringe frame, stays as it was.
    for output in (tmp_path / "f1.fits[v2]", str(tmp_path / "s.fits[1]"), os.fsencode(str(tmp_path / "n.fits[SCI,2]"))):
        assert printed(tolv.correct(sci, [f1], output=output)) == table_rows(table)
        assert open(output, "rb").read() == corrected, output
        assert {p: open(p, "rb").read() for p in original} == original, output
    assert sorted(os.listdir(tmp_path)) == ["f1.fits", "f1.fits[v2]", "n.fits[SCI,2]", "plain.fits", "s.fits",
                                            "s.fits[1]"]


def test_remove_fringes_takes_astropys_arrays_as_they_come(tmp_path, tolv_binary):
    shape = (300, 257)  # more pixels than the command stores at once
    (science,), frames = scene(shape, 2, 13)
    frames = [f[0] for f in frames]
    rng = np.random.default_rng(13)
    flat = science.reshape(-1)
    flat[rng.integers(0, flat.size, 6)] = [NAN, INF, -INF, NAN, NAN, INF]
    mask = np.zeros(shape, dtype=np.int32)
    mask.reshape(-1)[rng.integers(0, flat.size, 80)] = rng.integers(1, 256, 80)
    expected, rows = command_on_one_image(tmp_path, tolv_binary, science, frames, mask)
    native, native_rows = tolv.remove_fringes(science, frames, mask=mask)
    assert native.astype(">f4").tobytes() == expected and printed(native_rows) == rows
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(mask.astype(">i2"))]).writeto(tmp_path / "mask16.fits")
    # The files the command read, as astropy reads them: big-endian, as stored.
    with fits.open(tmp_path / "science.fits") as s, fits.open(tmp_path / "fringe0.fits") as f0, \
            fits.open(tmp_path / "fringe1.fits") as f1, fits.open(tmp_path / "mask16.fits") as m:
        sci, frs, msk = s[1].data, [f0[1].data, f1[1].data], m[1].data
        assert sci.dtype == frs[0].dtype == np.dtype(">f4") and msk.dtype == np.dtype(">i2")
        cases = {
            "astropy": (sci, frs, msk),
            "strided": (np.repeat(sci, 2, axis=1)[:, ::2], [np.repeat(f, 2, axis=0)[::2] for f in frs],
                        np.repeat(msk, 2, axis=1)[:, ::2]),
            "fortran": (np.asfortranarray(sci), [np.asfortranarray(f) for f in frs], np.asfortranarray(msk)),
            ">f8": (sci.astype(">f8"), [f.astype(">f8") for f in frs], msk.astype(">i8")),
            "bool mask": (sci, frs, msk != 0),
            ">u4 mask": (sci, frs, msk.astype(">u4")),
        }
        for name, (s_, fs, m_) in cases.items():
            assert s_.dtype.byteorder == ">" and fs[0].dtype.byteorder == ">", name
            image, got = tolv.remove_fringes(s_, fs, mask=m_)
            assert image.dtype == np.float32 and image.dtype.isnative, name
            assert image.tobytes() == native.tobytes(), name
            assert got == native_rows, name

    # BITPIX -64 through astropy (>f8): values that are not float32 values are
    # rounded as those of the native array are.
    sci64 = science.astype(np.float64) + rng.uniform(-1e-3, 1e-3, shape)
    frs64 = [f.astype(np.float64) + rng.uniform(-1e-6, 1e-6, shape) for f in frames]
    paths = [tmp_path / "science64.fits", tmp_path / "fringe64a.fits", tmp_path / "fringe64b.fits"]
    for path, a in zip(paths, [sci64] + frs64):
        fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(a.astype(">f8"))]).writeto(path)
    native64, rows64 = tolv.remove_fringes(sci64, frs64, mask=mask)
    assert native64.tobytes() != native.tobytes()
    hduls = [fits.open(p) for p in paths]
    try:
        assert hduls[0][1].data.dtype == np.dtype(">f8")
        image, got = tolv.remove_fringes(hduls[0][1].data, [h[1].data for h in hduls[1:]], mask=mask)
    finally:
        for h in hduls:
            h.close()
    assert image.tobytes() == native64.tobytes() and got == rows64
    for dtype in (">f2", "<f2", np.longdouble):
        with pytest.raises(ValueError, match="float32, float64 or integer"):
            tolv.remove_fringes(science.astype(dtype), frames)


def test_readers_in_threads_at_once_give_what_they_give_alone(tmp_path):
    rng = np.random.default_rng(14)
    names = []
    for k in range(4):
        hdus = [fits.PrimaryHDU()]
        for e in range(3):
            hdu = fits.ImageHDU(rng.integers(-3000, 3000, (5 + 3 * k + e, 7 + 2 * k + 4 * e)).astype(np.int16),
                                name="SCI")
            hdu.header["EXTVER"], hdu.header["BSCALE"], hdu.header["BZERO"] = e + 1, 0.5 * (k + 1), 10.0 * e + k
            for n in range(10 * k + 5 * e):
                hdu.header["KEY%d" % n] = n
            hdus.append(hdu)
        path = str(tmp_path / ("m%d.fits" % k))
        fits.HDUList(hdus).writeto(path)
        names += [path + "[1]", path + "[SCI,2]", path + "[3]"]
    alone = [(tolv.read_image(n), tolv.read_header(n)) for n in names]
    assert len({a[0].shape for a in alone}) == len(names)
    wrong, done = [], []

    def reader(t):
        for r in range(400):
            for i in range(len(names)):
                k = (i + 5 * t + r) % len(names)
                try:
                    image, cards = tolv.read_image(names[k]), tolv.read_header(names[k])
                except Exception as e:  # a header read wrong gives any error
                    wrong.append((names[k], repr(e)))
                    continue
                if image.shape != alone[k][0].shape or image.tobytes() != alone[k][0].tobytes() or cards != alone[k][1]:
                    wrong.append((names[k], "another reading"))
                done.append(k)

    threads = [threading.Thread(target=reader, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == [] and len(done) == 4 * 400 * len(names)


def test_a_file_another_run_holds_is_refused_as_locked(tmp_path, tolv_binary):
    science, frames = scene((30, 40), 1, 15, extensions=2)
    sci = write_mosaic(tmp_path / "s.fits", science)
    f1 = write_mosaic(tmp_path / "f1.fits", frames[0])
    original = open(sci, "rb").read()
    # A run in place needs the file alone; one into a new file shares it with
    # other readers.
    for mode, refused in ((fcntl.LOCK_SH, [{}]), (fcntl.LOCK_EX, [{}, {"output": tmp_path / "other.fits"}])):
        fd = os.open(sci, os.O_RDONLY)
        try:
            fcntl.flock(fd, mode)
            status, _, err = run_tolv(tolv_binary, sci, f1)
            for options in refused:
                with pytest.raises(tolv.Error) as e:
                    tolv.correct(sci, [f1], **options)
                assert e.value.locked and e.value.status == status == 1, options
                assert str(e.value) == err.rstrip("\n"), options
            if mode == fcntl.LOCK_SH:
                assert len(tolv.correct(sci, [f1], output=tmp_path / "out.fits")) == 10
        finally:
            os.close(fd)
        assert open(sci, "rb").read() == original
    assert not os.path.exists(tmp_path / "other.fits")
    assert len(tolv.correct(sci, [f1])) == 10


def test_journal_path_is_where_an_interrupted_run_leaves_its_journal(tmp_path, tolv_binary):
    from tolv import batch

    science, frames = scene((30, 40), 1, 16, extensions=3)
    (tmp_path / "real").mkdir()
    sci = write_mosaic(tmp_path / "real" / "s.fits", science)
    f1 = write_mosaic(tmp_path / "f1.fits", frames[0])
    os.symlink(tmp_path / "real", tmp_path / "link")
    # Through a linked folder: the journal lies beside the file's real path.
    name = os.path.join(str(tmp_path), "link", ".", "s.fits")
    inject = os.path.join(os.path.dirname(tolv_binary), "tolv_inject")
    killed = subprocess.run([inject, name, f1], env=dict(os.environ, TOLV_INJECT="half:2:kill"), capture_output=True)
    assert killed.returncode == -signal.SIGKILL
    journal = tolv._tolv.journal_path(name)
    assert isinstance(journal, bytes) and tolv._tolv.journal_path(os.fsencode(name)) == journal
    assert os.fsdecode(journal) == os.path.realpath(sci) + ".tolv-journal" == batch._journal(name)
    assert os.path.isfile(journal)
    with pytest.raises(ValueError, match="NUL byte"):
        tolv._tolv.journal_path(name + "\0x")
    assert len(tolv.correct(name, [f1])) == 15  # the run finished
    assert not os.path.exists(journal)


def test_astropy_kinds_round_trip_with_their_masks(tmp_path, tolv_binary):
    from astropy.nddata import CCDData
    science, frames = scene((48, 40), 2, seed=31)
    s, fs = science[0], [f[0] for f in frames]
    left_out = np.zeros(s.shape, dtype=bool)
    left_out[10:20, 5:30] = True
    plain, rows = tolv.remove_fringes(s, fs, mask=left_out)
    assert rows[-1].npix < s.size - left_out.sum()
    # A masked array (big-endian, as astropy reads it): its mask leaves pixels out.
    out, got = tolv.remove_fringes(np.ma.MaskedArray(s.astype(">f4"), mask=left_out), fs)
    assert isinstance(out, np.ma.MaskedArray) and got == rows
    assert np.array_equal(out.mask, left_out) and out.data.tobytes() == plain.tobytes()
    # A CCDData: the same, its unit and header kept, the record added.
    ccd = CCDData(s, unit="adu", mask=left_out, meta={"OBJECT": "M31"})
    out, got = tolv.remove_fringes(ccd, [CCDData(f, unit="adu") for f in fs])
    assert isinstance(out, CCDData) and got == rows and out.unit == ccd.unit
    assert np.array_equal(out.mask, left_out) and out.data.tobytes() == plain.tobytes()
    assert out.header["OBJECT"] == "M31" and out.header["FRGNPIX"] == rows[-1].npix
    # An ImageHDU: the record is the one the command writes for the same image.
    nomask, rows_all = tolv.remove_fringes(s, fs)
    hdu, got = tolv.remove_fringes(fits.ImageHDU(s.astype(">f4"), name="SCI"), [fits.ImageHDU(f) for f in fs])
    assert isinstance(hdu, fits.ImageHDU) and got == rows_all and hdu.data.tobytes() == nomask.tobytes()
    assert hdu.header["EXTNAME"] == "SCI"
    path = write_mosaic(tmp_path / "one.fits", [s])
    fringe_files = [write_mosaic(tmp_path / ("fr%d.fits" % k), [f]) for k, f in enumerate(fs)]
    status, _, err = run_tolv(tolv_binary, path, *fringe_files)
    assert status == 0, err
    with fits.open(path) as f:
        by_command = {k: v for k, v in f[1].header.items() if k.startswith("FRG") and not k.startswith("FRGFIL")}
    assert by_command and {k: hdu.header[k] for k in by_command} == by_command
    # Again, as the command would: the older record is replaced, not repeated.
    again, _ = tolv.remove_fringes(hdu, [fits.ImageHDU(f) for f in fs])
    assert list(again.header.keys()).count("FRGCORR") == 1
    # Integer pixels are taken as their values.
    counts = np.round(s).astype(np.int32)
    assert tolv.remove_fringes(counts.astype(">i2"), fs)[1] == tolv.remove_fringes(counts.astype(np.float32), fs)[1]


def test_correct_raises_pythons_own_errors_and_dry_runs(tmp_path):
    science, frames = scene((32, 24), 1, seed=5, extensions=2)
    path = write_mosaic(tmp_path / "sci.fits", science)
    fringe = write_mosaic(tmp_path / "fr.fits", frames[0])
    before = open(path, "rb").read()
    for missing, args in ((tmp_path / "gone.fits", lambda m: (m, [fringe])), (tmp_path / "no-fringe.fits",
                                                                             lambda m: (path, [m]))):
        with pytest.raises(FileNotFoundError) as e:
            tolv.correct(*args(missing))
        assert isinstance(e.value, tolv.Error) and e.value.filename == str(missing)
        assert e.value.errno == 2 and "Couldn't open file " + str(missing) in str(e.value)
    with pytest.raises(FileNotFoundError):
        tolv.read_image(str(tmp_path / "gone.fits") + "[1]")
    with pytest.raises(ValueError, match="dry_run writes nothing"):
        tolv.correct(path, [fringe], dry_run=True, output=tmp_path / "out.fits")
    dry = tolv.correct(path, [fringe], dry_run=True)
    assert open(path, "rb").read() == before
    assert tolv.correct(path, [fringe]) == dry and open(path, "rb").read() != before
