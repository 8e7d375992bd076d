#!/usr/bin/python3
"""Converts a folder of capture segments into one DataFrame of points with Dask, in parallel.

Usage: examples/points_dask.py FOLDER [--npz OUT_FOLDER] [--workers N] [--line 7 --echo 0 ...]
       (a negative range needs an equals sign: --phi=-5:5)

Every *.pcap and *.pcapng file of FOLDER, in name order (name the segments in time order), is read
by compact_csv.read() in a Dask task of its own. The tasks run on a pool of threads (the module
releases the GIL while it reads), and their DataFrames become the partitions of one Dask
DataFrame, in the order of the files. With --npz each segment is also saved as
OUT_FOLDER/<segment>.npz (numpy.load gives back its columns). The filter options are those of
compact_csv.read() (and of the command line). Prints the points per segment and the first rows.
"""

import argparse
import sys
from pathlib import Path

import dask
import dask.dataframe as dd
import numpy as np

import compact_csv


def segments(folder):
    """The capture files of a folder, in name order."""
    return sorted(p for p in Path(folder).iterdir() if p.suffix in (".pcap", ".pcapng"))


def read_segment(path, npz_folder=None, **options):
    """One segment's points as a pandas DataFrame, also saved as .npz when npz_folder is given."""
    columns = compact_csv.read(path, **options)
    if npz_folder is not None:
        np.savez(Path(npz_folder) / (Path(path).stem + ".npz"), **columns)
    return compact_csv.to_dataframe(columns)


def points_of_folder(folder, npz_folder=None, **options):
    """A Dask DataFrame with one partition per capture segment of the folder, in name order."""
    meta = compact_csv.to_dataframe({name: np.empty(0, dtype)
                                     for name, dtype in compact_csv.DTYPES.items()})
    parts = [dask.delayed(read_segment)(path, npz_folder, **options) for path in segments(folder)]
    return dd.from_delayed(parts, meta=meta)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--npz", metavar="OUT_FOLDER", help="also save each segment as .npz")
    parser.add_argument("--workers", type=int, help="threads reading at once (default: cores)")
    parser.add_argument("--port", type=int, default=2115)
    parser.add_argument("--phi-tolerance", type=float, default=1.0)
    filters = ("address", "segment", "line", "phi", "beam", "theta", "echo")
    for name in filters:
        parser.add_argument("--" + name)
    args = parser.parse_args(argv)
    options = {name: getattr(args, name) for name in filters if getattr(args, name) is not None}
    if args.npz:
        Path(args.npz).mkdir(parents=True, exist_ok=True)
    points = points_of_folder(args.folder, args.npz, port=args.port,
                              phi_tolerance=args.phi_tolerance, **options)
    with dask.config.set(scheduler="threads", num_workers=args.workers):
        # Together, so that every segment is read once.
        sizes, frame = dask.compute(points.map_partitions(len), points)
    for path, size in zip(segments(args.folder), sizes):
        print(f"{path.name}: {size} points")
    print(frame.head())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
