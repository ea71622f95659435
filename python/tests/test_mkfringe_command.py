"""tolv-mkfringe as a command on real files: the frame it writes is the one
tolv.make_fringe makes of the same exposures, extension by extension, for every
-j; fitsverify and astropy's checksums accept it, tolv takes it; and what it
refuses leaves no output behind."""
import os
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest
from astropy.io import fits

import tolv
from conftest import run_tolv as run
from test_make_fringe import dithered


def exposures(tmp_path, n=5, extensions=3, shape=(48, 40), seed=1, stars=8):
    """n mosaics of `extensions` CCDs, each CCD its own pattern; the arrays too."""
    per_ccd = [dithered(n, shape, seed + 10 * e, stars=stars, nans=True)[0] for e in range(extensions)]
    names = []
    for k in range(n):
        hdus = [fits.PrimaryHDU()]
        hdus[0].header["OBSERVER"] = "tests"
        for e in range(extensions):
            hdu = fits.ImageHDU(per_ccd[e][k], name="SCI", ver=e + 1)
            hdu.header["DETSEC"] = "[%d:%d,1:%d]" % (e * shape[1] + 1, (e + 1) * shape[1], shape[0])
            hdus.append(hdu)
        names.append(str(tmp_path / ("exp%d.fits" % k)))
        fits.HDUList(hdus).writeto(names[-1])
    return names, per_ccd


def test_the_command_writes_the_frame_make_fringe_makes(tmp_path, mkfringe, tolv_binary):
    names, per_ccd = exposures(tmp_path)
    masks = [np.zeros((48, 40), np.int16) for _ in range(3)]
    masks[1][10:14, :] = 1
    fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(m, name="SCI", ver=e + 1) for e, m in enumerate(masks)]) \
        .writeto(tmp_path / "mask.fits")
    outputs = []
    for jobs in ("1", "2", "5"):
        out = tmp_path / ("fringe-j%s.fits" % jobs)
        status, table, messages = run(mkfringe, "-j", jobs, "--mask", tmp_path / "mask.fits", "--combine", "mean",
                                      "-o", out, *names)
        assert status == 0, messages
        outputs.append((table, out.read_bytes()))
    assert outputs[1] == outputs[0] and outputs[2] == outputs[0]
    table = outputs[0][0].splitlines()
    assert table[0] == "Extn\tInput\tSky\tSigma\tLeftOut" and len(table) == 2 + 15 + 2 + 3
    out = tmp_path / "fringe-j1.fits"
    assert subprocess.run(["fitsverify", "-q", str(out)], capture_output=True, text=True).stdout.startswith(
        "verification OK")
    with fits.open(out, checksum=True) as hdul:
        assert hdul[0].header["FRGMNCOM"] == 5 and hdul[0].header["FRGMMETH"] == "MEAN"
        assert [hdul[0].header["FRGSRC%02d" % (k + 1)] for k in range(5)] == [os.path.basename(n) for n in names]
        assert hdul[0].header["OBSERVER"] == "tests" and hdul[0].data is None
        for e in range(3):
            frame, skies, counts = tolv.make_fringe(per_ccd[e], [masks[e]] * 5, combine="mean")
            assert np.array_equal(hdul[e + 1].data.astype(np.float32).view(np.uint32), frame.view(np.uint32)), e
            assert (hdul[e + 1].name, hdul[e + 1].ver) == ("SCI", e + 1)
            assert hdul[e + 1].header["DETSEC"] == "[%d:%d,1:48]" % (e * 40 + 1, (e + 1) * 40)
            assert hdul[e + 1].header["FRGMZERO"] == counts.zeroed
            assert table[2 + 5 * e].split("\t")[2] == "%f" % skies[0].sky
    # tolv takes the frame as it is.
    science = str(tmp_path / "science.fits")
    shutil.copyfile(names[0], science)
    status, _, messages = run(tolv_binary, "-n", science, out)
    assert status == 0, messages


