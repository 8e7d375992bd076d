"""Test of examples/points_dask.py: four capture segments read in parallel, and saved as .npz,
give what one sequential read of the same files gives."""

import importlib.util
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

import dask
import numpy as np
import pandas as pd

import compact_csv

SIM = os.environ["COMPACT_SIM"]
EXAMPLE = Path(os.environ["COMPACT_EXAMPLES_DIR"]) / "points_dask.py"


def load_example():
    spec = importlib.util.spec_from_file_location("points_dask", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class DaskExampleTest(unittest.TestCase):
    def test_segments_in_parallel_equal_one_sequential_read(self):
        example = load_example()
        with tempfile.TemporaryDirectory() as folder:
            captures, npz = Path(folder) / "captures", Path(folder) / "npz"
            captures.mkdir()
            npz.mkdir()
            # Different lengths and senders, so that a partition out of place shows.
            for i, count in enumerate((3, 5, 2, 4)):
                subprocess.run([SIM, "--pcap-out", str(captures / f"segment-{i}.pcap"), "-n",
                                str(count), "--sender-id", str(i + 1)], check=True,
                               capture_output=True)
            options = {"line": "6:9", "echo": 0}
            points = example.points_of_folder(captures, npz, **options)
            self.assertEqual(points.npartitions, 4)
            with dask.config.set(scheduler="threads", num_workers=4):
                parallel = points.compute()

            files = sorted(captures.iterdir())
            sequential = pd.concat([compact_csv.read_dataframe(f, **options) for f in files])
            pd.testing.assert_frame_equal(parallel, sequential)
            self.assertEqual(parallel["sender_id"].unique().tolist(), [1, 2, 3, 4])
            saved = np.load(npz / "segment-1.npz")
            self.assertTrue(np.array_equal(saved["x"], compact_csv.read(files[1], **options)["x"]))


if __name__ == "__main__":
    unittest.main()
