#!/usr/bin/python3
"""Describes a list of media files on a Dask cluster, as JSON lines.

    dask_probe.py [--scheduler ADDRESS] [--workers N] [--batch N] LIST OUTPUT

LIST holds one path per line ("-": standard input). OUTPUT ("-": standard
output) gets one JSON object per path, in the order of LIST: the description
media_probe.probe gives, or for a file that cannot be described
{"filename": PATH, "error": EXCEPTION_NAME, "message": TEXT} (a file the
demuxer cannot read keeps its partial description, with its error_text).

With --scheduler the paths are probed on that cluster's workers, which must
see the same files under the same paths (a shared mount) and have the
media_probe module installed; without it, on a LocalCluster of --workers
processes on this machine.
"""
import argparse
import json
import sys

import media_probe


def record(path, result):
    """A JSON-ready object for one of probe_many's (path, result) pairs."""
    if isinstance(result, media_probe.NotMediaError):
        return result.description
    if isinstance(result, BaseException):
        return {"filename": str(path), "error": type(result).__name__, "message": str(result)}
    return result


def probe_batch(paths, index=True):
    """Runs on a worker: one batch, probed on that worker's thread."""
    return [record(path, result)
            for path, result in media_probe.probe_many(paths, jobs=1, index=index)]


def to_json(description):
    """One JSON line; configuration bytes as hex, as mprobe prints them."""
    return json.dumps(description, default=bytes.hex, ensure_ascii=False)


def batches(paths, size):
    for start in range(0, len(paths), size):
        yield paths[start:start + size]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("list", help="file of paths, one per line ('-': standard input)")
    parser.add_argument("output", help="JSON lines file to write ('-': standard output)")
    parser.add_argument("--scheduler", help="address of a running distributed scheduler")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster processes")
    parser.add_argument("--batch", type=int, default=200, help="paths per task")
    parser.add_argument("--no-index", action="store_true", help="leave the seek index out")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    source = sys.stdin if args.list == "-" else open(args.list, encoding="utf-8",
                                                      errors="surrogateescape")
    with source:
        paths = [line.rstrip("\n") for line in source if line.strip()]

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        futures = client.map(probe_batch, list(batches(paths, args.batch)),
                             index=not args.no_index, pure=False)
        sink = sys.stdout if args.output == "-" else open(args.output, "w", encoding="utf-8",
                                                           errors="surrogateescape")
        with sink:
            for future in futures:  # in submission order, whatever finishes first
                for description in future.result():
                    sink.write(to_json(description) + "\n")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