def test_refusals_write_nothing(tmp_path, mkfringe):
    names, _ = exposures(tmp_path, n=4, extensions=2)
    out = tmp_path / "fringe.fits"

    def refused(*args):
        status, table, messages = run(mkfringe, *args)
        assert (status, table) == (1, ""), messages
        assert not out.exists()
        assert all(n.startswith("tolv-mkfringe: ") or n.startswith("Usage: tolv-mkfringe") or n.startswith("Try ")
                   for n in messages.splitlines()), messages
        return messages

    assert "at least 3 exposures are needed, 2 given" in refused("-o", out, *names[:2])
    assert "unknown option --bogus" in refused("--bogus", "-o", out, *names)
    assert "--combine takes median or mean, not 'mode'" in refused("--combine", "mode", "-o", out, *names)
    # An exposure of another size, named with its extension.
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(np.zeros((48, 40), np.float32), name="SCI", ver=1),
                  fits.ImageHDU(np.zeros((47, 40), np.float32), name="SCI", ver=2)]).writeto(tmp_path / "odd.fits")
    assert "odd.fits: extension 2: expected a BITPIX -32 image of 40 x 48" in refused("-o", out, *names,
                                                                                      tmp_path / "odd.fits")
    # The output named as an input, even through another name.
    os.link(names[0], tmp_path / "alias.fits")
    before = open(names[0], "rb").read()
    status, _, messages = run(mkfringe, "--overwrite", "-o", tmp_path / "alias.fits", *names)
    assert status == 1 and "the same file as the input" in messages
    assert open(names[0], "rb").read() == before
    # The same stars in every exposure: not dithered, refused naming the share;
    # --force makes the frame.
    os.makedirs(tmp_path / "still")
    still, _ = exposures(tmp_path / "still", n=4, extensions=2, stars=0)
    rng = np.random.default_rng(9)
    y, x = np.mgrid[0:48, 0:40]
    stars = sum(3000.0 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / 3.0) for sx, sy in rng.uniform(0, 40, (8, 2)))
    for name in still:
        with fits.open(name, mode="update") as hdul:
            for e in (1, 2):
                hdul[e].data = (hdul[e].data + stars).astype(np.float32)
    messages = refused("-o", out, *still)
    assert "extension 1: " in messages and "of the source pixels are sources in more than half of the exposures" \
        in messages and "--force" in messages
    status, _, messages = run(mkfringe, "--force", "-o", out, *still)
    assert status == 0 and out.exists(), messages


def test_help_and_the_manual_page_name_the_same_options(mkfringe):
    status, text, _ = run(mkfringe, "--help")
    assert status == 0 and text.startswith("Usage: tolv-mkfringe [options] -o FRINGE.fits")
    in_help = set(re.findall(r"--([a-z][a-z-]*)", text))
    page = open(os.path.join(os.path.dirname(__file__), "..", "..", "doc", "tolv-mkfringe.1")).read()
    in_page = set(re.findall(r"\\-\\-([a-z][a-z\\-]*)", page))
    in_page = {name.replace("\\-", "-") for name in in_page}
    assert in_help - {"help"} <= in_page | {"help"}, in_help - in_page
    assert run(mkfringe, "--version")[1] == "tolv-mkfringe %s\n" % tolv.__version__


def test_make_fringe_on_files_is_the_command(tmp_path, mkfringe):
    names, per_ccd = exposures(tmp_path, n=4, extensions=2)
    status, table, messages = run(mkfringe, "--grow", "1", "-o", tmp_path / "command.fits", *names)
    assert status == 0, messages
    out, inputs, extensions = tolv.make_fringe([pathlib.Path(n) for n in names], grow=1,
                                               output=tmp_path / "python.fits")
    assert out == tmp_path / "python.fits"
    with fits.open(tmp_path / "command.fits") as a, fits.open(out) as b:
        for e in (1, 2):
            assert np.array_equal(a[e].data.view(np.uint32), b[e].data.view(np.uint32))
    assert [i.extn for i in inputs] == [1] * 4 + [2] * 4 and [x.extn for x in extensions] == [1, 2]
    assert "%f" % inputs[0].sky == table.splitlines()[2].split("\t")[2]
    with pytest.raises(tolv.Error, match="the file exists; --overwrite replaces it"):
        tolv.make_fringe(names, output=out)
    with pytest.raises(FileNotFoundError):
        tolv.make_fringe(names + [str(tmp_path / "missing.fits")], output=tmp_path / "other.fits")


