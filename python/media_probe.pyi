"""Describes media files: container, streams, codec parameters, seek index."""
import os
from typing import Any, Iterable, Iterator, Optional, Tuple, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# (pos, timestamp, flags, size, min_distance)
IndexEntry = Tuple[int, int, int, int, int]

# The keys and values of `mprobe --json`; None marks an unknown value, and
# "filename_bytes" (bytes) follows "filename" for a name that is not UTF-8.
# With ffprobe=True, ffprobe's JSON document instead (mprobe --ffprobe-json).
Description = dict[str, Any]

__version__: str

class NotMediaError(ValueError):
    """The file is not media the demuxer can read."""
    filename: _Path
    error_text: str
    description: Description

def probe(
    path: _Path, *, index: bool = ..., scan: bool = ..., ffprobe: bool = ...
) -> Description: ...

def probe_many(
    paths: Iterable[_Path],
    *,
    jobs: Optional[int] = ...,
    index: bool = ...,
    scan: bool = ...,
    ffprobe: bool = ...,
) -> Iterator[Tuple[_Path, Union[Description, BaseException]]]: ...
