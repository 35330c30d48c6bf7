"""libmedia_probe.so.1 loaded by Python's ctypes, as programs in languages
that load C at run time use it: the records are read through
ctypes.Structure definitions of their leading fields (new fields only ever
go at a record's end, so a caller may declare fewer), and compared with
mprobe --json, which reads the same records in C."""
import ctypes
import errno
import json
import os

import pytest

from conftest import FIXTURES, mprobe_ffprobe_json, mprobe_json

LIBRARY_PATH = os.environ["MEDIA_PROBE_LIBRARY"]

c_int32, c_int64 = ctypes.c_int32, ctypes.c_int64


class StreamEntry(ctypes.Structure):
    _fields_ = [("pos", c_int64), ("timestamp", c_int64), ("flags", ctypes.c_int, 2),
                ("size", ctypes.c_int, 30), ("min_distance", ctypes.c_int)]


class VideoStreamContext(ctypes.Structure):
    pass


VideoStreamContext._fields_ = [
    ("codec_name", ctypes.c_char_p), ("width", c_int32), ("height", c_int32),
    ("fps", ctypes.c_double), ("bit_rate", c_int32), ("duration", c_int32),
    ("spspps_len", c_int32), ("spspps", ctypes.POINTER(ctypes.c_uint8)),
    ("entry_count", c_int64), ("entries", ctypes.POINTER(StreamEntry)),
    ("next", ctypes.POINTER(VideoStreamContext)),
]


class AudioStreamContext(ctypes.Structure):
    pass


AudioStreamContext._fields_ = [
    ("codec_name", ctypes.c_char_p), ("sample_rate", c_int32), ("channels", c_int32),
    ("bit_rate", c_int32), ("duration", c_int32), ("entry_count", c_int64),
    ("entries", ctypes.POINTER(StreamEntry)), ("next", ctypes.POINTER(AudioStreamContext)),
]


class MediaContext(ctypes.Structure):
    _fields_ = [
        ("filename", ctypes.c_char_p), ("file_size", c_int64),
        ("container_name", ctypes.c_char_p), ("duration", c_int32), ("bit_rate", c_int32),
        ("mime_type", ctypes.c_int), ("mime_type_str", ctypes.c_char_p),
        ("video", ctypes.POINTER(VideoStreamContext)),
        ("audio", ctypes.POINTER(AudioStreamContext)), ("subtitle", ctypes.c_void_p),
        ("format_long_name", ctypes.c_char_p), ("stream_count", c_int32),
        ("duration_us", c_int64), ("start_time_us", c_int64), ("total_bit_rate", c_int64),
        ("chapter_count", c_int32), ("tag_count", c_int32), ("tags", ctypes.c_void_p),
        ("other", ctypes.c_void_p), ("error_text", ctypes.c_char_p),
    ]


@pytest.fixture(scope="module")
def lib():
    library = ctypes.CDLL(LIBRARY_PATH, use_errno=True)
    context = ctypes.POINTER(MediaContext)
    for name, restype, argtypes in (
            ("create_media_context", context, []),
            ("build_media_info", ctypes.c_int, [context, ctypes.c_char_p]),
            ("free_media_context", ctypes.c_int, [context]),
            ("media_probe_result_text", ctypes.c_char_p, [ctypes.c_int]),
            ("media_probe_version", ctypes.c_char_p, [])):
        function = getattr(library, name)
        function.restype, function.argtypes = restype, argtypes
    return library


def text(value):
    return None if value is None else value.decode()


def nodes(head):
    while head:
        yield head.contents
        head = head.contents.next


def entries(node):
    return [{name: getattr(e, name) for name in ("pos", "timestamp", "flags", "size",
                                                  "min_distance")}
            for e in node.entries[:node.entry_count]] if node.entries else []


def video(v):
    return {"codec_name": text(v.codec_name), "width": v.width, "height": v.height,
            "fps": v.fps, "bit_rate": v.bit_rate, "duration": v.duration,
            "spspps_len": v.spspps_len, "spspps": bytes(v.spspps[:v.spspps_len]).hex(),
            "entry_count": v.entry_count, "entries": entries(v)}


def audio(a):
    return {"codec_name": text(a.codec_name), "sample_rate": a.sample_rate,
            "channels": a.channels, "bit_rate": a.bit_rate, "duration": a.duration,
            "entry_count": a.entry_count, "entries": entries(a)}


CONTEXT_FIELDS = ("file_size", "duration", "bit_rate", "mime_type", "stream_count",
                  "duration_us", "start_time_us", "total_bit_rate", "chapter_count",
                  "tag_count")
CONTEXT_TEXTS = ("container_name", "mime_type_str", "format_long_name", "error_text")


