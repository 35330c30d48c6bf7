"""probe_many's iterator shared by threads, interrupted, caught in reference
cycles and read slowly; what probe and probe_many hold without the index."""
import gc
import json
import os
import signal
import threading
import time

import pytest

import media_probe
from conftest import FIXTURES, SANITIZED, child, media_files

SOURCES = [FIXTURES[name] for name in sorted(FIXTURES)]


class Numbered(os.PathLike):
    """A path that knows its place in the input; `path` None: one that has
    no file system encoding (os.fspath raises TypeError)."""

    def __init__(self, position, path):
        self.position, self.path = position, path

    def __fspath__(self):
        return self.path if self.path is not None else 42

    def __repr__(self):
        return repr(self.path)


def summary(result):
    """What must agree between two outcomes of one path."""
    if isinstance(result, media_probe.NotMediaError):
        return "NotMediaError", result.error_text, result.description
    if isinstance(result, OSError):
        return type(result), result.errno
    if isinstance(result, BaseException):
        return type(result), str(result)
    return result


def probed(path, index):
    try:
        return summary(media_probe.probe(path, index=index))
    except (OSError, media_probe.NotMediaError, TypeError) as error:
        return summary(error)


SHARED = [
    # jobs, consumer threads, index
    (1, 4, True),
    (3, 4, False),
    (16, 4, True),
]


