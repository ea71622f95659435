"""tolv.batch on a real Dask cluster of worker processes: every exposure's file
and table against tolv.correct run here on a copy, a broken exposure reported
without stopping the others, workers killed at chosen moments, and the
command line end to end."""
import fcntl
import glob
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from astropy.io import fits

import tolv

distributed = pytest.importorskip("distributed")
from tolv import batch  # noqa: E402
from conftest import printed  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# Every run, here and on the workers (which inherit it), stamps the same time.
os.environ.setdefault("SOURCE_DATE_EPOCH", "1765152000")
# The exposures whose first attempt stops its worker for the kill test; read
# by the workers, which inherit it when the cluster starts.
os.environ["TOLV_BATCH_STOP"] = ("before:stop-before.fits,after:stop-after.fits,stored:stop-stored.fits,"
                                 "after:stop-force.fits,after:stop-output.fits")


def write_mosaic(path, seed, extensions=3, shape=(64, 64), amplitude=30.0):
    """Sky, gradients, one fringe pattern, noise and a few stars, float32."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    hdus = [fits.PrimaryHDU()]
    for e in range(extensions):
        image = 900.0 + 0.04 * x - 0.02 * y + (amplitude + 3 * e + seed) * fringe(shape, e)
        image += rng.normal(0.0, 4.0, shape)
        image[rng.integers(0, shape[0], 3), rng.integers(0, shape[1], 3)] += 2000.0
        hdus.append(fits.ImageHDU(image.astype(">f4"), name="SCI"))
    fits.HDUList(hdus).writeto(path)
    return str(path)


def fringe(shape, e):
    y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    return np.sin(x / 4.0 + y / 6.0 + e) * (1.0 + 0.2 * np.cos(y / 11.0))


def write_fringes(path, extensions=3, shape=(64, 64)):
    hdus = [fits.PrimaryHDU()] + [fits.ImageHDU(fringe(shape, e).astype(">f4"), name="SCI")
                                  for e in range(extensions)]
    fits.HDUList(hdus).writeto(path)
    return str(path)


def content(path):
    with open(path, "rb") as f:
        return f.read()


def expected_run(science, fringes, where, **options):
    """tolv.correct in this process on a copy of science: the copy's bytes and
    the rows (the copy of an output's file when options name one)."""
    os.makedirs(where, exist_ok=True)
    copy = os.path.join(where, os.path.basename(science))
    shutil.copyfile(science, copy)
    if options.get("output"):
        options["output"] = os.path.join(where, "out-" + os.path.basename(science))
    rows = tolv.correct(copy, fringes, **options)
    return content(options.get("output") or copy), rows


def records(path):
    """The number of FRGCORR cards in each extension's header."""
    with fits.open(path) as f:
        return [sum(1 for k in hdu.header if k == "FRGCORR") for hdu in f[1:]]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_eight_exposures_one_broken(client, tmp_path):
    fr = write_fringes(tmp_path / "fringe.fits")
    small = write_fringes(tmp_path / "fringe-small.fits", shape=(32, 64))
    science = [write_mosaic(tmp_path / ("exp%d.fits" % k), k) for k in range(8)]
    jobs = [(s, [fr], {}) for s in science]
    jobs[2] = (science[2], [fr], {"iterations": 3, "clip": 2.5})
    jobs[4] = (science[4], [fr], {"output": str(tmp_path / "exp4-out.fits")})
    jobs[5] = (science[5], [small])  # the fringe frame's shape differs: refused
    with pytest.raises(tolv.Error) as refused:
        tolv.correct(science[5], [small])
    broken = content(science[5])
    originals = [content(s) for s in science]
    expected = [None if k == 5 else expected_run(j[0], j[1], tmp_path / "expected", **dict(j[2]))
                for k, j in enumerate(jobs)]

    results = batch.correct_many(jobs, client=client)

    assert [r.file for r in results] == science
    for k, r in enumerate(results):
        if k == 5:
            assert (r.ok, r.rows, r.error) == (False, [], str(refused.value))
            assert content(science[5]) == broken
            continue
        data, rows = expected[k]
        assert (r.ok, r.error) == (True, None), r
        assert r.rows == rows and len(rows) == 3 * (3 if k == 2 else 5)
        assert content(jobs[k][2]["output"] if k == 4 else science[k]) == data
    assert content(science[4]) == originals[4]  # the output job leaves its science file alone
    assert glob.glob(str(tmp_path / "*.tolv-journal")) == []


def stopped(marker):
    """The pid of the worker that stopped itself at a job (its marker holds the
    pid) once it is stopped, else None."""
    try:
        with open(marker) as f:
            pid = int(f.read())
        with open("/proc/%d/stat" % pid) as f:
            return pid if f.read().rsplit(")", 1)[1].split()[0] == "T" else None
    except (OSError, ValueError):
        return None


def test_killed_workers_leave_every_exposure_corrected_once(client, tmp_path):
    fr = write_fringes(tmp_path / "fringe.fits")
    names = ["stop-before", "stop-after", "stop-stored", "stop-force", "stop-output", "interrupted", "plain1", "plain2"]
    science = {n: write_mosaic(tmp_path / (n + ".fits"), k) for k, n in enumerate(names)}
    out = str(tmp_path / "stop-output-out.fits")
    options = {n: {} for n in names}
    options["stop-force"] = {"force": True}
    options["stop-output"] = {"output": out}
    # The force job's file was corrected before: it is to be corrected once more.
    tolv.correct(science["stop-force"], [fr])
    expected = {n: expected_run(science[n], [fr], tmp_path / "expected", **dict(options[n])) for n in names}
    twice = expected_run(tmp_path / "expected" / "stop-force.fits", [fr], tmp_path / "twice", force=True)[0]
    assert twice != expected["stop-force"][0]  # a further correction shows in the bytes
    # A run killed by the command itself half way through extension 2: its journal is left.
    inject = os.path.join(os.path.dirname(os.environ.get("TOLV_BINARY", os.path.join(HERE, "..", "..", "build", "tolv"))),
                          "tolv_inject")
    killed = subprocess.run([inject, science["interrupted"], fr], env=dict(os.environ, TOLV_INJECT="half:2:kill"),
                            capture_output=True)
    assert killed.returncode == -signal.SIGKILL
    assert os.path.exists(science["interrupted"] + ".tolv-journal")

    workers = set(client.run(os.getpid).values())
    outcome = {}
    run = threading.Thread(target=lambda: outcome.update(
        results=batch.correct_many([(science[n], [fr], options[n]) for n in names], client=client)))
    run.start()
    # Both workers may be stopped at once: each is killed as soon as it is found.
    deadline = time.monotonic() + 60
    waiting = {science[n] + ".tolv-batch-stopped" for n in names if n.startswith("stop-")}
    killed = []
    while waiting and time.monotonic() < deadline:
        for marker in sorted(waiting):
            pid = stopped(marker)
            if pid:
                assert pid != os.getpid()
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
                waiting.remove(marker)
        time.sleep(0.02)
    assert not waiting, "these workers did not stop: %s" % sorted(waiting)
    run.join(60)
    assert not run.is_alive()
    assert workers & set(killed)  # the workers first started are among those killed

    results = dict(zip(names, outcome["results"]))
    for n in names:
        r = results[n]
        assert (r.file, r.ok, r.error) == (science[n], True, None), r
        data, rows = expected[n]
        assert content(out if n == "stop-output" else science[n]) == data, n
        assert records(out if n == "stop-output" else science[n]) == [1, 1, 1]
        # A worker killed after the correction but before its result reached
        # the scheduler took the rows with it: the retry finds the work done
        # and says so.  Every other job reports its rows.
        if n in ("stop-after", "stop-force", "stop-output"):
            assert r.rows == [] and len(r.notes) == 1, r
            assert ("already corrected" if n == "stop-after" else "earlier attempt whose worker died") in r.notes[0]
        elif n == "interrupted":
            # Of extension 1, which the killed run finished, the journal kept the
            # table's text: its rows are those numbers.
            assert printed(r.rows) == printed(rows) and r.rows[5:] == rows[5:], n
        else:
            assert r.rows == rows, n
    assert "finishing an interrupted run" in " ".join(results["interrupted"].notes)
    assert glob.glob(str(tmp_path / "*.tolv-journal")) == []


def run_batch(*args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tolv.__file__)))
    env.pop("TOLV_BATCH_STOP")
    p = subprocess.run([sys.executable, "-m", "tolv.batch"] + [str(a) for a in args], capture_output=True,
                       text=True, env=env, timeout=120)
    return p.returncode, p.stdout, p.stderr


