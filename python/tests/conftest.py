"""Shared fixtures: the media files the C++ tests use, and mprobe's view of
them; files made by hand (tests/support/media_files.py); child processes."""
import json
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "support"))
import media_files  # noqa: E402,F401  (for the test modules)

MPROBE = os.environ.get("MPROBE", "mprobe")
FIXTURE_DIR = os.environ["MEDIA_FIXTURE_DIR"]
WORK_DIR = os.environ.get("MEDIA_WORK_DIR", "/tmp")


def _fixtures():
    lines = subprocess.run([os.environ["MEDIA_FIXTURE_LIST"], FIXTURE_DIR], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    return dict(line.split(" ", 1) for line in lines)


FIXTURES = _fixtures()


def mprobe_json(paths, *options):
    """mprobe --json's objects for `paths`, in order."""
    run = subprocess.run([MPROBE, "--json", *options, "--", *paths], capture_output=True)
    assert run.returncode in (0, 1), run.stderr
    return json.loads(run.stdout)


def mprobe_ffprobe_json(paths):
    """mprobe --ffprobe-json's documents for `paths`, in order."""
    run = subprocess.run([MPROBE, "--ffprobe-json", "--", *paths], capture_output=True)
    assert run.returncode in (0, 1), run.stderr
    return [json.loads(line) for line in run.stdout.decode().splitlines()]


def as_json(description):
    """A probe() result in the form mprobe --json prints it."""
    if isinstance(description, dict):
        return {key: as_json(value) for key, value in description.items()}
    if isinstance(description, list):
        return [as_json(value) for value in description]
    if isinstance(description, tuple):
        return dict(zip(("pos", "timestamp", "flags", "size", "min_distance"), description))
    if isinstance(description, bytes):
        return description.hex()
    return description


@pytest.fixture(scope="session")
def fixtures():
    return FIXTURES


@pytest.fixture
def work_dir(tmp_path):
    return tmp_path


# The sanitizers' allocator keeps freed memory aside (its quarantine), so
# resident sizes say nothing about what the module holds.
SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("asan", "tsan"))


def child(code, *args, **popen):
    """Starts `code` in a new interpreter, which sees this one's environment
    (the module, the sanitizer runtime), with `args` as sys.argv[1:]."""
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], text=True,
                            stdout=subprocess.PIPE, **popen)


def status_kib(field, pid="self"):
    """A field of /proc/PID/status in KiB (VmRSS, VmHWM)."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))
