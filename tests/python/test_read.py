"""Tests of the Python module on captures of the simulator and on the fuzzers' hostile captures,
and of examples/points_dask.py.

Run by ctest with PYTHONPATH at the built package and COMPACT_CSV, COMPACT_SIM, COMPACT_FUZZ_DIR
and COMPACT_EXAMPLES_DIR naming the receiver, the simulator and the source tree's fuzz and
examples folders.
"""

import os
import re
import runpy
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

import numpy as np

import compact_csv

CLI = os.environ["COMPACT_CSV"]
SIM = os.environ["COMPACT_SIM"]
FUZZ = Path(os.environ["COMPACT_FUZZ_DIR"])
EXAMPLE = Path(os.environ["COMPACT_EXAMPLES_DIR"]) / "points_dask.py"

# The conversion summary of the command line, and the reasons in its parentheses.
SUMMARY = re.compile(
    r": (\d+) datagrams read, (\d+) filtered out(?: \([^)]*\))?, (\d+) fragments reassembled, "
    r"\d+ incomplete datagrams dropped(?: \(([^)]*)\))?, \d+ records skipped(?: \(([^)]*)\))?, "
    r"\d+ parse errors(?: \(([^)]*)\))?, (\d+) lost telegrams, \d+ rows written", re.M)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def simulate(path, *options):
    subprocess.run([SIM, "--pcap-out", str(path), *options], check=True, capture_output=True)


def convert(capture, folder, *options):
    """The command line's CSV of a capture and its standard output (the summary)."""
    out = Path(folder) / "out.csv"
    out.unlink(missing_ok=True)
    run = subprocess.run([CLI, "-r", str(capture), *options, str(out)], capture_output=True,
                         text=True, timeout=60)
    return out.read_text() if out.exists() else "", run.stdout


def reasons(text):
    return {name: int(n) for n, name in (r.split(" ", 1) for r in text.split(", "))} if text else {}


def counts_of_summary_line(text):
    match = SUMMARY.search(text)
    assert match, text
    read, filtered, reassembled, dropped, skipped, errors, lost = match.groups()
    return (int(read), int(filtered), int(reassembled), reasons(dropped), reasons(skipped),
            reasons(errors), int(lost))


def counts_of_module():
    s = compact_csv.last_summary()
    nonzero = lambda counts: {name: n for name, n in counts.items() if n}
    return (s["datagrams_read"], s["filtered_out"], s["fragments_reassembled"],
            nonzero(s["incomplete_dropped_by_reason"]), nonzero(s["records_skipped_by_reason"]),
            nonzero(s["parse_errors_by_kind"]), s["lost"])


def echoes_of_csv(text):
    """(segment, line, beam, echo, raw distance) of every non-zero distance field of the CSV."""
    found, names = [], []
    for row in text.splitlines():
        fields = row.split(",")
        if row.startswith("sender_id,"):
            names = [re.fullmatch(r"beam\[(\d+)\]_echo\[(\d+)\]_dist", f) for f in fields]
            continue
        for name, value in zip(names, fields):
            if name and value not in ("", "0"):
                found.append((int(fields[2]), int(fields[3]), *map(int, name.groups()), int(value)))
    return found


class ReadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.capture = Path(cls.folder.name) / "scan.pcap"
        simulate(cls.capture, "-n", "24", "--skip-every", "7", "--bad-every", "5")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_columns_and_summary(self):
        points = compact_csv.read(self.capture)
        self.assertEqual(tuple(points), compact_csv.COLUMNS)
        self.assertEqual({len(column) for column in points.values()}, {len(points["x"])})
        self.assertEqual([points[c].dtype.str for c in ("segment_counter", "beam", "rssi", "x")],
                         ["<u8", "<i4", "<i4", "<f8"])
        summary = compact_csv.last_summary()
        self.assertEqual((summary["points"], summary["telegrams"], summary["lost"]),
                         (len(points["x"]), 24, 3))
        self.assertEqual(summary["parse_errors_by_kind"],
                         {"wrong magic": 2, "unsupported version": 1, "truncated": 1,
                          "object cap": 0, "other": 0})

    def test_filters_select_the_echoes_the_command_line_writes_and_its_points_csv(self):
        cases = [
            ({}, []),
            ({"line": 7, "beam": "0:9"}, ["--line", "7", "--beam", "0:9"]),
            ({"phi": 0, "theta": (10, 20.5)}, ["--phi", "0", "--theta", "10:20.5"]),
            ({"phi": "-5:5", "echo": 1, "segment": (3, 9)},
             ["--phi", "-5:5", "--echo", "1", "--segment", "3:9"]),
            ({"phi": 2.5, "phi_tolerance": 1.5}, ["--phi", "2.5", "--phi-tolerance", "1.5"]),
        ]
        for options, arguments in cases:
            with self.subTest(options):
                points = compact_csv.read(self.capture, **options)
                found = list(zip(*(points[c].tolist() for c in
                                   ("segment_counter", "line", "beam", "echo", "distance"))))
                expected = echoes_of_csv(convert(self.capture, self.folder.name, *arguments)[0])
                self.assertTrue(expected)
                self.assertEqual(found, expected)
                # --points: the same arrays as text, one row per point under one header.
                lines = convert(self.capture, self.folder.name, "--points", *arguments)[0]
                text = {name: ["%g" % v for v in column.tolist()] if column.dtype.kind == "f"
                        else ["" if name in ("rssi", "properties") and v == -1 else str(v)
                              for v in column.tolist()]
                        for name, column in points.items()}
                self.assertEqual(lines.splitlines(), [",".join(compact_csv.COLUMNS)] +
                                 [",".join(row) for row in zip(*text.values())])

    def test_listen_yields_the_points_of_each_frame_received(self):
        port = free_port()
        with compact_csv.listen(port, line=7, timeout=2) as stream:
            subprocess.run([SIM, "--port", str(port), "-n", "5", "--rate", "0"], check=True)
            frames = list(stream)
            summary = stream.summary()
        capture = Path(self.folder.name) / "five.pcap"
        simulate(capture, "-n", "5", "--port", str(port))
        expected = compact_csv.read(capture, port=port, line=7)
        self.assertEqual(len(frames), 5)
        for name in compact_csv.COLUMNS:
            self.assertTrue(np.array_equal(np.concatenate([f[name] for f in frames]), expected[name]))
        self.assertEqual((summary["telegrams"], summary["lost"]), (5, 0))
        with self.assertRaisesRegex(ValueError, "expected an IPv4 multicast group"):
            compact_csv.listen(port, multicast=["10.0.0.1"])

    def test_listen_ends_cleanly_on_ctrl_c(self):
        script = ("import compact_csv\n"
                  "for points in compact_csv.listen(0 + %d):\n    pass\n"
                  "print('ended')\n") % free_port()
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
        time.sleep(1)  # the module is loaded and waits for datagrams
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
        self.assertEqual((child.returncode, out), (0, "ended\n"))

    def test_dataframe_marks_values_the_frames_do_not_carry(self):
        capture = Path(self.folder.name) / "distances.pcap"
        simulate(capture, "-n", "2", "--values", "distance", "--telegram-version", "3")
        for path, missing in ((self.capture, 0), (capture, 1)):
            points = compact_csv.read(path, echo=0)
            frame = compact_csv.read_dataframe(path, echo=0)
            self.assertEqual(list(frame.columns), list(compact_csv.COLUMNS))
            self.assertTrue(np.array_equal(frame["x"].to_numpy(), points["x"]))
            for name in ("rssi", "properties"):
                self.assertEqual((points[name] == -1).mean(), missing)
                self.assertEqual(frame[name].isna().mean(), missing)
        with mock.patch.dict(sys.modules, {"pandas": None}):
            with self.assertRaisesRegex(ImportError, "install python3-pandas"):
                compact_csv.read_dataframe(capture)

    def test_dask_example_reads_segments_in_parallel_as_one_sequential_read(self):
        """examples/points_dask.py: four capture segments read in parallel, and saved as .npz."""
        import dask
        import pandas as pd
        points_of_folder = runpy.run_path(str(EXAMPLE))["points_of_folder"]
        captures, npz = Path(self.folder.name) / "captures", Path(self.folder.name) / "npz"
        captures.mkdir()
        npz.mkdir()
        for i, count in enumerate((3, 5, 2, 4)):
            simulate(captures / f"segment-{i}.pcap", "-n", str(count), "--sender-id", str(i + 1))
        options = {"line": "6:9", "echo": 0}
        points = points_of_folder(captures, npz, **options)
        self.assertEqual(points.npartitions, 4)
        with dask.config.set(scheduler="threads", num_workers=4):
            parallel = points.compute()
        files = sorted(captures.iterdir())
        sequential = pd.concat([compact_csv.read_dataframe(f, **options) for f in files])
        pd.testing.assert_frame_equal(parallel, sequential)
        self.assertEqual(parallel["sender_id"].unique().tolist(), [1, 2, 3, 4])
        saved = np.load(npz / "segment-1.npz")
        self.assertTrue(np.array_equal(saved["x"], compact_csv.read(files[1], **options)["x"]))

    def test_refusals_are_the_command_lines(self):
        cases = [
            ({"beam": "5-9"}, ["--beam", "5-9"]),
            ({"line": -1}, ["--line=-1"]),
            ({"phi": float("nan")}, ["--phi", "nan"]),
            ({"phi": 0, "phi_tolerance": -1}, ["--phi", "0", "--phi-tolerance=-1"]),
            ({"theta": 10}, ["--theta", "10"]),
            ({"port": 0}, ["--port", "0"]),
            ({"address": "10.0.0"}, ["--address", "10.0.0"]),
        ]
        out = Path(self.folder.name) / "refused.csv"
        for options, arguments in cases:
            with self.subTest(options), self.assertRaises(ValueError) as caught:
                compact_csv.read(self.capture, **options)
            run = subprocess.run([CLI, "-r", str(self.capture), *arguments, str(out)],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual((run.returncode, str(caught.exception)), (1, run.stderr.strip()))
        with self.assertRaisesRegex(TypeError, r'^echo=1\.5: expected a text such as "0:6"'):
            compact_csv.read(self.capture, echo=1.5)
        missing = Path(self.folder.name) / "missing.pcap"
        with self.assertRaises(FileNotFoundError) as caught:
            compact_csv.read(missing)
        self.assertEqual(caught.exception.filename, str(missing))
        with self.assertRaisesRegex(OSError, "^" + re.escape(__file__) + ": unknown file format$"):
            compact_csv.read(__file__)

    def test_hostile_captures_count_as_on_the_command_line(self):
        files = sorted(p for d in ("corpus", "regressions") for p in (FUZZ / d / "fuzz_capture").iterdir()
                       if not p.name.startswith("."))
        self.assertGreater(len(files), 100)
        for path in files:
            with self.subTest(path.name):
                _, line = convert(path, self.folder.name)
                try:
                    compact_csv.read(path)
                except OSError as error:
                    if compact_csv.last_summary() is None:  # not a capture: no summary line
                        self.assertNotRegex(line, SUMMARY, str(error))
                        continue
                self.assertEqual(counts_of_module(), counts_of_summary_line(line))


if __name__ == "__main__":
    unittest.main()