def test_a_mask_per_exposure_from_a_list(tmp_path, mkfringe):
    names, per_ccd = exposures(tmp_path, n=4, extensions=2)
    rng = np.random.default_rng(4)
    masks = [[(rng.random((48, 40)) < 0.2).astype(np.uint8) for _ in range(2)] for _ in range(4)]
    listed = []
    for k, per_exposure in enumerate(masks):
        listed.append(str(tmp_path / ("mask%d.fits" % k)))
        fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(m, name="SCI", ver=e + 1)
                                            for e, m in enumerate(per_exposure)]).writeto(listed[-1])
    (tmp_path / "masks.list").write_text("# one a line\n" + "\n".join(listed) + "\n")
    out = tmp_path / "fringe.fits"
    status, _, messages = run(mkfringe, "--mask-list", tmp_path / "masks.list", "-o", out, *names)
    assert status == 0, messages
    with fits.open(out) as hdul:
        for e in range(2):
            frame, _, _ = tolv.make_fringe(per_ccd[e], [masks[k][e] for k in range(4)])
            assert np.array_equal(hdul[e + 1].data.astype(np.float32).view(np.uint32), frame.view(np.uint32)), e
    (tmp_path / "short.list").write_text("\n".join(listed[:3]) + "\n")
    status, _, messages = run(mkfringe, "--mask-list", tmp_path / "short.list", "-o", tmp_path / "x.fits", *names)
    assert status == 1 and "names 3 masks for 4 exposures" in messages and not (tmp_path / "x.fits").exists()


def test_compressed_exposures_make_the_frame_of_the_pixels_they_hold(tmp_path, mkfringe):
    # astropy compresses (Rice, quantized and dithered floats, NaN as ZBLANK) and
    # decompresses: the frame of the .fz files is that of astropy's plain copies,
    # bit for bit; gzipped exposures make the plain files' frame.
    import gzip
    names, _ = exposures(tmp_path, n=4, extensions=2)
    packed, unpacked, zipped = [], [], []
    for k, name in enumerate(names):
        with fits.open(name) as hdul:
            comp = [fits.PrimaryHDU(header=hdul[0].header)] + [
                fits.CompImageHDU(h.data, header=h.header, compression_type="RICE_1",
                                  quantize_method=1, dither_seed=k + 1) for h in hdul[1:]]
        packed.append(str(tmp_path / ("exp%d.fits.fz" % k)))
        fits.HDUList(comp).writeto(packed[-1])
        with fits.open(packed[-1]) as hdul:
            plain = [fits.PrimaryHDU(header=hdul[0].header)] + [
                fits.ImageHDU(h.data.astype(np.float32), name=h.name, ver=h.ver) for h in hdul[1:]]
            for h, c in zip(plain[1:], hdul[1:]):
                h.header["DETSEC"] = c.header["DETSEC"]
        unpacked.append(str(tmp_path / ("plain%d.fits" % k)))
        fits.HDUList(plain).writeto(unpacked[-1])
        zipped.append(name + ".gz")
        with open(name, "rb") as f, gzip.open(zipped[-1], "wb") as g:
            g.write(f.read())
    frames = {}
    for label, inputs in (("fz", packed), ("unpacked", unpacked), ("gz", zipped), ("plain", names)):
        out = tmp_path / ("frame-%s.fits" % label)
        status, table, messages = run(mkfringe, "-o", out, *inputs)
        assert status == 0, (label, messages)
        with fits.open(out) as hdul:
            frames[label] = (table, [h.data.astype(np.float32).view(np.uint32) for h in hdul[1:]])
            assert [hdul[0].header["FRGSRC%02d" % (k + 1)] for k in range(4)] == [os.path.basename(n) for n in inputs]
    for a, b in (("fz", "unpacked"), ("gz", "plain")):
        assert frames[a][0] == frames[b][0], (a, b)
        assert len(frames[a][1]) == 2
        for e in range(2):
            assert np.array_equal(frames[a][1][e], frames[b][1][e]), (a, b, e)
    # The quantized exposures are not the plain ones: their frame differs.
    assert not np.array_equal(frames["fz"][1][0], frames["plain"][1][0])
