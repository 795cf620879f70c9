"""The studies' records that the evidence page cites are in the repository as the studies wrote
them: each recorded table is what the study's summary makes of the recorded looks, and the looks
file is compressed without a time stamp, so that running a command again leaves it unchanged."""

import gzip
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples" / "studies"))

import step_size_anomaly  # noqa: E402

ANOMALY = ROOT / "docs" / "results" / "step_size_anomaly"
RECORDS = sorted(path.parent for path in ANOMALY.glob("*/looks.json.gz"))


def test_every_anomaly_command_of_the_evidence_page_has_its_record():
    page = (ROOT / "docs" / "explanation" / "evidence.md").read_text()
    commands = [line for line in page.splitlines() if "step_size_anomaly.py --out" in line]
    folders = [line.split("--out ")[1].split()[0] for line in commands]
    assert len(folders) == 4
    assert sorted(ROOT / folder for folder in folders) == RECORDS


@pytest.mark.parametrize("record", RECORDS, ids=lambda path: path.name)
def test_recorded_table_is_the_summary_of_the_recorded_looks(record):
    runs = step_size_anomaly.read_looks(record / "looks.json.gz")
    alphas = sorted({float(name.split("/")[0]) for name in runs})
    table = (record / "step_size_anomaly.md").read_text()
    assert table == step_size_anomaly.summary(runs, alphas) + "\n"


def test_looks_are_compressed_without_a_time_stamp_and_read_back(tmp_path):
    runs = {"0.001/0": [{"episode": 0, "length": 12, "prob_mean": 0.5}]}
    first, second = tmp_path / "a.json.gz", tmp_path / "b.json.gz"
    step_size_anomaly.write_looks(first, runs)
    step_size_anomaly.write_looks(second, runs)
    assert first.read_bytes() == second.read_bytes()
    assert gzip.decompress(first.read_bytes())  # a gzip file that any gzip tool reads
    assert first.read_bytes()[4:8] == b"\0\0\0\0"  # the header's modification time
    assert step_size_anomaly.read_looks(first) == runs
