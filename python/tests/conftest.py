"""Shared fixtures: the media files the C++ tests use, and mprobe's view of them."""
import json
import os
import subprocess

import pytest

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
