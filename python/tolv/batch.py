"""Many exposures at once: tolv.correct over a list of jobs, one task per
exposure, on a Dask distributed cluster.

    from tolv.batch import correct_many
    results = correct_many([("sci1.fits", ["fr1.fits", "fr2.fits"], {}),
                            ("sci2.fits", ["fr1.fits", "fr2.fits"], {"clip": 3.0})])

    python3 -m tolv.batch LIST [--scheduler ADDRESS] [--workers N] [options]

A worker that dies takes its task with it, and Dask runs the task again
elsewhere (also one that had finished, its result being kept by that worker).
That does no harm: an attempt that finds the result of an earlier one on the
scheduler returns it; a rerun in place finishes what the journal says was
interrupted and skips the extensions whose header records a correction; a job
with force or an output file, which a plain rerun would repeat or refuse, is
found done by comparing the file with how it stood before the first attempt.

Dask is imported only when a batch runs: ``import tolv`` does not need it.
"""
import argparse
import ast
import collections
import contextlib
import fcntl
import hashlib
import logging
import os
import shlex
import signal
import sys
import threading
import time
import uuid

from . import Error, Row, _correct, _path, _tolv

__all__ = ["Result", "correct_many", "read_list", "main"]

Result = collections.namedtuple("Result", "file ok rows error notes")
Result.__doc__ = """The outcome of one job: the science file, whether it ended
corrected, the table's rows (tolv.Row; empty when nothing was left to correct),
the command's message when it failed (else None), and the notes the run wrote
(a tuple of lines, such as "every extension is already corrected; ...")."""

# The keyword arguments of tolv.correct a job's options may give.
OPTIONS = ("output", "extname", "mask", "iterations", "clip", "force", "record", "per_exposure")

# How long a task waits for another run's lock (a retried task whose first
# attempt is still alive on a worker the scheduler gave up on), in seconds.
LOCK_WAIT = 3600.0


def _name(name, what):
    """A file name of a job as a str (the file system's encoding undone, so that
    tolv.correct on a worker opens the same bytes); ValueError, before anything
    runs, for one holding a NUL byte."""
    return os.fsdecode(_path(name, what))


def _job(job):
    """(science, fringes, options) from a job: a tuple of two or three items."""
    if isinstance(job, (str, bytes, os.PathLike)) or len(job) not in (2, 3):
        raise ValueError("a job is (science, fringes) or (science, fringes, options), not %r" % (job,))
    science, fringes = _name(job[0], "the science file"), job[1]
    if isinstance(fringes, (str, bytes, os.PathLike)):
        fringes = [fringes]
    fringes = [_name(f, "%s: fringe file %d" % (science, k)) for k, f in enumerate(fringes)]
    options = dict(job[2]) if len(job) == 3 and job[2] is not None else {}
    unknown = sorted(set(options) - set(OPTIONS))
    if unknown:
        raise ValueError("%s: unknown option%s %s (tolv.correct takes %s)"
                         % (science, "s" if len(unknown) > 1 else "", ", ".join(unknown), ", ".join(OPTIONS)))
    for option in ("output", "mask"):
        if options.get(option) is not None:
            options[option] = _name(options[option], "%s: %s" % (science, option))
    return science, fringes, options


class _ThreadNotes(logging.Handler):
    """Collects the messages logged to "tolv" by one thread: a worker runs other
    tasks in its other threads."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.thread = threading.get_ident()
        self.lines = []

    def emit(self, record):
        if record.thread == self.thread:
            self.lines.append(record.getMessage())


@contextlib.contextmanager
def _notes():
    log = logging.getLogger("tolv")
    if log.getEffectiveLevel() > logging.INFO:
        log.setLevel(logging.INFO)
    handler = _ThreadNotes()
    log.addHandler(handler)
    try:
        yield handler.lines
    finally:
        log.removeHandler(handler)


def _locked(path, mode):
    """True while another process holds a lock on path that excludes `mode`
    (fcntl.LOCK_SH: a run in place; LOCK_EX: any run)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, mode | fcntl.LOCK_NB)
        return False
    except OSError:
        return True
    finally:
        os.close(fd)  # the probe's lock goes with it


