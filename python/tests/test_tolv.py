"""The Python module against the command on the same pixels, and its refusals."""
import logging
import os
import shutil
import threading
import time

import numpy as np
import pytest
from astropy.io import fits

import tolv
from conftest import extension_bytes, run_tolv, scene, write_mosaic

NAN, INF = np.float32("nan"), np.float32("inf")


def command_on_one_image(tmp_path, binary, science, frames, mask=None, settings=()):
    """The command's corrected pixels (big-endian bytes) and rows for one image."""
    sci = write_mosaic(tmp_path / "science.fits", [science])
    names = [write_mosaic(tmp_path / ("fringe%d.fits" % k), [f]) for k, f in enumerate(frames)]
    args = list(settings) + ["--no-record", "-o", tmp_path / "out.fits"]
    if mask is not None:
        mpath = tmp_path / "mask.fits"
        fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(mask.astype(np.uint8))]).writeto(mpath)
        args += ["--mask", mpath]
    status, table, err = run_tolv(binary, *args, sci, *names)
    assert status == 0, err
    return extension_bytes(tmp_path / "out.fits", 1), tolv._rows(table)


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
    for name, (s, fs, m) in layouts.items():
        before = s.copy()
        image, got = tolv.remove_fringes(s, fs, mask=m, **kwargs)
        assert image.dtype == np.float32 and image.shape == shape, name
        assert image.astype(">f4").tobytes() == expected, name
        assert got == rows, name
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
        (lambda: tolv.remove_fringes(s.astype(np.int16), [f]), "float32 or float64"),
        (lambda: tolv.remove_fringes(s, [f], mask=np.zeros((3, 3))), "the mask is 3 x 3"),
        (lambda: tolv.remove_fringes(s, [flat]), "the fit cannot be solved"),
        (lambda: tolv.remove_fringes(s, [f], iterations=0), "--iterations takes a whole number from 1 to 100"),
        (lambda: tolv.remove_fringes(s, [f], iterations=2.5), "iterations must be a whole number"),
        (lambda: tolv.remove_fringes(s, [f], clip=-1), "--clip takes a positive number"),
        (lambda: tolv.remove_fringes(s, [f], clip=float("nan")), "--clip takes a positive number"),
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
    assert rows == tolv._rows(table) and len(rows) == 15
    assert open(b, "rb").read() == open(a, "rb").read() != original
    assert fits.getheader(b, 2)["FRGCORR"]
    # Into a new file, with settings: the science file is left as it was.
    status, table, err = run_tolv(tolv_binary, "--iterations", "2", "--clip", "3", "-o", tmp_path / "out-a.fits", c,
                                  *fringes)
    assert status == 0, err
    rows = tolv.correct(c, fringes, output=tmp_path / "out-c.fits", iterations=2, clip=3.0)
    assert rows == tolv._rows(table) and len(rows) == 6
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
        assert isinstance(e.value, RuntimeError) and e.value.status == status == 1
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
