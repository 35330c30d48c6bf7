"""media_probe.probe and probe_many against mprobe, on the shared fixtures."""
import errno
import json
import logging
import os
import pathlib
import subprocess
import threading

import pytest

import media_probe
from conftest import FIXTURES, as_json, media_files, mprobe_ffprobe_json, mprobe_json, status_kib

NAMES = sorted(FIXTURES)
PATHS = [FIXTURES[name] for name in NAMES]
MPROBE_FULL = dict(zip(NAMES, mprobe_json(PATHS)))
MPROBE_NO_INDEX = dict(zip(NAMES, mprobe_json(PATHS, "--no-index")))


def outcome(path, **options):
    """probe()'s dict, or the description a NotMediaError carries."""
    try:
        return media_probe.probe(path, **options)
    except media_probe.NotMediaError as error:
        return error.description


@pytest.mark.parametrize("name", NAMES)
def test_probe_equals_mprobe_json(name):
    expected = MPROBE_FULL[name]
    if expected["result"] == 0:
        assert as_json(media_probe.probe(FIXTURES[name])) == expected
        assert as_json(media_probe.probe(FIXTURES[name], index=False)) == MPROBE_NO_INDEX[name]
        return
    with pytest.raises(media_probe.NotMediaError) as caught:
        media_probe.probe(FIXTURES[name])
    assert expected["result"] == caught.value.description["result"] == 1
    assert caught.value.filename == expected["filename"] == caught.value.description["filename"]
    assert caught.value.error_text == expected["error_text"]


def test_a_failures_description_is_what_media_probe_json_gives_its_context():
    """NotMediaError.description holds the object media_probe_json writes for
    the context of a probe that returned 1 (printed by the C consumer), key
    for key in the same order, but that it names the file: the library's
    context has no name until the demuxer opens the file."""
    names = [name for name in NAMES if MPROBE_FULL[name]["result"] == 1]
    assert names == ["empty", "mp4_truncated", "random"]
    paths = [FIXTURES[name] for name in names]
    run = subprocess.run([os.environ["MEDIA_C_CONSUMER"], "--json", *paths],
                         capture_output=True, check=False)
    texts = run.stdout.decode().splitlines()
    assert len(texts) == len(paths), run.stderr
    for path, text in zip(paths, texts):
        expected = json.loads(text)
        assert expected["result"] == 1 and expected["filename"] is None
        expected["filename"] = path
        assert list(as_json(outcome(path)).items()) == list(expected.items())


MPROBE_FFPROBE = dict(zip(NAMES, mprobe_ffprobe_json(PATHS)))


def test_ffprobe_documents_equal_mprobe_ffprobe_json():
    """probe(ffprobe=True) and probe_many(ffprobe=True) give the document
    mprobe --ffprobe-json prints, keys in the same order and values of the
    same types; a file that cannot be described raises NotMediaError whose
    description is ffprobe's empty document."""
    many = dict(media_probe.probe_many(PATHS, ffprobe=True, jobs=2))
    for name, path in zip(NAMES, PATHS):
        expected = MPROBE_FFPROBE[name]
        got = outcome(path, ffprobe=True)
        assert json.dumps(got) == json.dumps(expected), name
        if isinstance(many[path], media_probe.NotMediaError):
            assert expected == {} and many[path].description == {}, name
        else:
            assert json.dumps(many[path]) == json.dumps(expected), name
    described = [name for name in NAMES if MPROBE_FFPROBE[name]]
    assert len(described) == len(NAMES) - 3
    sample = MPROBE_FFPROBE["h264_ntsc"]
    assert list(sample) == ["programs", "streams", "chapters", "format"]
    assert sample["streams"][0]["avg_frame_rate"] == "30000/1001"
    assert sample["format"]["probe_score"] == 100


def test_ffprobe_and_scan_cannot_be_combined():
    for call in (lambda: media_probe.probe(PATHS[0], ffprobe=True, scan=True),
                 lambda: media_probe.probe_many(PATHS, ffprobe=True, scan=True)):
        with pytest.raises(ValueError, match="ffprobe's document holds no scan"):
            call()


SCANNED = ["mkv_tracks", "mp4", "ts", "flv", "mp3_vbr"]


@pytest.mark.parametrize("name", SCANNED)
def test_a_scan_equals_mprobe_json_scan(name):
    path = FIXTURES[name]
    for options, index in (((), True), (("--no-index",), False)):
        expected = mprobe_json([path], "--scan", *options)[0]
        got = media_probe.probe(path, scan=True, index=index)
        assert as_json(got) == expected
        (_, many), = media_probe.probe_many([path], scan=True, index=index, jobs=1)
        assert many == got
        scans = [s["scan"] for s in got["video"] + got["audio"] + got["other"]]
        assert scans and all(scan and scan["packets"] >= 0 for scan in scans)
        assert ("keyframes" in got["video"][0]["scan"]) == index if got["video"] else True
    assert media_probe.probe(path)["scan_duration_us"] is None