def test_command_line(client, tmp_path, tolv_binary):
    fr = write_fringes(tmp_path / "fr one.fits")
    science = [write_mosaic(tmp_path / ("c%d.fits" % k), 10 + k) for k in range(3)]
    untouched = content(science[2])
    expected = [expected_run(s, [fr], tmp_path / "expected") for s in science]
    tables_by_command = []
    for s in science[:2]:
        copy = str(tmp_path / ("copy-" + os.path.basename(s)))
        shutil.copyfile(s, copy)
        tables_by_command.append(subprocess.run([tolv_binary, copy, fr], capture_output=True, text=True).stdout)
    good = tmp_path / "good.list"
    good.write_text("# the night's exposures\n\n%s '%s'\n  %s '%s'   # a comment\n"
                    % (science[0], fr, science[1], fr))
    os.makedirs(tmp_path / "tables")
    status, out, err = run_batch(good, "--workers", "1", "--tables", tmp_path / "tables")
    assert (status, out) == (0, "2 exposures: 2 corrected, 0 failed\n"), err
    assert [content(s) for s in science[:2]] == [e[0] for e in expected[:2]]
    # A line on standard error as each exposure finishes, and its table in DIR.
    assert sorted(err.splitlines()) == sorted("%s: corrected, 3 extensions" % s for s in science[:2]), err
    assert [open(tmp_path / "tables" / ("c%d.tsv" % k)).read() for k in range(2)] == tables_by_command

    # On a running scheduler: one exposure already done, one new, one failing.
    missing = str(tmp_path / "missing.fits")
    with pytest.raises(tolv.Error) as refused:
        tolv.correct(science[2], [fr, missing])
    mixed = tmp_path / "mixed.list"
    mixed.write_text("%s '%s'\n%s '%s' %s\n%s '%s'\n" % (science[0], fr, science[2], fr, missing, science[1], fr))
    status, out, err = run_batch("--scheduler", client.scheduler.address, mixed)
    assert status == 1, err
    assert out == ("failed: %s: %s\n" % (science[2], " / ".join(str(refused.value).splitlines())) +
                   "3 exposures: 2 corrected (2 with nothing left to correct), 1 failed\n")

    # A list that cannot be used: status 2, nothing started.
    bad = tmp_path / "bad.list"
    bad.write_text("%s\n" % science[2])
    status, out, err = run_batch(bad)
    assert status == 2 and "bad.list:1: a line names a science file and its fringe files" in err
    assert content(science[2]) == untouched

    # -E passes the fit of the whole exposure on: the command's -E result.
    copy = str(tmp_path / "copy-c2.fits")
    shutil.copyfile(science[2], copy)
    assert subprocess.run([tolv_binary, "-q", "-E", copy, fr]).returncode == 0
    assert content(copy) != expected[2][0]
    one = tmp_path / "one.list"
    one.write_text("%s '%s'\n" % (science[2], fr))
    status, out, err = run_batch(one, "--workers", "1", "-E")
    assert (status, content(science[2])) == (0, content(copy)), err


