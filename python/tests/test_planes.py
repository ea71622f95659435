"""Files of several planes per CCD (SCI/VAR/DQ, SCI/ERR, SCI/VAR/SKYFIT): only the
SCI planes are corrected by default, every other byte stays, in every form and
mode; real instrument headers from Debian's astroscrappy (a Gemini GMOS cutout)
and astropy (an HST STIS raw file)."""
import os
import shutil

import numpy as np
import pytest
from astropy.io import fits

import tolv
from conftest import run_tolv

GMOS = "/usr/lib/python3/dist-packages/astroscrappy/tests/data/gmos.fits"
STIS = os.path.join(os.path.dirname(fits.__file__), "tests", "data", "o4sp040b0_raw.fits")
NOTE = "correcting the SCI planes only; %s left as they are; --extname chooses"


def units(path):
    """Each unit's bytes (header and data) as stored, by astropy's offsets."""
    with fits.open(path) as hdul:
        spans = [(h.fileinfo()["hdrLoc"], h.fileinfo()["datLoc"] + h.fileinfo()["datSpan"]) for h in hdul]
        names = [h.name for h in hdul]
    data = open(path, "rb").read()
    return names, [data[a:b] for a, b in spans]


def fringe_for(path, where):
    """A fringe mosaic of the SCI planes of `path`: a pattern per SCI plane."""
    hdus = [fits.PrimaryHDU()]
    with fits.open(path) as hdul:
        for h in hdul[1:]:
            if h.name == "SCI":
                ny, nx = h.data.shape
                y, x = np.mgrid[0:ny, 0:nx]
                hdus.append(fits.ImageHDU(np.sin(x / 5.0 + y / 7.0 + h.ver).astype(np.float32), name="SCI", ver=h.ver))
    fits.HDUList(hdus).writeto(where)
    return str(where)


def check_only_sci_changed(tmp_path, binary, science, fringe, others):
    """The run on a copy against the run with --extname SCI on another: the same
    table and SCI bytes, the note once, every other unit as it was."""
    a, b = str(tmp_path / "a.fits"), str(tmp_path / "b.fits")
    shutil.copyfile(science, a)
    shutil.copyfile(science, b)
    status, table, messages = run_tolv(binary, a, fringe)
    assert status == 0, messages
    assert messages == "tolv: %s: %s\n" % (a, NOTE % others)
    reference = run_tolv(binary, "-q", "--extname", "SCI", b, fringe)
    assert reference[:2] == (0, table)
    names, before = units(science)
    _, after = units(a)
    _, by_name = units(b)
    for name, old, new, expected in zip(names, before, after, by_name):
        assert new == expected, name
        assert (new != old) == (name == "SCI"), name
    return a


@pytest.mark.skipif(not os.path.exists(GMOS), reason="python3-astroscrappy (its GMOS test file) is not installed")
def test_a_gmos_file_of_sci_var_and_skyfit(tmp_path, tolv_binary):
    fringe = fringe_for(GMOS, tmp_path / "fringe.fits")
    check_only_sci_changed(tmp_path, tolv_binary, GMOS, fringe, "VAR, SKYFIT")


def stis_like(where, planes=("SCI", "ERR", "DQ")):
    """A file of two CCDs of `planes` with STIS's real headers: float SCI and
    ERR planes, an integer DQ plane, of the raw file's size."""
    rng = np.random.default_rng(2)
    with fits.open(STIS) as raw:
        hdus = [fits.PrimaryHDU(header=raw[0].header)]
        for h in raw[1:]:
            if h.name not in planes:
                continue
            header = h.header.copy()
            for key in ("BSCALE", "BZERO"):
                header.remove(key, ignore_missing=True)
            y, x = np.mgrid[0:44, 0:62]
            if h.name == "DQ":
                data = (rng.random((44, 62)) < 0.02).astype(np.int16)
            else:
                base = 500.0 if h.name == "SCI" else 20.0
                data = (base + 30 * np.sin(x / 5.0 + y / 7.0 + h.ver) + rng.normal(0, 3, (44, 62))).astype(np.float32)
            hdus.append(fits.ImageHDU(data, header=header))
    fits.HDUList(hdus).writeto(where)
    return str(where)