def test_index_entries_are_tuples_and_config_bytes_are_bytes():
    video = media_probe.probe(FIXTURES["mp4"])["video"][0]
    assert isinstance(video["spspps"], bytes) and len(video["spspps"]) == video["spspps_len"]
    assert video["entries"] and all(isinstance(e, tuple) and len(e) == 5 for e in video["entries"])


def test_hdr_records_chapters_and_programs_are_dicts_and_lists():
    hdr = media_probe.probe(FIXTURES["mkv_hdr10_no_sei"], index=False)["video"][0]
    assert hdr["mastering_display"]["source"] == "container"
    assert hdr["mastering_display"]["max_luminance"] == 1000.0
    assert hdr["content_light"] == {"max_cll": 1000, "max_fall": 400, "source": "container"}
    assert hdr["dovi"] is None and hdr["stream_id"] is None
    assert hdr["side_data_types"] == ["Content light level metadata", "Mastering display metadata"]
    assert hdr["hdr_format"] == "HDR10"
    assert media_probe.probe(FIXTURES["hevc_dovi"])["video"][0]["dovi"]["profile"] == 8
    ts = media_probe.probe(FIXTURES["ts_programs"], index=False)
    assert [p["stream_indexes"] for p in ts["programs"]] == [[0, 1], [2, 3]]
    assert ts["programs"][0]["tags"]["service_name"] == "First"
    assert ts["audio"][0]["stream_id"] == 0x102 and ts["duration_estimate"] == "pts"
    chapters = media_probe.probe(FIXTURES["mkv_chapters"], index=False)["chapters"]
    assert [c["title"] for c in chapters] == ["Opening", "Ending"]
    assert media_probe.probe(FIXTURES["wav"])["chapters"] == []


def _fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


FAILURES = [
    # name, make the path, exception type, errno or None
    ("missing", lambda d: str(d / "missing.mp4"), FileNotFoundError, errno.ENOENT),
    ("directory", lambda d: str(d), IsADirectoryError, errno.EISDIR),
    ("fifo", _fifo, OSError, errno.EINVAL),
    ("empty", lambda d: FIXTURES["empty"], media_probe.NotMediaError, None),
    ("random", lambda d: FIXTURES["random"], media_probe.NotMediaError, None),
]


@pytest.mark.parametrize("name,make,kind,number", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_raise_with_the_path(tmp_path, name, make, kind, number):
    path = make(tmp_path)
    with pytest.raises(kind) as caught:
        media_probe.probe(path)
    assert caught.value.filename == path
    if number is not None:
        assert caught.value.errno == number
    else:
        assert isinstance(caught.value, ValueError)
        assert caught.value.error_text
        assert caught.value.description["error_text"] == caught.value.error_text


def test_unreadable_file_raises_permission_error(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    path = tmp_path / "locked.mp4"
    path.write_bytes(b"")
    path.chmod(0)
    with pytest.raises(PermissionError):
        media_probe.probe(str(path))


def test_paths_as_str_bytes_pathlike_and_non_utf8_names(tmp_path):
    expected = media_probe.probe(FIXTURES["mp4"])
    odd = os.path.join(os.fsencode(tmp_path), b"\xff\xfe clip.mp4")
    os.symlink(os.fsencode(FIXTURES["mp4"]), odd)
    for path in (FIXTURES["mp4"], os.fsencode(FIXTURES["mp4"]), pathlib.Path(FIXTURES["mp4"])):
        assert media_probe.probe(path) == expected
    names = ("filename", "filename_bytes")
    for path in (odd, os.fsdecode(odd)):
        got = media_probe.probe(path)
        assert got["filename"] == odd.decode("utf-8", "replace")
        assert got["filename_bytes"] == odd
        assert list(got)[:2] == list(names)
        assert {k: v for k, v in got.items() if k not in names} == {
            k: v for k, v in expected.items() if k not in names}


NAMES_AS_BYTES = [
    # the link's name, the fixture it names, whether the name is not UTF-8
    (b"clip.mp4", "mp4", False),
    ("caf\u00e9 clip.mp4".encode(), "mp4", False),
    (b"\xff\xfe clip.mp4", "mp4", True),
    (b"caf\xe9 random.bin", "random", True),  # not opened by any demuxer
    (b"caf\xe9 truncated.mp4", "mp4_truncated", True),
]


@pytest.mark.parametrize("name,fixture,raw", NAMES_AS_BYTES,
                         ids=[repr(n[0]) for n in NAMES_AS_BYTES])
def test_a_name_that_is_not_utf8_follows_filename_as_filename_bytes(tmp_path, name, fixture, raw):
    link = os.path.join(os.fsencode(tmp_path), name)
    os.symlink(os.fsencode(FIXTURES[fixture]), link)
    for path in (link, os.fsdecode(link)):
        got = outcome(path)
        (_, many), = media_probe.probe_many([path], jobs=1)
        assert (many.description if isinstance(many, Exception) else many) == got
        assert got["filename"] == link.decode("utf-8", "replace")
        if raw:
            assert list(got)[:3] == ["filename", "filename_bytes", "result"]
            assert got["filename_bytes"] == link
        else:
            assert "filename_bytes" not in got


@pytest.fixture(scope="module")
def mp3(tmp_path_factory):
    """A 48 KB MP3 (3 s at 128 kbit/s) as ffmpeg makes it, as bytes."""
    path = tmp_path_factory.mktemp("mp3") / "plain.mp3"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=3",
                    "-c:a", "libmp3lame", "-b:a", "128k", str(path)], check=True)
    return path.read_bytes()