def _wait_unlocked(path, mode, deadline):
    """Waits until no other run holds path (see _locked); False at the deadline."""
    pause = 0.05
    while _locked(path, mode):
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause)
        pause = min(2 * pause, 2.0)
    return True


def _digest(path):
    h = hashlib.blake2b(digest_size=32)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _journal(science):
    """Where a run on science keeps its journal."""
    return os.fsdecode(_tolv.journal_path(os.fsencode(science)))


def _test_stop(point, science):
    """For the tests of a worker that dies: TOLV_BATCH_STOP="POINT:NAME,..."
    stops this worker process (SIGSTOP) at POINT of the job whose science file
    is named NAME, once: "before" the correction, "after" it, or once its
    result is "stored".  The first attempt writes its pid into
    NAME.tolv-batch-stopped, for the test to kill it."""
    wanted = os.environ.get("TOLV_BATCH_STOP", "")
    if point + ":" + os.path.basename(science) not in wanted.split(","):
        return
    try:
        fd = os.open(science + ".tolv-batch-stopped", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    except FileExistsError:
        return
    os.write(fd, b"%d\n" % os.getpid())
    os.close(fd)
    os.kill(os.getpid(), signal.SIGSTOP)


def _finished_before(before, science, options, deadline):
    """For a job with force or an output file, on an attempt after the first:
    a note when the earlier attempt finished the work, else None."""
    # The earlier attempt may still be running, on a worker the scheduler gave up on.
    if not _wait_unlocked(science, fcntl.LOCK_EX, deadline):
        return None
    output = options.get("output")
    if output:
        # The output appears whole or not at all (written aside, then linked in place).
        if not before["output_existed"] and os.path.exists(output):
            return "%s was written by an earlier attempt whose worker died; its table is lost" % output
    elif not os.path.exists(_journal(science)) and _digest(science) != before["digest"]:
        return "corrected by an earlier attempt whose worker died; its table is lost"
    return None


def _stored(result):
    """A Result as the scheduler keeps it (plain lists: its messages are msgpack)."""
    return [result.ok, [list(r[:7]) + [list(r[7])] for r in result.rows], result.error, list(result.notes)]


def _unstored(science, kept):
    ok, rows, error, notes = kept
    return Result(science, ok, [Row(*r[:7], tuple(r[7])) for r in rows], error, tuple(notes))


def _table_name(tables, science):
    """Where --tables puts an exposure's table: NAME.tsv, NAME the file's name
    without .fits."""
    name = os.path.basename(os.fsdecode(science))
    return os.path.join(tables, (name[:-5] if name.endswith(".fits") else name) + ".tsv")


def _write_table(path, table):
    """The table, whole or not at all: written beside, then renamed."""
    temporary = "%s.tmp-%s" % (path, uuid.uuid4().hex)
    with open(temporary, "w") as f:
        f.write(table)
    os.replace(temporary, path)


def _correct_one(key, science, fringes, options, lock_wait=LOCK_WAIT, tables=None):
    """One task: tolv.correct on one exposure, every failure made a Result.

    Dask runs a task again when its worker dies, even after it finished (its
    result lived in that worker).  The scheduler's metadata under the task's
    key (dropped with the task) says what an earlier attempt did: its result
    once it has one, else, for force and output jobs, how the files stood
    before it began."""
    from distributed import get_client

    scheduler = get_client()
    deadline = time.monotonic() + lock_wait
    notes = []
    try:
        before = scheduler.get_metadata(key, None)
        if before and "result" in before:
            return _unstored(science, before["result"])
        guarded = bool(options.get("force") or options.get("output"))
        if before is None:
            output = options.get("output")
            scheduler.set_metadata(key, {"output_existed": os.path.exists(output) if output else None,
                                         "digest": _digest(science) if guarded and not output else None})
        elif guarded:
            done = _finished_before(before, science, options, deadline)
            if done:
                result = Result(science, True, [], None, (done,))
                scheduler.set_metadata(key, {"result": _stored(result)})
                return result
        _test_stop("before", science)
        while True:
            try:
                with _notes() as notes:
                    rows, table = _correct(science, fringes, **options)
                break
            except Error as e:
                if not e.locked or not _wait_unlocked(science, fcntl.LOCK_SH, deadline):
                    raise
        if tables is not None:
            _write_table(_table_name(tables, science), table)
        result = Result(science, True, rows, None, tuple(notes))
    except Error as e:
        result = Result(science, False, [], str(e), tuple(notes))
    except Exception as e:  # a bad option value, an unreadable file: this job only
        result = Result(science, False, [], "%s: %s" % (type(e).__name__, e), tuple(notes))
    _test_stop("after", science)
    scheduler.set_metadata(key, {"result": _stored(result)})
    _test_stop("stored", science)
    return result


GUARD = 'if __name__ == "__main__":'


def _unguarded_call():
    """Where the running script calls correct_many outside an
    ``if __name__ == "__main__":`` block ("FILE, line N"), else None.  Dask's
    local worker processes start as fresh interpreters that import the script
    again: a call outside the block starts a cluster in every one of them, and
    its workers again, without end."""
    frame = sys._getframe(1)
    while frame is not None and not (frame.f_globals.get("__name__") in ("__main__", "__mp_main__")
                                     and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None:
        return None
    path = frame.f_globals.get("__file__")
    if frame.f_globals["__name__"] == "__mp_main__":
        return "%s, line %d, imported again by a worker process" % (path, frame.f_lineno)
    if not path or not os.path.isfile(path):
        return None  # an interpreter, a notebook, python3 -c: nothing imports it again
    try:
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
    except (OSError, SyntaxError, ValueError):
        return None

    def is_guard(node):
        t = node.test
        if not (isinstance(t, ast.Compare) and len(t.ops) == 1 and isinstance(t.ops[0], ast.Eq)):
            return False
        sides = [t.left, t.comparators[0]]
        return (any(isinstance(x, ast.Name) and x.id == "__name__" for x in sides)
                and any(isinstance(x, ast.Constant) and x.value == "__main__" for x in sides))

    line = frame.f_lineno
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and is_guard(node) and node.body[0].lineno <= line <= node.end_lineno:
            return None
    return "%s, line %d" % (path, line)


def correct_many(jobs, client=None, workers=None, lock_wait=LOCK_WAIT, tables=None, finished=None):
    """Runs tolv.correct on every job, one Dask task per exposure, and returns a
    Result per job, in job order.

    jobs: (science, fringes) or (science, fringes, options) items, options a
    dict of tolv.correct's keyword arguments.  client: a distributed.Client, or
    the address of a running scheduler ("tcp://host:8786"), or None for a local
    cluster of `workers` worker processes (default: one per CPU) made for this
    call.  A job that fails is reported in its Result (the command's message)
    and the others go on.  tables: a directory where each exposure corrected
    gets its table, as the command prints it, in NAME.tsv (NAME its file's
    name without .fits).  finished: called with (index, Result) in the order
    the jobs finish, as they do.  RuntimeError, before anything runs, when the local
    cluster is asked for from a script outside its ``if __name__ == "__main__":``
    block (its worker processes import the script again).  ValueError, before
    anything runs, for a malformed job
    or an unknown option.
    """
    jobs = [_job(j) for j in jobs]
    if not jobs:
        return []
    if tables is not None:
        if not os.path.isdir(tables):
            raise ValueError("tables: %s is not a directory" % os.fsdecode(tables))
        names = [_table_name(tables, science) for science, _, _ in jobs]
        twice = sorted({n for n in names if names.count(n) > 1})
        if twice:
            raise ValueError("two exposures would write their tables into %s" % twice[0])
    if client is None:
        where = _unguarded_call()
        if where:
            raise RuntimeError("correct_many starts worker processes that import the script again, so call it "
                               "under %s (it is not, at %s); with a client of your own it may run anywhere"
                               % (GUARD, where))
    from distributed import Client, LocalCluster, as_completed

    with contextlib.ExitStack() as stack:
        if client is None:
            cluster = stack.enter_context(LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                                       processes=True, dashboard_address=":0"))
            client = stack.enter_context(Client(cluster))
        elif isinstance(client, str):
            client = stack.enter_context(Client(client))
        batch = "tolv-%s" % uuid.uuid4().hex
        keys = ["%s-%d" % (batch, i) for i in range(len(jobs))]
        futures = [client.submit(_correct_one, key, science, fringes, options, lock_wait, tables, key=key,
                                 pure=False)
                   for key, (science, fringes, options) in zip(keys, jobs)]
        index = {future.key: i for i, future in enumerate(futures)}
        results = [None] * len(jobs)
        for future in as_completed(futures):
            i = index[future.key]
            try:
                results[i] = future.result()
            except Exception as e:  # the task itself was lost: workers died too often
                results[i] = Result(jobs[i][0], False, [], "the task failed: %s: %s" % (type(e).__name__, e), ())
            if finished is not None:
                finished(i, results[i])
        return results


def read_list(path):
    """The jobs of a list file: one exposure a line, the science file then its
    fringe files, words split as a shell splits them; blank lines and # comments
    left out.  ValueError naming the line when a line has fewer than two files."""
    jobs = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            words = shlex.split(line, comments=True)
            if not words:
                continue
            if len(words) < 2 or words[0].startswith("-"):
                raise ValueError("%s:%d: a line names a science file and its fringe files, not %r"
                                 % (path, number, line.strip()))
            jobs.append((words[0], words[1:]))
    return jobs


def main(argv=None):
    p = argparse.ArgumentParser(
        prog="python3 -m tolv.batch",
        description="Removes the fringes of many exposures at once, one Dask task per exposure, each "
                    "corrected in place as tolv does. Exit status: 0 when every exposure ended corrected, "
                    "1 when any failed, 2 when the list or the options cannot be used.")
    p.add_argument("list", metavar="LIST", help="a text file, one exposure a line: science fringe1 [fringe2 ...]")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler (tcp://host:8786)")
    where.add_argument("--workers", metavar="N", type=int,
                       help="worker processes of the local cluster made when no scheduler is given "
                            "(default: one per CPU)")
    p.add_argument("--iterations", metavar="N", type=int, default=_tolv.default_iterations,
                   help="clipped fits per extension (default %d)" % _tolv.default_iterations)
    p.add_argument("--clip", metavar="K", type=float, default=_tolv.default_clip,
                   help="clip threshold in sigma (default %g)" % _tolv.default_clip)
    p.add_argument("-e", "--extname", metavar="NAME", help="corrects only the extensions of this EXTNAME")
    p.add_argument("--mask", metavar="FILE", help="a mask mosaic for every exposure")
    p.add_argument("--force", action="store_true", help="corrects extensions already corrected again")
    p.add_argument("--no-record", dest="record", action="store_false", help="writes no record in the headers")
    p.add_argument("-E", "--per-exposure", dest="per_exposure", action="store_true",
                   help="one amplitude per fringe frame over all the extensions of an exposure")
    p.add_argument("--tables", metavar="DIR", help="writes each exposure's table into DIR/NAME.tsv")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no line on standard error as each exposure finishes")
    a = p.parse_args(argv)
    if a.workers is not None and a.workers < 1:
        p.error("--workers must be at least 1")
    try:
        jobs = read_list(a.list)
    except (OSError, ValueError) as e:
        p.error(str(e))
    options = {"iterations": a.iterations, "clip": a.clip, "extname": a.extname, "mask": a.mask,
               "force": a.force, "record": a.record, "per_exposure": a.per_exposure}

    def finished(_, r):
        if a.quiet:
            return
        said = ("failed: " + " / ".join(r.error.splitlines()) if not r.ok else
                "corrected, %d extension%s" % (len({row.extn for row in r.rows}),
                                               "" if len({row.extn for row in r.rows}) == 1 else "s")
                if r.rows else "nothing left to correct")
        print("%s: %s" % (r.file, said), file=sys.stderr, flush=True)

    try:
        results = correct_many([(s, f, options) for s, f in jobs], client=a.scheduler, workers=a.workers,
                               tables=a.tables, finished=finished)
    except ValueError as e:
        p.error(str(e))
    failed = [r for r in results if not r.ok]
    for r in failed:
        print("failed: %s: %s" % (r.file, " / ".join(r.error.splitlines())))
    skipped = sum(1 for r in results if r.ok and not r.rows)
    print("%d exposure%s: %d corrected%s, %d failed"
          % (len(results), "" if len(results) == 1 else "s", len(results) - len(failed),
             " (%d with nothing left to correct)" % skipped if skipped else "", len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
