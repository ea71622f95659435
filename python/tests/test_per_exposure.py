"""The fit of a whole exposure (--per-exposure) against a reference of its own:
the joint clipped least-squares fit solved in numpy over one design matrix of
every extension at once (each extension's constant and gradients, the fringe
amplitudes shared), written from the model, not from the command's code."""
import shutil

import numpy as np
import pytest
from astropy.io import fits

import tolv
from conftest import run_tolv, scene, write_mosaic


def joint_reference(science, frames, masks, iterations=5, clip=2.0):
    """Per fit: each extension's (sigma, npix, coefficients so far), and the
    residuals after the last; extensions with no usable pixel are left out."""
    ne, nf = len(science), len(frames)
    ny, nx = science[0].shape
    y, x = np.mgrid[0:ny, 0:nx]
    gx, gy = (x - nx // 2).ravel().astype(np.float64), (y - ny // 2).ravel().astype(np.float64)
    data = [s.astype(np.float64).ravel() for s in science]
    fr = [[frames[k][e].astype(np.float64).ravel() for k in range(nf)] for e in range(ne)]
    usable = [np.isfinite(data[e]) & np.all([np.isfinite(f) for f in fr[e]], axis=0) & (masks[e].ravel() == 0)
              for e in range(ne)]
    fitted = [e for e in range(ne) if usable[e].any()]
    residual = [data[e].copy() for e in range(ne)]
    kept = [usable[e].copy() for e in range(ne)]
    acc = {e: np.zeros(3 + nf) for e in fitted}
    rows = {e: [] for e in fitted}
    for it in range(iterations):
        columns = 3 * len(fitted) + nf
        blocks, rhs = [], []
        for i, e in enumerate(fitted):
            m = kept[e]
            design = np.zeros((m.sum(), columns))
            design[:, 3 * i] = 1.0
            design[:, 3 * i + 1] = gx[m]
            design[:, 3 * i + 2] = gy[m]
            for k in range(nf):
                design[:, 3 * len(fitted) + k] = np.where(np.isfinite(fr[e][k][m]), fr[e][k][m], 0.0)
            blocks.append(design)
            rhs.append(residual[e][m])
        solution = np.linalg.lstsq(np.vstack(blocks), np.concatenate(rhs), rcond=None)[0]
        shared = solution[3 * len(fitted):]
        for i, e in enumerate(fitted):
            step = np.concatenate([solution[3 * i:3 * i + 3], shared])
            model = step[0] + step[1] * gx + step[2] * gy
            for k in range(nf):
                model = model + step[3 + k] * np.where(np.isfinite(fr[e][k]), fr[e][k], 0.0)
            new = residual[e] - model
            n = kept[e].sum()
            sigma = np.float32(np.sqrt(np.sum(new[kept[e]] ** 2) / n))
            acc[e] = acc[e] + step
            rows[e].append((sigma, int(n), acc[e].copy()))
            residual[e] = new
            limit = np.float64(np.float32(clip) * sigma)
            with np.errstate(invalid="ignore"):
                kept[e] = usable[e] & ~(np.abs(new) > limit)
    return rows, {e: residual[e].reshape(ny, nx) for e in fitted}


def exposure(tmp_path, extensions, nfringe, seed, nans=False, masked=False, dead=None):
    """A mosaic of `extensions` CCDs sharing the fringe amplitudes, its frames
    and mask, written to tmp_path; the arrays too."""
    science, frames = scene((40, 56), nfringe, seed, extensions)
    rng = np.random.default_rng(seed + 100)
    # One amplitude per frame over the exposure: the scene's differ per CCD.
    for e in range(extensions):
        for k in range(nfringe):
            science[e] = (science[e] + (3.0 - e) * frames[k][e]).astype(np.float32)
    masks = [np.zeros((40, 56), np.int16) for _ in range(extensions)]
    if nans:
        for e in range(extensions):
            science[e][rng.integers(0, 40, 6), rng.integers(0, 56, 6)] = np.nan
        frames[0][0][5, 7] = np.inf
    if masked:
        for e in range(extensions):
            masks[e][rng.random((40, 56)) < 0.1] = 1
            masks[e][10:20, 5:30] = 4
    if dead is not None:
        science[dead][:] = np.nan
    names = [write_mosaic(tmp_path / "science.fits", science)]
    names += [write_mosaic(tmp_path / ("fringe%d.fits" % k), frames[k]) for k in range(nfringe)]
    hdus = [fits.PrimaryHDU()] + [fits.ImageHDU(m) for m in masks]
    fits.HDUList(hdus).writeto(tmp_path / "mask.fits")
    return names, str(tmp_path / "mask.fits"), science, frames, masks


@pytest.mark.parametrize("extensions, nfringe, seed, nans, masked, dead", [
    (4, 1, 1, False, False, None),
    (4, 3, 2, True, True, None),
    (16, 1, 3, True, False, 5),
    (16, 3, 4, False, True, 11),
])
def test_the_exposure_fit_is_the_joint_least_squares_fit(tmp_path, extensions, nfringe, seed, nans, masked, dead):
    names, mask, science, frames, masks = exposure(tmp_path, extensions, nfringe, seed, nans, masked, dead)
    out = tmp_path / "out.fits"
    rows = tolv.correct(names[0], names[1:], output=str(out), mask=mask if masked else None, per_exposure=True)
    ref_rows, ref_residual = joint_reference(science, frames, masks if masked else [m * 0 for m in masks])
    got = {}
    for r in rows:
        got.setdefault(r.extn, []).append(r)
    assert sorted(got) == [e + 1 for e in ref_rows]
    for e, expected in ref_rows.items():
        for r, (sigma, npix, coefficients) in zip(got[e + 1], expected):
            assert r.npix == npix, (e, r.iter)
            assert r.sigma == pytest.approx(float(sigma), rel=1e-6), (e, r.iter)
            numbers = np.array([r.aconst, r.ax, r.ay] + list(r.afringe))
            assert numbers == pytest.approx(coefficients, rel=1e-9, abs=1e-9 * abs(coefficients[0])), (e, r.iter)
        # One amplitude per frame in every row of a fit.
        for r in got[e + 1]:
            assert r.afringe == got[min(got)][r.iter].afringe
    with fits.open(out) as hdul:
        for e, residual in ref_residual.items():
            written = hdul[e + 1].data.astype(np.float64)
            finite = np.isfinite(science[e])
            # Within a unit in the last place of float32 of the reference.
            ulp = np.spacing(np.abs(residual[finite]).astype(np.float32)).astype(np.float64)
            assert np.all(np.abs(written[finite] - residual[finite]) <= ulp), e
            assert np.array_equal(np.isnan(written), np.isnan(science[e]))
            assert hdul[e + 1].header["FRGMODE"] == "EXPOSURE"
            assert "over %d extensions" % len(ref_rows) in hdul[e + 1].header.comments["FRGMODE"]
        if dead is not None:
            assert np.array_equal(hdul[dead + 1].data, science[dead], equal_nan=True)
            assert "FRGMODE" not in hdul[dead + 1].header


def test_threads_change_nothing_and_a_mixed_file_is_refused(tmp_path, tolv_binary):
    names, mask, *_ = exposure(tmp_path, 7, 2, 5, nans=True)
    shutil.copyfile(names[1], names[1] + "x")
    outputs = []
    for jobs in ("1", "2", "7"):
        out = tmp_path / ("j%s.fits" % jobs)
        status, table, messages = run_tolv(tolv_binary, "-E", "-j", jobs, "-o", out, *names)
        assert status == 0, messages
        outputs.append((table, out.read_bytes()))
    assert outputs[1] == outputs[0] and outputs[2] == outputs[0]
    # The default mode fits each extension on its own: other amplitudes.
    status, table, _ = run_tolv(tolv_binary, "-n", *names)
    assert status == 0 and table != outputs[0][0]
    # Extension 3 corrected alone, then the exposure: refused, nothing changed.
    status, _, messages = run_tolv(tolv_binary, "-q", names[0] + "[3]", *names[1:])
    assert status == 0, messages
    before = open(names[0], "rb").read()
    status, table, messages = run_tolv(tolv_binary, "-E", *names)
    assert (status, table) == (1, "")
    assert "extension 3 is corrected already (FRGCORR) and extensions 1, 2, 4, 5, 6 and 7 are not" in messages
    assert "--force" in messages
    assert open(names[0], "rb").read() == before
    # A copy of a fringe frame given as a second one: the amplitudes cannot be
    # told apart, refused before anything is written.
    status, table, messages = run_tolv(tolv_binary, "-E", "--force", names[0], names[1], names[1] + "x")
    assert status == 1 and "cannot be solved" in messages, messages
    assert open(names[0], "rb").read() == before


def test_remove_fringes_per_exposure_is_the_commands_fit(tmp_path, tolv_binary):
    names, mask, science, frames, masks = exposure(tmp_path, 5, 2, 6, nans=True, masked=True)
    out = tmp_path / "out.fits"
    status, table, messages = run_tolv(tolv_binary, "-E", "--mask", mask, "-o", out, *names)
    assert status == 0, messages
    per_ccd = [[frames[k][e] for k in range(2)] for e in range(5)]
    # astropy's big-endian arrays for some CCDs, native ones for others; HDUs too.
    given = [fits.ImageHDU(s.astype(">f4")) if e % 2 else s for e, s in enumerate(science)]
    images, rows = tolv.remove_fringes(given, per_ccd, mask=masks, per_exposure=True)
    assert rows == tolv.correct(names[0], names[1:], mask=mask, dry_run=True, per_exposure=True)
    with fits.open(out) as hdul:
        for e, image in enumerate(images):
            data = image.data if e % 2 else image
            assert np.array_equal(data.astype(">f4").view(">u4"), hdul[e + 1].data.view(">u4")), e
            if e % 2:
                assert image.header["FRGMODE"] == "EXPOSURE"
                assert image.header.comments["FRGMODE"] == "amplitudes fitted over 5 extensions"
    with pytest.raises(ValueError, match="image 2 is not laid out as image 0"):
        tolv.remove_fringes(science[:2] + [science[2][:, :-1]], per_ccd[:2] + [[f[:, :-1] for f in per_ccd[2]]],
                            per_exposure=True)
    with pytest.raises(ValueError, match="one sequence of fringe frames per science image"):
        tolv.remove_fringes(science, per_ccd[:4], per_exposure=True)


def crowded_exposure(seed, size=256, ccds=8, crowded=(2, 5), amplitudes=(40.0, 12.0)):
    """8 CCDs at the demo's sky (1200) and noise (6) with the demo's two fringe
    patterns at one amplitude each; on the crowded CCDs a bright smooth source
    covers 70% of the pixels, which the mask leaves out."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    science, frames, masks = [], [], []
    for e in range(ccds):
        dx, dy = x + size * (e % 4), y + size * (e // 4)
        f = [np.sin(2 * np.pi * (0.8 * dx + 0.6 * dy) / 64.0) * np.cos(2 * np.pi * dy / 300.0),
             np.sin(2 * np.pi * (0.3 * dx - 0.95 * dy) / 17.0)]
        image = 1200.0 + 25 * e + 0.02 * x - 0.015 * y + amplitudes[0] * f[0] + amplitudes[1] * f[1]
        image += rng.normal(0.0, 6.0, image.shape)
        mask = np.zeros(image.shape, np.uint8)
        if e in crowded:
            # An elliptical galaxy of 70% of the CCD, bright and smooth.
            r2 = ((x - 0.45 * size) / 0.8) ** 2 + (y - 0.55 * size) ** 2
            inside = r2 < np.quantile(r2, 0.70)
            image[inside] += 8000.0 * np.exp(-r2[inside] / (0.2 * size) ** 2) + 400.0
            mask[inside] = 1
            assert 0.69 < inside.mean() < 0.72
        science.append(image.astype(np.float32))
        frames.append([fr.astype(np.float32) for fr in f])
        masks.append(mask)
    return science, frames, masks


def test_one_amplitude_per_exposure_beats_the_crowded_ccds_own_fits():
    amplitudes = np.array([40.0, 12.0])
    exposure_errors, own_errors, crowded_own = [], [], []
    for seed in range(10):
        science, frames, masks = crowded_exposure(seed)
        _, rows = tolv.remove_fringes(science, frames, mask=masks, per_exposure=True)
        exposure_errors.append(np.array(rows[-1].afringe) - amplitudes)
        for e in range(8):
            _, own = tolv.remove_fringes(science[e], frames[e], mask=masks[e])
            (crowded_own if e in (2, 5) else own_errors).append(np.array(own[-1].afringe) - amplitudes)
    exposure_rms = np.sqrt(np.mean(np.square(exposure_errors), axis=0)) / amplitudes
    own_rms = np.sqrt(np.mean(np.square(crowded_own), axis=0)) / amplitudes
    clean_rms = np.sqrt(np.mean(np.square(own_errors), axis=0)) / amplitudes
    print("rms error, per exposure %s, per extension on the crowded CCDs %s, on the clean ones %s"
          % (np.round(100 * exposure_rms, 3), np.round(100 * own_rms, 3), np.round(100 * clean_rms, 3)))
    assert np.all(exposure_rms < 0.003), exposure_rms
    assert np.all(own_rms > 3 * exposure_rms), (own_rms, exposure_rms)