TAG_KEYS = [
    # what, the ID3v2 TXXX frames (key, value) put before the MP3, its first tags
    ("Latin-1 key and value declared UTF-8", [(b"caf\xe9", b"cr\xe8me")],
     {"caf\ufffd": "cr\ufffdme"}),
    ("two keys equal once replaced are one: the last value in the first place",
     [(b"caf\xe9", b"first"), (b"plain", b"ok"), (b"caf\xe8", b"second")],
     {"caf\ufffd": "second", "plain": "ok"}),
    ("UTF-8 key and value", [("caf\u00e9".encode(), "cr\u00e8me".encode())],
     {"caf\u00e9": "cr\u00e8me"}),
]


@pytest.mark.parametrize("what,frames,expected", TAG_KEYS, ids=[t[0] for t in TAG_KEYS])
def test_tag_keys_are_decoded_as_values_are(tmp_path, mp3, what, frames, expected):
    path = tmp_path / "tagged.mp3"
    path.write_bytes(media_files.id3v2_tag(frames) + mp3)
    tags = media_probe.probe(path)["tags"]
    assert list(tags.items())[:len(expected)] == list(expected.items())
    assert tags == mprobe_json([str(path)])[0]["tags"]
    results = [result for _, result in media_probe.probe_many([path, FIXTURES["mp4"]], jobs=2)]
    assert results[0]["tags"] == tags and results[1]["container_name"]


def test_probe_many_keeps_input_order_and_reports_errors_as_values(tmp_path):
    paths = PATHS + [str(tmp_path / "missing.mp4"), 42] + PATHS[::-1]
    one = list(media_probe.probe_many(paths, jobs=1))
    four = list(media_probe.probe_many(iter(paths), jobs=4))
    assert [p for p, _ in one] == paths == [p for p, _ in four]
    for (path, a), (_, b) in zip(one, four):
        if isinstance(a, BaseException):
            assert type(a) is type(b) and str(a) == str(b)
        else:
            assert a == b == media_probe.probe(path)
    assert isinstance(one[len(PATHS)][1], FileNotFoundError)
    assert isinstance(one[len(PATHS) + 1][1], TypeError)
    assert isinstance(dict(zip(NAMES, (r for _, r in one)))["empty"], media_probe.NotMediaError)


def test_probe_many_raises_what_the_input_raises_after_its_paths():
    def paths():
        yield FIXTURES["mp4"]
        raise RuntimeError("listing failed")

    results = media_probe.probe_many(paths(), jobs=2)
    assert next(results)[1]["container_name"]
    with pytest.raises(RuntimeError, match="listing failed"):
        next(results)


def test_python_threads_probe_at_once_with_the_same_results():
    expected = {path: outcome(path) for path in PATHS}
    got, failures = [], []

    def run():
        try:
            for _ in range(5):
                got.append({path: outcome(path) for path in PATHS})
        except Exception as error:  # reported below, with the thread's error
            failures.append(error)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert len(got) == 20 and all(g == expected for g in got)


def test_notes_go_to_logging_with_their_file(caplog, capfd):
    caplog.set_level(logging.INFO, logger="media_probe")
    mkv = FIXTURES["mkv"]
    list(media_probe.probe_many([mkv, FIXTURES["mp4"]], jobs=2))
    media_probe.probe(mkv)
    messages = [r.getMessage() for r in caplog.records if r.name == "media_probe"]
    # The fixture has a subtitle stream (2) and an attachment (3); one note
    # each, from each of the two probes.
    assert messages == [f"{mkv}: subtitle stream 2 not described",
                        f"{mkv}: attachment stream 3 not described"] * 2
    assert capfd.readouterr().out == ""


def test_two_thousand_probes_keep_the_resident_set_flat():
    paths = [FIXTURES[name] for name in ("mp4", "mkv", "empty")]

    def run(count):
        for i in range(count):
            outcome(paths[i % len(paths)])

    run(300)
    before = status_kib("VmRSS")
    run(2000)
    assert status_kib("VmRSS") - before < 4096