def test_stis_planes_in_every_form_and_mode(tmp_path, tolv_binary, mkfringe):
    science = stis_like(tmp_path / "stis.fits")
    fringe = fringe_for(science, tmp_path / "fringe.fits")
    corrected = check_only_sci_changed(tmp_path, tolv_binary, science, fringe, "ERR, DQ")
    for form in (["-f", fringe], ["-E", "-f", fringe], ["-E"]):
        copy = str(tmp_path / "form.fits")
        shutil.copyfile(science, copy)
        args = form + [copy] + ([] if "-f" in form else [fringe])
        status, table, messages = run_tolv(tolv_binary, *args)
        assert status == 0 and messages.count("correcting the SCI planes only") == 1, (form, messages)
        if "-E" not in form:
            assert open(copy, "rb").read() == open(corrected, "rb").read(), form
    copy = str(tmp_path / "python.fits")
    shutil.copyfile(science, copy)
    rows = tolv.correct(copy, [fringe])
    assert sorted({r.extn for r in rows}) == [1, 4]
    assert open(copy, "rb").read() == open(corrected, "rb").read()
    # tolv-mkfringe: a frame of the SCI planes only, named SCI with their EXTVER.
    names = [stis_like(tmp_path / ("exp%d.fits" % k)) for k in range(3)]
    status, _, messages = run_tolv(mkfringe, "-o", tmp_path / "made.fits", *names)
    assert status == 0 and "making the frame of the SCI planes only" in messages, messages
    with fits.open(tmp_path / "made.fits") as hdul:
        assert [(h.name, h.ver) for h in hdul[1:]] == [("SCI", 1), ("SCI", 2)]


def test_planes_without_sci_are_refused_and_plain_mosaics_corrected_whole(tmp_path, tolv_binary):
    science = stis_like(tmp_path / "stis.fits", planes=("ERR", "DQ"))
    before = open(science, "rb").read()
    status, table, messages = run_tolv(tolv_binary, science, fringe_for(stis_like(tmp_path / "s.fits"),
                                                                          tmp_path / "fr.fits"))
    assert (status, table) == (1, "")
    assert messages == ("tolv: %s: the image extensions carry several EXTNAMEs (ERR, DQ): --extname chooses the "
                        "planes; nothing was done\n" % science)
    assert open(science, "rb").read() == before
    # SCI and ERR planes: the ERR planes stay.
    science = stis_like(tmp_path / "sci-err.fits", planes=("SCI", "ERR"))
    check_only_sci_changed(tmp_path, tolv_binary, science, fringe_for(science, tmp_path / "fr2.fits"), "ERR")
    # Other names of planes without SCI, or names shared by several extensions.
    for names in (("VAR", "DQ", "VAR", "DQ"), ("A", "B", "A", "B")):
        hdus = [fits.PrimaryHDU()] + [fits.ImageHDU(np.zeros((20, 30), np.float32), name=n) for n in names]
        planes = str(tmp_path / "planes.fits")
        fits.HDUList(hdus).writeto(planes, overwrite=True)
        shutil.copyfile(planes, planes + ".fringe")
        status, _, messages = run_tolv(tolv_binary, "-n", planes, planes + ".fringe")
        assert status == 1 and "several EXTNAMEs (%s, %s)" % names[:2] in messages, messages
    # All named alike, none, or a name per CCD: every extension corrected, no note.
    for name in ("SCI", None, "CCD%d"):
        hdus = [fits.PrimaryHDU()] + [fits.ImageHDU((500 + np.random.default_rng(e).normal(0, 3, (20, 30)))
                                                    .astype(np.float32), name=name % (e + 1) if name == "CCD%d" else name)
                                      for e in range(3)]
        plain = str(tmp_path / ("plain-%s.fits" % name))
        fits.HDUList(hdus).writeto(plain)
        fr = str(tmp_path / ("plain-fr-%s.fits" % name))
        fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(np.sin(np.arange(600.0) / 7 + e).reshape(20, 30)
                                                          .astype(np.float32)) for e in range(3)]).writeto(fr)
        status, table, messages = run_tolv(tolv_binary, plain, fr)
        assert status == 0 and messages == "" and len(table.splitlines()) == 2 + 15, (name, messages)


def test_a_refusal_about_a_plane_of_another_kind_says_how_to_choose(tmp_path, tolv_binary):
    # The science file holds SCI planes only; the fringe file SCI and DQ planes,
    # matched by position: its DQ plane is refused, with the way out.
    science = stis_like(tmp_path / "sci.fits", planes=("SCI",))
    fringe = stis_like(tmp_path / "fringe.fits", planes=("SCI", "DQ"))
    status, _, messages = run_tolv(tolv_binary, science, fringe)
    assert status == 1
    assert messages.startswith("tolv: %s: extension 2: expected a BITPIX -32 image of 62 x 44" % fringe)
    assert messages.rstrip("\n").endswith("; --extname SCI corrects only the SCI planes"), messages
    status, _, messages = run_tolv(tolv_binary, "--extname", "SCI", science, fringe)
    assert status == 0, messages