def test_a_locked_exposure_waits_for_the_lock(client, tmp_path):
    fr = write_fringes(tmp_path / "fringe.fits")
    held = write_mosaic(tmp_path / "held.fits", 20)
    original = content(held)
    data, rows = expected_run(held, [fr], tmp_path / "expected")
    fd = os.open(held, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # as another tolv's run holds it
    try:
        # Given up once the wait is over: the command's refusal.
        (r,) = batch.correct_many([(held, [fr])], client=client, lock_wait=0.3)
        assert not r.ok and "another tolv is correcting this file" in r.error, r
        assert content(held) == original
        # Retried once the lock goes.
        release = threading.Timer(1.0, os.close, [fd])
        start = time.monotonic()
        release.start()
        (r,) = batch.correct_many([(held, [fr])], client=client)
        release.join()
    except BaseException:
        os.close(fd)
        raise
    assert time.monotonic() - start >= 1.0
    assert (r.ok, r.error, r.rows) == (True, None, rows), r
    assert content(held) == data


def readme_batch_example():
    """The first Python block of the README's section on many exposures."""
    with open(os.path.join(HERE, "..", "..", "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("### Many exposures"):]
    start = section.index("```python\n") + len("```python\n")
    return section[start:section.index("```", start)]


def test_the_readme_example_saved_as_a_script(tmp_path):
    # As it stands: it corrects every exposure.  Without its __main__ guard: a
    # clear refusal before any worker starts, not workers started without end.
    os.makedirs(tmp_path / "night")
    names = [write_mosaic(tmp_path / "night" / ("exp%03d.fits" % k), seed=k + 1) for k in range(3)]
    write_fringes(tmp_path / "fringe1.fits")
    y, x = np.mgrid[0:64, 0:64].astype(np.float64)
    fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(np.cos(x / 9.0 - y / 5.0 + e).astype(">f4"), name="SCI")
                                        for e in range(3)]).writeto(tmp_path / "fringe2.fits")
    before = [content(n) for n in names]
    example = readme_batch_example()
    lines = example.splitlines()
    guard = next(i for i, line in enumerate(lines) if line.startswith("if __name__"))
    unguarded = "\n".join(lines[:guard] + [line[4:] for line in lines[guard + 1:]]) + "\n"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(tolv.__file__))))
    for name, code in (("unguarded.py", unguarded), ("example.py", example)):
        (tmp_path / name).write_text(code)
        p = subprocess.run([sys.executable, name], cwd=tmp_path, env=env, capture_output=True, text=True,
                           timeout=300)
        if name == "unguarded.py":
            assert p.returncode != 0
            assert 'RuntimeError: correct_many starts worker processes that import the script again, so call ' \
                   'it under if __name__ == "__main__":' in p.stderr, p.stderr
            assert "unguarded.py, line " in p.stderr
            assert len(p.stderr.splitlines()) < 30, p.stderr
            assert [content(n) for n in names] == before
        else:
            assert p.returncode == 0, p.stderr
            assert p.stdout == "".join("night/exp%03d.fits corrected\n" % k for k in range(3)), p.stdout
            assert all(records(n) == [1, 1, 1] for n in names)
