"""Making fringe frames from dithered exposures against a reference of its own,
written in numpy from the steps (the sky fit, the robust sigma, the grown
sources, the normalisation, the masked median and the clipped mean), and the
physics of the frame made: it is the pattern, and it corrects as well as it."""
import numpy as np
import pytest

import tolv
from test_per_exposure import joint_reference


def reference_frame(images, masks, object_sigma=3.0, grow=2, normalize=True, combine="median", reject=3.0,
                    min_inputs=3):
    ny, nx = images[0].shape
    y, x = np.mgrid[0:ny, 0:nx]
    values = []
    for image, mask in zip(images, masks):
        rows, _ = joint_reference([image], [], [mask])
        c, ax, ay = rows[0][-1][2]
        r = image.astype(np.float64) - (c + ax * (x - nx // 2) + ay * (y - ny // 2))
        usable = np.isfinite(r) & (mask == 0)
        middle = np.median(r[usable])
        sigma = 1.4826 * np.median(np.abs(r[usable] - middle))
        with np.errstate(invalid="ignore"):
            sources = usable & (r > object_sigma * sigma)
        grown = np.zeros_like(sources)
        for dy in range(-grow, grow + 1):
            for dx in range(-grow, grow + 1):
                if dx * dx + dy * dy > grow * grow:
                    continue
                shifted = np.zeros_like(sources)
                shifted[max(0, dy):ny + min(0, dy), max(0, dx):nx + min(0, dx)] = \
                    sources[max(0, -dy):ny + min(0, -dy), max(0, -dx):nx + min(0, -dx)]
                grown |= shifted
        values.append(np.where(usable & ~grown, r / c if normalize else r, np.nan))
    stack = np.array(values)
    count = np.sum(~np.isnan(stack), axis=0)
    with np.errstate(invalid="ignore"), np.testing.suppress_warnings() as quiet:
        quiet.filter(RuntimeWarning)
        if combine == "median":
            combined = np.nanmedian(stack, axis=0)
        else:
            mean, spread = np.nanmean(stack, axis=0), np.nanstd(stack, axis=0)
            kept = np.where(np.abs(stack - mean) > reject * spread, np.nan, stack)
            combined = np.nanmean(kept, axis=0)
    return np.where(count >= min_inputs, combined, 0.0), count


def dithered(n, shape, seed, pattern_amplitude=60.0, stars=40, nans=False):
    """n exposures of one fringe pattern under a sky that varies 2x between them
    (fringes of 6% of the sky at their peaks, as in a red band; the demo's noise
    of 6 at a sky of 1200), with stars at other places in each; the true
    pattern per unit of sky."""
    rng = np.random.default_rng(seed)
    ny, nx = shape
    y, x = np.mgrid[0:ny, 0:nx].astype(np.float64)
    pattern = np.sin(2 * np.pi * (0.8 * x + 0.6 * y) / 23.0) * np.cos(2 * np.pi * y / 61.0)
    images = []
    for k in range(n):
        sky = 800.0 * (1.0 + k / max(1, n - 1))
        image = sky + 0.03 * x - 0.02 * y + sky / 1000.0 * pattern_amplitude * pattern
        image += rng.normal(0.0, 6.0 * np.sqrt(sky / 1200.0), shape)
        for _ in range(stars):
            sx, sy = rng.uniform(0, nx), rng.uniform(0, ny)
            image += rng.uniform(500, 5000) * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / 3.0)
        if nans:
            image[rng.integers(0, ny, 5), rng.integers(0, nx, 5)] = np.nan
        images.append(image.astype(np.float32))
    return images, pattern_amplitude / 1000.0 * pattern


@pytest.mark.parametrize("shape, n, seed, settings, masked", [
    ((37, 53), 5, 1, {}, False),
    ((64, 48), 6, 2, {"combine": "mean"}, True),
    ((41, 29), 7, 3, {"grow": 0, "normalize": False, "min_inputs": 4}, True),
    ((50, 70), 4, 4, {"object_sigma": 2.5, "combine": "mean", "reject": 2.0, "grow": 3}, False),
])
def test_the_frame_is_the_reference_of_its_steps(shape, n, seed, settings, masked):
    images, _ = dithered(n, shape, seed, nans=True)
    rng = np.random.default_rng(seed + 7)
    masks = [np.zeros(shape, np.uint8) for _ in range(n)]
    if masked:
        for m in masks:
            m[rng.random(shape) < 0.05] = 1
            m[3:6, :] = 1  # masked in every input: fewer than min_inputs, 0
    frame, skies, counts = tolv.make_fringe(images, masks, **settings)
    expected, count = reference_frame(images, masks, **settings)
    assert frame.dtype == np.float32 and frame.shape == shape
    assert np.allclose(frame, expected, rtol=1e-6, atol=1e-6 * np.max(np.abs(expected)))
    low = count < settings.get("min_inputs", 3)
    assert counts.zeroed == low.sum() and counts.combined == (~low).sum()
    assert np.all(frame[low] == 0)
    if masked:
        assert np.all(frame[3:6, :] == 0)
    assert [k.usable for k in skies] == [int((np.isfinite(i) & (m == 0)).sum()) for i, m in zip(images, masks)]


def test_a_frame_made_from_nine_exposures_corrects_a_tenth_as_the_true_one():
    images, truth = dithered(10, (256, 256), 11)
    frame, skies, counts = tolv.make_fringe(images[:9])
    assert np.corrcoef(frame.ravel(), truth.ravel())[0, 1] > 0.99
    # The tenth, corrected with the made frame and with the true one: the fringe
    # left, measured as the demo measures it (the projection on the pattern,
    # pixels more than 200 from the median, the stars, left out), in units of the
    # true pattern, of which the tenth exposure has 1600 (its sky).
    def fringe_in(image):
        v = image.astype(np.float64) - np.median(image)
        near = np.abs(v) <= 200
        return np.sum(v[near] * truth[near]) / np.sum(truth[near] ** 2)
    before = fringe_in(images[9])
    assert abs(before - 1600.0) < 30.0
    left = [fringe_in(tolv.remove_fringes(images[9], [f])[0]) for f in (frame, truth.astype(np.float32))]
    assert abs(left[0] - left[1]) < 0.01 * before, (before, left)


def test_undithered_inputs_and_too_few_are_refused():
    images, _ = dithered(5, (64, 64), 5, stars=3)
    with pytest.raises(ValueError, match="at least 3 images"):
        tolv.make_fringe(images[:2])
    # The same stars in every exposure: the counts show it.
    fixed, _ = dithered(5, (64, 64), 6, stars=0)
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:64, 0:64]
    stars = sum(3000.0 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / 3.0) for sx, sy in rng.uniform(0, 64, (15, 2)))
    _, _, counts = tolv.make_fringe([i + stars.astype(np.float32) for i in fixed])
    assert counts.sources_most > counts.sources_any / 4
    _, _, moved = tolv.make_fringe(images)
    assert moved.sources_most < moved.sources_any / 4
