"""Media files made by hand for the Python tests: MP4 sample tables that
declare a large index in a few bytes, ID3v2 tags written byte by byte, and
the mutations the randomized tests apply to real files."""
import struct


def _box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def _full_box(kind, version_and_flags, payload):
    return _box(kind, struct.pack(">I", version_and_flags) + payload)


def sample_table_mp4(samples, data=b"\0" * 16):
    """An MP4 of one video track whose sample tables declare `samples`
    samples of one byte in a single chunk, followed by `data` as its media
    data: the demuxer builds an index of `samples` entries from a few hundred
    bytes."""
    be32 = lambda v: struct.pack(">I", v)  # noqa: E731
    be16 = lambda v: struct.pack(">H", v)  # noqa: E731
    matrix = b"".join(be32(v) for v in (0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000))
    mvhd = _full_box(b"mvhd", 0, be32(0) + be32(0) + be32(1000) + be32(1000) + be32(0x10000)
                     + be16(0x100) + bytes(10) + matrix + bytes(24) + be32(2))
    tkhd = _full_box(b"tkhd", 3, be32(0) + be32(0) + be32(1) + be32(0) + be32(1000) + bytes(16)
                     + matrix + be32(16 << 16) + be32(16 << 16))
    mdhd = _full_box(b"mdhd", 0, be32(0) + be32(0) + be32(1000) + be32(samples) + be16(0x55c4)
                     + be16(0))
    hdlr = _full_box(b"hdlr", 0, be32(0) + b"vide" + bytes(12) + b"v\0")
    entry = (bytes(6) + be16(1) + bytes(16) + be16(16) + be16(16) + be32(0x480000)
             + be32(0x480000) + be32(0) + be16(1) + bytes(32) + be16(24) + be16(0xFFFF))
    tables = (_full_box(b"stsd", 0, be32(1) + _box(b"mp4v", entry))
              + _full_box(b"stts", 0, be32(1) + be32(samples) + be32(1))
              + _full_box(b"stsc", 0, be32(1) + be32(1) + be32(samples) + be32(1))
              + _full_box(b"stsz", 0, be32(1) + be32(samples)))

    def moov(data_offset):
        dinf = _box(b"dinf", _full_box(b"dref", 0, be32(1) + _full_box(b"url ", 1, b"")))
        stbl = _box(b"stbl", tables + _full_box(b"stco", 0, be32(1) + be32(data_offset)))
        minf = _box(b"minf", _full_box(b"vmhd", 1, bytes(8)) + dinf + stbl)
        return _box(b"moov", mvhd + _box(b"trak", tkhd + _box(b"mdia", mdhd + hdlr + minf)))

    ftyp = _box(b"ftyp", b"isom" + be32(512) + b"isomiso2mp41")
    offset = len(ftyp) + len(moov(0)) + 8
    return ftyp + moov(offset) + _box(b"mdat", data)


def _syncsafe(n):
    return bytes(((n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F))


def id3v2_tag(frames):
    """An ID3v2.4 tag of the TXXX frames `frames`, pairs of (description,
    value) as raw bytes, each frame declaring UTF-8 (encoding byte 3) whatever
    its bytes are."""
    body = b""
    for description, value in frames:
        payload = b"\x03" + description + b"\0" + value
        body += b"TXXX" + _syncsafe(len(payload)) + b"\0\0" + payload
    return b"ID3\x04\0\0" + _syncsafe(len(body)) + body


def mutations(data, rng):
    """Yields (how, bytes) variants of the file `data`: bytes flipped,
    truncated, a block spliced in from elsewhere, a block repeated; `rng`
    (random.Random) chooses where."""
    size = len(data)
    flipped = bytearray(data)
    for _ in range(rng.randint(1, 16)):
        flipped[rng.randrange(size)] ^= 1 << rng.randrange(8)
    yield "flipped", bytes(flipped)
    yield "truncated", data[:rng.randrange(size)]
    start, length = rng.randrange(size), rng.randint(1, 4096)
    at = rng.randrange(size)
    yield "spliced", data[:at] + data[start:start + length] + data[at + length:]
    yield "repeated", data[:at] + data[at:at + length] * rng.randint(2, 64) + data[at:]
    garbage = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 256)))
    yield "overwritten", data[:at] + garbage + data[at + len(garbage):]
