"""Damaged files: the fixtures with bytes flipped, cut short, spliced,
repeated or overwritten, through probe() and through probe_many() on several
workers with several threads sharing the iterator. Every outcome must be a
description or a documented exception (NotMediaError, OSError, MemoryError),
the same whichever way the file was probed and the same as mprobe --json
says; nothing may crash.

The rounds run in a child interpreter, so that a crash names its files.
    MEDIA_PROBE_MUTATION_SECONDS  how long the rounds go on (3 by default)
    MEDIA_PROBE_MUTATION_SEED     the first round's seed (1 by default), or "random"
For a longer run:
    MEDIA_PROBE_MUTATION_SECONDS=600 MEDIA_PROBE_MUTATION_SEED=random \\
        ctest --test-dir build-tests -R python.mutated --output-on-failure
"""
import json
import os
import random
import subprocess
import sys
import threading
import time

import media_probe
from conftest import FIXTURES, as_json, media_files, mprobe_json

DOCUMENTED = (media_probe.NotMediaError, OSError, MemoryError)


def summary(result):
    """What must agree between two outcomes of one file."""
    if isinstance(result, media_probe.NotMediaError):
        return {"raised": "NotMediaError", "error_text": result.error_text,
                "description": as_json(result.description)}
    if isinstance(result, BaseException):
        return {"raised": type(result).__name__, "text": str(result)}
    return as_json(result)


def probe_outcome(path, index):
    try:
        return summary(media_probe.probe(path, index=index))
    except DOCUMENTED as error:
        return summary(error)


def shared_outcomes(paths, index, jobs, consumers):
    """probe_many's (path, outcome) pairs, read by `consumers` threads."""
    results = media_probe.probe_many(paths, jobs=jobs, index=index)
    got, failures = [], []

    def consume():
        try:
            for path, result in results:
                got.append((path, result))
        except BaseException as error:  # a finding, reported by the caller
            failures.append(error)

    threads = [threading.Thread(target=consume) for _ in range(consumers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return got


def one_round(seed, work, report):
    """Mutates one fixture five ways and probes the files every way."""
    rng = random.Random(seed)
    name = rng.choice(sorted(n for n in FIXTURES if os.path.getsize(FIXTURES[n]) > 0))
    with open(FIXTURES[name], "rb") as original:
        data = original.read()
    paths = []
    for how, mutated in media_files.mutations(data, rng):
        path = os.path.join(work, f"{seed}-{how}-{os.path.basename(FIXTURES[name])}")
        with open(path, "wb") as out:
            out.write(mutated)
        paths.append(path)
    index = rng.random() < 0.5
    print("round", seed, "index" if index else "no-index", *paths, flush=True)
    expected = {}
    for path in paths:
        try:
            expected[path] = probe_outcome(path, index)
        except BaseException as error:
            report("probe raised", path, repr(error))
    options = () if index else ("--no-index",)
    for path, json_form in zip(paths, mprobe_json(paths, *options)):
        got = expected.get(path)
        if got is None:
            continue
        # mprobe's object for a file it could not describe is short.
        same = (got == json_form if json_form["result"] == 0 else
                got.get("error_text") == json_form.get("error_text"))
        if not same:
            report("differs from mprobe --json", path, "")
    try:
        for path, result in shared_outcomes(paths * 3, index, jobs=3, consumers=3):
            if not isinstance(result, (dict,) + DOCUMENTED):
                report("probe_many gave", path, repr(result))
            elif path in expected and summary(result) != expected[path]:
                report("probe_many differs from probe", path, "")
    except BaseException as error:
        report("probe_many raised", "", repr(error))
    for path in paths:
        os.remove(path)


def main(seconds, seed, work):
    findings = []

    def report(what, path, detail):
        findings.append(what)
        print("finding", json.dumps({"what": what, "path": path, "detail": detail}), flush=True)

    deadline = time.monotonic() + seconds
    rounds = 0
    while rounds == 0 or time.monotonic() < deadline:
        one_round(seed + rounds, work, report)
        rounds += 1
    print("rounds", rounds, "findings", len(findings), flush=True)
    return 1 if findings else 0


def test_damaged_files_give_descriptions_or_documented_errors(tmp_path):
    seconds = float(os.environ.get("MEDIA_PROBE_MUTATION_SECONDS", "3"))
    seed = os.environ.get("MEDIA_PROBE_MUTATION_SEED", "1")
    seed = random.randrange(1 << 32) if seed == "random" else int(seed)
    run = subprocess.run([sys.executable, __file__, str(seconds), str(seed), str(tmp_path)],
                         capture_output=True, text=True, timeout=seconds + 600)
    lines = run.stdout.splitlines()
    print(f"seed {seed}: {lines[-1] if lines else 'no output'}")
    findings = [line for line in lines if line.startswith("finding")]
    assert run.returncode == 0, "\n".join(
        [f"seed {seed}: the rounds ended with status {run.returncode} after:"] + lines[-8:]
        + [run.stderr[-4000:]])
    assert not findings, "\n".join(findings)


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]), int(sys.argv[2]), sys.argv[3]))