@pytest.mark.parametrize("jobs,consumers,index", SHARED)
def test_threads_sharing_one_iterator_get_each_outcome_once_in_order(tmp_path, jobs, consumers,
                                                                      index):
    sources = SOURCES + [str(tmp_path / "missing.mp4"), None]
    expected = {source: probed(source, index) if source else (TypeError, None)
                for source in sources}
    paths = [Numbered(i, sources[i % len(sources)]) for i in range(8 * len(sources))]
    results = media_probe.probe_many(iter(paths), jobs=jobs, index=index)
    start = threading.Barrier(consumers)
    got = [[] for _ in range(consumers)]
    failures = []

    def consume(mine):
        try:
            start.wait()
            for pair in results:
                mine.append(pair)
        except Exception as error:  # reported below
            failures.append(error)

    threads = [threading.Thread(target=consume, args=(got[i],), daemon=True)
               for i in range(consumers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "consumers still waiting"
    assert not failures
    positions = sorted(path.position for mine in got for path, _ in mine)
    assert positions == list(range(len(paths))), "every outcome, each once"
    for mine in got:
        claimed = [path.position for path, _ in mine]
        assert claimed == sorted(claimed), "each thread's outcomes in input order"
        for path, result in mine:
            if path.path is None:
                assert isinstance(result, TypeError)
            else:
                assert summary(result) == expected[path.path]
    assert sum(1 for mine in got if mine) > 1, "the threads took turns"


INTERRUPTED = r"""
import os, sys, time, media_probe
jobs, keep, paths = int(sys.argv[1]), sys.argv[2] == "keep", sys.argv[3:]
def threads():  # probe_many's worker threads, which the module names
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() == "media_probe"
        except (FileNotFoundError, ProcessLookupError):
            pass
    return count
before = threads()
results = media_probe.probe_many(paths, jobs=jobs, index=False)
try:
    for i, (path, result) in enumerate(results):
        if i == 0:
            if not keep:
                del results  # only the loop holds the iterator: the interrupt drops it
            print("probing", flush=True)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
if keep:
    print("then", next(results, "ended"), flush=True)
deadline = time.monotonic() + 5
while threads() > before and time.monotonic() < deadline:
    time.sleep(0.01)
print("threads", threads() - before, time.monotonic(), flush=True)
"""

INTERRUPTS = [
    # jobs, the iterator is referenced beyond the loop ("keep") or not ("drop")
    (1, "drop"),
    (4, "drop"),
    (4, "keep"),
]


@pytest.mark.parametrize("jobs,keep", INTERRUPTS)
def test_keyboard_interrupt_stops_probe_many_and_its_probes_within_a_second(tmp_path, jobs, keep):
    # A live playlist that never grows: each probe waits a second for it.
    live = tmp_path / "live.m3u8"
    live.write_text("#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n")
    run = child(INTERRUPTED, jobs, keep, FIXTURES["mp4"], *[live] * 40)
    try:
        assert run.stdout.readline() == "probing\n"
        time.sleep(0.3)  # into the playlists' probes
        sent = time.monotonic()
        run.send_signal(signal.SIGINT)
        lines = [line.split() for line in run.stdout]
        assert run.wait(30) == 0
    finally:
        run.kill()
        run.wait()
    assert lines[0][0] == "interrupted"
    print(f"jobs={jobs} {keep}: KeyboardInterrupt after {float(lines[0][1]) - sent:.3f} s, "
          f"{lines[-1][1]} workers left after {float(lines[-1][2]) - sent:.3f} s")
    assert float(lines[0][1]) - sent < 1.0, "KeyboardInterrupt within a second"
    if keep == "keep":
        assert lines[1] == ["then", "ended"], "an interrupted iterator has ended"
    assert lines[-1][:2] == ["threads", "0"]
    assert float(lines[-1][2]) - sent < 1.0, "the workers ended within a second"


def _threads():
    """probe_many's worker threads in this process, which the module names."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() == "media_probe"
        except (FileNotFoundError, ProcessLookupError):  # the thread ended meanwhile
            pass
    return count


def _settled_threads():
    """The thread count once the workers of iterators dropped before have
    ended (they end on their own, soon after)."""
    count, deadline = _threads(), time.monotonic() + 2
    while time.monotonic() < deadline:
        time.sleep(0.05)
        count, before = _threads(), count
        if count == before:
            break
    return count


class Walker:
    """Holds its probe_many iterator, which holds the walk, which holds it."""

    def __init__(self, paths):
        self.paths = paths
        self.results = media_probe.probe_many(self.walk(), jobs=16)

    def walk(self):
        yield from self.paths


def test_iterators_in_reference_cycles_are_freed_with_their_threads(tmp_path):
    gc.collect()
    before = _settled_threads()
    for _ in range(20):
        walker = Walker([tmp_path / "missing.mp4"] * 1000)
        assert isinstance(next(walker.results)[1], FileNotFoundError)
        del walker
    # A worker names itself once it runs: on a busy machine the last ones
    # started may not have run yet.
    deadline = time.monotonic() + 5
    while _threads() < before + 20 * 16 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert _threads() >= before + 20 * 16, "the workers live while the cycle does"
    gc.collect()
    deadline = time.monotonic() + 2
    while _threads() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert _threads() <= before


MEMORY = r"""
import json, os, sys, time, media_probe
how, jobs, index, small, path, count = sys.argv[1:]
jobs, index, count = int(jobs), index == "True", int(count)

def kib(field):
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith(field + ":"))

start = kib("VmRSS")
if how == "probe":
    media_probe.probe(path, index=index)
else:
    results = media_probe.probe_many([small] + [path] * count, jobs=jobs, index=index)
    next(results)
    # A consumer slower than anything: the workers go on as far as they will.
    cpu = lambda: sum(os.times()[:2])
    last = cpu()
    for _ in range(120):
        time.sleep(0.5)
        if cpu() - last < 0.02:
            break
        last = cpu()
print(json.dumps({"start": start, "peak": kib("VmHWM")}))
"""

SAMPLES = 4_000_000
INDEX_MIB = SAMPLES * 24 / 2**20  # one copy of the index (StreamEntry is 24 bytes)

BOUNDS = [
    # what, probe or probe_many, jobs, index, files, MiB allowed beyond the start
    ("probe(index=False) never copies the index, the demuxer holds its own",
     "probe", 1, False, 1, 1.5 * INDEX_MIB),
    ("probe_many(index=False) holds no index for a slow consumer",
     "many", 2, False, 8, 2 * 1.5 * INDEX_MIB),
    ("probe_many holds 256 MiB of outcomes and a file a thread for a slow consumer",
     "many", 2, True, 12, 256 + 2 * 2 * INDEX_MIB + 64),
]


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps freed memory aside")
@pytest.mark.parametrize("what,how,jobs,index,files,allowed", BOUNDS, ids=[b[0] for b in BOUNDS])
def test_memory_held_for_large_indexes(tmp_path, what, how, jobs, index, files, allowed):
    big = tmp_path / "big.mp4"
    # Media data for every sample: an index cannot have more entries than its
    # file has bytes.
    big.write_bytes(media_files.sample_table_mp4(SAMPLES, bytes(SAMPLES)))
    run = child(MEMORY, how, jobs, index, FIXTURES["mp4"], big, files)
    out, _ = run.communicate(timeout=120)
    assert run.returncode == 0
    figures = json.loads(out)
    grown = (figures["peak"] - figures["start"]) / 1024
    print(f"{what}: {grown:.0f} MiB beyond the start, {allowed:.0f} allowed")
    assert grown < allowed
