"""The scale-out recipes of docs/scale-out.md, run on this machine."""
import json
import os
import subprocess
import sys

import pytest

import media_probe
from conftest import FIXTURES, MPROBE

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
import dask_probe  # noqa: E402


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """300 files: links to every fixture under numbered names, in subdirectories."""
    root = tmp_path_factory.mktemp("corpus")
    names = sorted(FIXTURES)
    paths = []
    for i in range(300):
        folder = root / f"d{i % 7}"
        folder.mkdir(exist_ok=True)
        name = names[i % len(names)]
        path = folder / f"{i:03d}-{os.path.basename(FIXTURES[name])}"
        path.symlink_to(FIXTURES[name])
        paths.append(str(path))
    return root, sorted(paths)


def test_dask_local_cluster_equals_probe_many(corpus, tmp_path):
    _, paths = corpus
    listing = tmp_path / "paths.txt"
    listing.write_text("".join(p + "\n" for p in paths))
    output = tmp_path / "out.jsonl"
    assert dask_probe.main([str(listing), str(output), "--workers", "2", "--batch", "40"]) == 0
    got = output.read_text().splitlines()
    expected = [dask_probe.to_json(dask_probe.record(p, r))
                for p, r in media_probe.probe_many(paths)]
    assert len(got) == len(paths)
    assert got == expected


def test_gnu_parallel_chunks_equal_one_mprobe_run(corpus):
    root, _ = corpus
    find = f"find {root} -type l -print0 | sort -z"
    chunks = subprocess.run(
        f"{find} | parallel --pipe --recend '\\0' -N 50 -k -S 2/: "
        f"{MPROBE} -0 --files-from - --json-lines",
        shell=True, capture_output=True, check=False)
    single = subprocess.run(f"{find} | {MPROBE} -0 --files-from - --json-lines",
                            shell=True, capture_output=True, check=False)
    assert single.returncode == 1 and chunks.returncode != 0  # the corpus holds bad files
    assert chunks.stdout == single.stdout
    assert len(single.stdout.splitlines()) == 300
    assert all(json.loads(line)["filename"].startswith(str(root))
               for line in single.stdout.splitlines())