def described(lib, path):
    """build_media_info's result and the fields read through ctypes, in
    mprobe --json's form, the context freed."""
    media = lib.create_media_context()
    assert media
    try:
        result = lib.build_media_info(media, os.fsencode(path))
        m = media.contents
        fields = {name: getattr(m, name) for name in CONTEXT_FIELDS}
        fields.update({name: text(getattr(m, name)) for name in CONTEXT_TEXTS})
        fields["video"] = [video(v) for v in nodes(m.video)]
        fields["audio"] = [audio(a) for a in nodes(m.audio)]
        return result, fields
    finally:
        assert lib.free_media_context(media) == 0


# Video and audio with their indexes, a Matroska file with other streams, an
# MPEG-TS file whose duration comes late, one of a single video stream and a
# file no demuxer reads.
NAMES = ["mp4", "mkv_tracks", "ts", "h264_only", "random"]


@pytest.mark.parametrize("name", NAMES)
def test_records_read_through_ctypes_equal_mprobe_json(lib, name):
    expected, = mprobe_json([FIXTURES[name]])
    result, got = described(lib, FIXTURES[name])
    assert result == expected["result"]
    if result != 0:
        assert got["error_text"] == expected["error_text"]
        return
    assert got["error_text"] is None
    for field in CONTEXT_FIELDS + CONTEXT_TEXTS[:-1]:
        assert got[field] == expected[field], field
    for kind in ("video", "audio"):
        assert got[kind] == [{key: stream[key] for key in got_stream}
                             for stream, got_stream in zip(expected[kind], got[kind])]
        assert len(got[kind]) == len(expected[kind])
    assert got["video"] or got["audio"]


def test_result_codes_and_their_texts(lib, tmp_path):
    result, _ = described(lib, FIXTURES["mp4"])
    assert (result, lib.media_probe_result_text(result)) == (0, b"success")

    result, got = described(lib, FIXTURES["random"])
    assert result == 1
    assert lib.media_probe_result_text(result) == b"not a media file the demuxer can read"
    assert got["error_text"] == "Invalid data found when processing input"

    media = lib.create_media_context()
    ctypes.set_errno(0)
    result = lib.build_media_info(media, os.fsencode(tmp_path / "missing.mp4"))
    assert (result, ctypes.get_errno()) == (-2, errno.ENOENT)
    assert lib.media_probe_result_text(result) == b"the file cannot be opened"
    assert lib.free_media_context(media) == 0
    # get_buffer_from_file's errno values read as the system's texts.
    assert lib.media_probe_result_text(errno.ENOENT).decode() == os.strerror(errno.ENOENT)
    assert lib.free_media_context(None) == -256
    assert lib.media_probe_result_text(-256) == b"no context to free"


def test_exported_variables_and_version(lib):
    assert ctypes.c_char_p.in_dll(lib, "mime_type_mp4").value == b"video/mp4"
    assert ctypes.c_char_p.in_dll(lib, "mime_type_unknown").value == b"application/octet-stream"
    expected, = mprobe_json([FIXTURES["mkv_tracks"]])
    assert ctypes.c_char_p.in_dll(lib, "mime_type_matroska").value.decode() == \
        expected["mime_type_str"]
    assert lib.media_probe_version() == os.environ["MEDIA_PROBE_VERSION"].encode()



def json_of(lib, path, flags):
    """media_probe_json's text for path, parsed, and the context freed; the
    text is freed with media_probe_free_json, as the header asks."""
    lib.media_probe_json.restype = ctypes.c_void_p
    lib.media_probe_json.argtypes = [ctypes.POINTER(MediaContext), ctypes.c_uint]
    lib.media_probe_free_json.argtypes = [ctypes.c_void_p]
    media = lib.create_media_context()
    try:
        lib.build_media_info(media, os.fsencode(path))
        address = lib.media_probe_json(media, flags)
        if not address:
            return None
        try:
            return json.loads(ctypes.string_at(address).decode())
        finally:
            lib.media_probe_free_json(address)
    finally:
        assert lib.free_media_context(media) == 0


NO_INDEX, PRETTY, FFPROBE = 0x100, 0x200, 0x400


@pytest.mark.parametrize("name", NAMES)
def test_media_probe_json_is_mprobes_object(lib, name):
    expected, = mprobe_json([FIXTURES[name]])
    got = json_of(lib, FIXTURES[name], 0)
    if expected["result"] != 0:
        assert (got["result"], got["error_text"]) == (1, expected["error_text"])
        return
    assert got == expected
    assert json_of(lib, FIXTURES[name], PRETTY) == expected
    lean = json_of(lib, FIXTURES[name], NO_INDEX)
    for stream in lean["video"] + lean["audio"]:
        assert "entries" not in stream
    assert [s["entry_count"] for s in lean["video"] + lean["audio"]] == \
        [s["entry_count"] for s in expected["video"] + expected["audio"]]
    assert json_of(lib, FIXTURES[name], FFPROBE) == mprobe_ffprobe_json([FIXTURES[name]])[0]
    assert json_of(lib, FIXTURES[name], 0x1000) is None
