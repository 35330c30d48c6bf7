"""The worker examples of mprobe(1), run as the rendered page prints them: a
program that keeps one mprobe running and asks it about one file after
another, in Python and, when node is installed, in Node (skipped otherwise).
Each waits for a path's answer before it writes the next, so an mprobe that
held its answers back until its input ended would stall them."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

MPROBE = os.environ["MPROBE"]
PAGE = os.environ["MPROBE_PAGE"]
FIXTURE_DIR = os.environ["MEDIA_FIXTURE_DIR"]


def _fixtures():
    lines = subprocess.run([os.environ["MEDIA_FIXTURE_LIST"], FIXTURE_DIR], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    return dict(line.split(" ", 1) for line in lines)


FIXTURES = _fixtures()


def example(first_line):
    """The example of the page that starts with `first_line`, as man renders
    it, up to the empty line that follows it."""
    page = subprocess.run(["man", "-l", PAGE], capture_output=True, text=True, check=True,
                          env={**os.environ, "LC_ALL": "C", "MANWIDTH": "200"}).stdout
    lines = page.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == first_line)
    return textwrap.dedent("\n".join(lines[start:lines.index("", start)])) + "\n"


def run_example(tmp_path, interpreter, name, first_line):
    script = tmp_path / name
    script.write_text(example(first_line))
    paths = [FIXTURES["mp4"], str(tmp_path / "missing.mkv"), FIXTURES["mkv_tracks"],
             FIXTURES["random"], FIXTURES["ts_programs"]]
    env = {**os.environ, "PATH": os.path.dirname(MPROBE) + os.pathsep + os.environ["PATH"]}
    run = subprocess.run([interpreter, str(script), *paths], capture_output=True, text=True,
                         env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        f"{paths[0]} mov,mp4,m4a,3gp,3g2,mj2",
        f"{paths[1]} not found",
        f"{paths[2]} matroska,webm",
        f"{paths[3]} not a media file",
        f"{paths[4]} mpegts",
    ]
    # mprobe's own lines on the standard error the example left it.
    assert f"mprobe: {paths[1]}: not found\n" in run.stderr
    assert "mprobe: 2 of 5 files not described" in run.stderr


def test_the_python_example_asks_one_mprobe_file_by_file(tmp_path):
    run_example(tmp_path, sys.executable, "describe.py",
                "# describe.py: python3 describe.py FILE...")


def test_the_node_example_asks_one_mprobe_file_by_file(tmp_path):
    node = shutil.which("node")
    if not node:
        pytest.skip("node is not installed")
    run_example(tmp_path, node, "describe.js", "// describe.js: node describe.js FILE...")
