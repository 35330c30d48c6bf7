#!/usr/bin/python3
"""The Python module against the other ways Python programs describe media.

    python_bench.py [--smoke] --work DIR

Each figure is a ratio of two ways measured side by side in one run,
alternating round by round, the median round counting. Prints one line per
figure with its target; bench/run runs it with PYTHONPATH set to the built
module. Exit status 1 when a benchmark could not run.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
import tracemalloc

import media_probe

# 20-second 720p clips: what the per-file targets were set on.
CLIPS = {
    "mp4": ["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"],
    "mkv": ["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"],
    "flv": ["-c:v", "flv", "-c:a", "aac"],
}


def make_clips(work, seconds, size):
    paths = {}
    for container, codecs in CLIPS.items():
        path = os.path.join(work, f"clip{seconds}s-{size}.{container}")
        if not os.path.exists(path):
            subprocess.run(
                ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                 f"testsrc=size={size}:rate=25:duration={seconds}", "-f", "lavfi", "-i",
                 f"sine=duration={seconds}", *codecs, path + ".part." + container],
                check=True)
            os.rename(path + ".part." + container, path)
        paths[container] = path
    return paths


def with_pyav(path):
    import av  # late: see main()

    with av.open(path) as container:
        for stream in container.streams:
            context = stream.codec_context
            (context.name, getattr(context, "width", None), getattr(context, "sample_rate", None),
             context.bit_rate, stream.time_base, stream.duration)


def seconds_per_call(function, path, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function(path)
    return (time.perf_counter() - start) / calls


def side_by_side(ways, path, rounds, calls):
    """Median over rounds of each way's time per call, the ways alternating."""
    times = {name: [] for name in ways}
    for _ in range(rounds):
        for name, function in ways.items():
            times[name].append(seconds_per_call(function, path, calls))
    return {name: statistics.median(t) for name, t in times.items()}


def row(name, ratio, target, met, detail):
    mark = "yes" if met else "NO"
    print(f"{name:<46} {ratio:>8.3f}  target {target:<8} {mark:<4} {detail}", flush=True)


def bench_per_file(clips, smoke):
    rounds, calls = (1, 2) if smoke else (7, 10)
    for container, path in clips.items():
        t = side_by_side({
            "pyav": with_pyav,
            "ours": lambda p: media_probe.probe(p, index=False),
            "ours_index": media_probe.probe,
        }, path, rounds, calls)
        detail = (f"PyAV {t['pyav'] * 1e3:.2f} ms, ours {t['ours'] * 1e3:.2f} ms, "
                  f"with index {t['ours_index'] * 1e3:.2f} ms")
        row(f"probe(index=False) vs PyAV, {container}", t["ours"] / t["pyav"], "<= 1.05",
            t["ours"] <= 1.05 * t["pyav"], detail)
        row(f"probe() with index vs PyAV, {container}", t["ours_index"] / t["pyav"], "<= 1.10",
            t["ours_index"] <= 1.10 * t["pyav"], "")


def bench_jobs(clips, smoke):
    paths = [clips["mkv"]] * (8 if smoke else 400)
    t = {}
    for jobs in (1, 2, 1, 2):
        start = time.perf_counter()
        for _ in media_probe.probe_many(paths, jobs=jobs, index=False):
            pass
        t.setdefault(jobs, []).append(time.perf_counter() - start)
    speedup = min(t[1]) / min(t[2])
    row("probe_many(jobs=2) vs jobs=1", speedup, ">= 1.8x", speedup >= 1.8,
        f"{len(paths)} files, {min(t[1]):.2f} s vs {min(t[2]):.2f} s")


def bench_thousand_files(clips, smoke):
    """1,000 small files with probe_many against one ffprobe process per file
    with json.loads; ffprobe runs over a sample of each round and is scaled
    to 1,000. Rounds alternate the two; the medians count."""
    files = (list(clips.values()) * 334)[:1000]
    rounds, sample = (1, 3) if smoke else (3, 20)
    ours, theirs = [], []
    for r in range(rounds):
        start = time.perf_counter()
        for _ in media_probe.probe_many(files, index=False):
            pass
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        for path in files[r * sample:(r + 1) * sample]:
            out = subprocess.run(["ffprobe", "-v", "quiet", "-print_format", "json",
                                  "-show_format", "-show_streams", path],
                                 capture_output=True, check=True).stdout
            json.loads(out)
        theirs.append((time.perf_counter() - start) / sample * len(files))
    ours, theirs = statistics.median(ours), statistics.median(theirs)
    row("1,000 files: probe_many vs ffprobe per file", theirs / ours, ">= 100x",
        theirs >= 100 * ours,
        f"{ours:.2f} s vs {theirs:.1f} s (ffprobe on {sample} a round, scaled)")


def bench_index_objects(clips, smoke):
    """What the seek index costs as Python objects: the memory a description
    takes with its index beyond the one without, per entry, traced by
    tracemalloc. The library's own entry is 24 bytes."""
    grown, entries = 0, 0
    for path in clips.values():
        sizes = {}
        for index in (False, True):
            tracemalloc.start()
            description = media_probe.probe(path, index=index)
            sizes[index] = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
        grown += sizes[True] - sizes[False]
        entries += sum(len(stream["entries"]) for kind in ("video", "audio", "subtitle")
                       for stream in description[kind])
    per_entry = grown / entries
    row("index as Python objects, bytes per entry", per_entry, "<= 200", per_entry <= 200,
        f"{entries} entries over {len(clips)} clips, {grown / 2**20:.1f} MiB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, figures not judged")
    parser.add_argument("--work", required=True, help="folder for the clips")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    clips = make_clips(args.work, 2 if args.smoke else 20, "320x240" if args.smoke else "1280x720")
    small = make_clips(args.work, 1, "160x120")
    print(f"Python module {media_probe.__version__}, Python {sys.version.split()[0]}")
    failed = 0
    # PyAV routes FFmpeg's log messages through a Python callback once it is
    # imported, which every probe in the process then pays for: the
    # comparison with PyAV runs last.
    for bench, files in ((bench_jobs, clips), (bench_thousand_files, small),
                         (bench_index_objects, clips), (bench_per_file, clips)):
        try:
            bench(files, args.smoke)
        except Exception as error:  # one broken benchmark must not hide the others
            print(f"{bench.__name__}: FAILED: {error}", flush=True)
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
