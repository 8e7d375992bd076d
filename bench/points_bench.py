#!/usr/bin/python3
"""Reading every point of a 1 GB simulator capture with the Python module, against pandas.read_csv
of the same points as CSV, in the same run; and the peak memory of the read against the size of
the arrays it returns.

A capture of at least 1 GB is written with the simulator (FRAMES frames, default 18000: about
1.1 GB of 16 lines x 240 beams x 3 echoes, as IPv4 fragments), and its points as CSV by
`compact_csv -r CAPTURE --points CSV`. Then, each in a fresh interpreter and ROUNDS times in turn
(the best time counts, the highest peak):
  read_dataframe   compact_csv.read_dataframe(CAPTURE)           (target: >= 20x read_csv's speed,
                                                                  and at least --points' speed)
  read             compact_csv.read(CAPTURE), the dict of arrays
  --points         compact_csv -r CAPTURE --points /dev/null, the command line's conversion
  read_csv         pandas.read_csv(CSV)
Peak memory is the process's peak resident size (getrusage) minus its size before the read, with
the modules imported; it is set against the bytes of the columns returned (target: <= 1.5).
The frames read by both must be the same: their lengths and column sums are compared (the sums
of decimal columns within what the CSV's six significant digits allow). Timing
is wall time; note the machine's load (uptime) beside the figures. read_csv takes about 460 bytes
per point at its peak (some 35 GB for the points of 1.1 GB of capture): when that exceeds 80 % of
the memory available, the CSV is neither written nor read, and the script says so (lower FRAMES).
The capture and the CSV are removed at the end.

Usage: bench/points_bench.py [BUILD_DIR]   (default build/rel: a Release build with
       -DCOMPACT_BUILD_BENCH=ON, configured and built here)
Environment: BENCH_DIR folder for the capture and the CSV (default $TMPDIR or /tmp; the CSV takes
             about 10 times the capture); FRAMES, ROUNDS (default 2).
"""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHON = "/usr/bin/python3"
# pandas.read_csv's peak memory per point of the simulator's CSV, measured with pandas 1.5
# (3.7 times the 120 bytes of its columns).
CSV_BYTES_PER_POINT = 460

# Run in a fresh interpreter: reads the file once and prints time, peak and a checksum as JSON.
CHILD = r"""
import json, resource, sys, time
import numpy as np, pandas as pd
import compact_csv
def rss():
    with open("/proc/self/status") as status:
        return int(status.read().split("VmRSS:")[1].split()[0]) * 1024
kind, path = sys.argv[1:]
before = rss()
start = time.perf_counter()
if kind == "read_dataframe":
    result = compact_csv.read_dataframe(path)
elif kind == "read":
    result = pd.DataFrame(compact_csv.read(path), copy=False)
else:
    result = pd.read_csv(path)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
size = int(result.memory_usage(index=False).sum())
sums = {c: float(result[c].sum()) for c in ("frame_number", "beam", "distance", "x", "z")}
magnitudes = {c: float(result[c].abs().sum()) for c in ("distance", "x", "z")}
print(json.dumps({"seconds": seconds, "peak": peak, "bytes": size, "rows": len(result),
                  "sums": sums, "magnitudes": magnitudes}))
"""


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], check=True, **kwargs)


def measure(kind, path, build):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    out = run(PYTHON, "-c", CHILD, kind, path, env=env, capture_output=True, text=True).stdout
    return json.loads(out)


def measure_rounds(best, rounds, build, cases):
    """Runs each case `rounds` times in turn; keeps the best time and the highest peak."""
    for round_ in range(rounds):
        for kind, path in cases:
            result = measure(kind, path, build)
            print(f"round {round_ + 1} {kind:15} {result['seconds']:8.2f} s, "
                  f"peak {result['peak'] / 1e9:6.2f} GB, columns {result['bytes'] / 1e9:6.2f} GB")
            kept = best.setdefault(kind, result)
            kept["seconds"] = min(kept["seconds"], result["seconds"])
            kept["peak"] = max(kept["peak"], result["peak"])


def available_memory():
    with open("/proc/meminfo") as info:
        return int(info.read().split("MemAvailable:")[1].split()[0]) * 1024


def main(argv):
    if len(argv) > 1 and argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0
    build = Path(argv[1]) if len(argv) > 1 else ROOT / "build/rel"
    frames = int(os.environ.get("FRAMES", "18000"))
    rounds = int(os.environ.get("ROUNDS", "2"))
    print(f"== building {build}")
    run("cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
        "-DCOMPACT_BUILD_TESTS=OFF", "-DCOMPACT_BUILD_BENCH=ON", "-DCOMPACT_PYTHON=ON",
        stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "-j", "2", "--target", "compact_csv", "compact_sim",
        "compact_python", stdout=subprocess.DEVNULL)

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as folder:
        capture, csv = Path(folder) / "scan.pcap", Path(folder) / "points.csv"
        print(f"== {frames} frames into {capture}")
        run(build / "tools/compact_sim", "--pcap-out", capture, "-n", frames,
            stdout=subprocess.DEVNULL)
        print(f"capture {capture.stat().st_size / 1e9:.2f} GB")
        best = {}
        measure_rounds(best, rounds, build, (("read_dataframe", capture), ("read", capture)))
        receiver = build / "compact_csv"
        for round_ in range(rounds):
            start = time.perf_counter()
            run(receiver, "-r", capture, "--points", "/dev/null", stdout=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
            print(f"round {round_ + 1} --points        {seconds:8.2f} s")
            best["points"] = min(best.get("points", seconds), seconds)
        points = best["read"]["rows"]
        if points * CSV_BYTES_PER_POINT > 0.8 * available_memory():
            print(f"read_csv left out: {points} points would take about "
                  f"{points * CSV_BYTES_PER_POINT / 1e9:.0f} GB, more than this machine has free "
                  "(lower FRAMES)")
        else:
            run(receiver, "-r", capture, "--points", csv, stdout=subprocess.DEVNULL)
            print(f"CSV {csv.stat().st_size / 1e9:.2f} GB")
            measure_rounds(best, rounds, build, (("read_csv", csv),))

    frame = best["read_dataframe"]
    print(f"\n{frame['rows']} points")
    text = best.get("read_csv")
    same = True
    if text:
        # The CSV's decimals have six significant digits (%g): each value is off by at most 5e-6
        # of itself, so a sum by at most that share of the sum of the magnitudes. Indices agree.
        same = frame["rows"] == text["rows"] and all(
            abs(frame["sums"][c] - text["sums"][c])
            <= (5e-6 * frame["magnitudes"][c] if c in frame["magnitudes"] else 0)
            for c in frame["sums"])
        print(f"the module's and read_csv's frames {'agree' if same else 'DIFFER'} "
              "(lengths and column sums)")
        print(f"read_dataframe vs read_csv: {text['seconds'] / frame['seconds']:6.1f}x faster   "
              "(target >= 20)")
    print(f"read_dataframe vs --points to /dev/null: {best['points'] / frame['seconds']:6.1f}x "
          "faster   (target >= 1)")
    for kind in ("read_dataframe", "read"):
        ratio = best[kind]["peak"] / best[kind]["bytes"]
        print(f"peak of {kind:15} {ratio:6.2f} x its columns   (target <= 1.5)")
    if text:
        print(f"peak of read_csv        {text['peak'] / text['bytes']:6.2f} x its columns "
              "(reference)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
