"""The prediction study: its design (same budget, seeds kept apart), its smoke run end to end, its
records read back instead of run again, and the tracked records being what the study makes of
its tracked trials."""

from __future__ import annotations

import json
import math
import shutil
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples" / "studies"))

import prediction_study  # noqa: E402

RECORDS = ROOT / "docs" / "results" / "prediction_study"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    out = tmp_path_factory.mktemp("prediction")
    assert prediction_study.main(["--smoke", "--out", str(out)]) == 0
    trials = [json.loads(line) for line in (out / "trials.jsonl").read_text().splitlines()]
    return out, trials


def test_every_learner_gets_the_same_budget_of_its_own_settings():
    sizes = {learner: len(grid) for learner, grid in prediction_study.GRIDS.items()}
    assert set(sizes.values()) == {prediction_study.CANDIDATES}
    for grid in prediction_study.GRIDS.values():
        assert len({json.dumps(settings, sort_keys=True) for settings in grid}) == len(grid)
    arguments = prediction_study.parse_arguments([])
    assert not set(arguments.tuning_seeds) & set(arguments.reported_seeds)
    assert len(arguments.reported_seeds) == 10


def test_overlapping_seeds_stop_the_study(tmp_path):
    arguments = prediction_study.parse_arguments(["--smoke", "--out", str(tmp_path)])
    arguments.reported_seeds = [0, arguments.tuning_seeds[0]]
    with pytest.raises(ValueError, match="used both for tuning"):
        prediction_study.study(arguments)


def test_smoke_study_tunes_on_its_seeds_and_reports_the_chosen_on_others(smoke):
    out, trials = smoke
    summary = json.loads((out / "summary.json").read_text())
    design = summary["design"]
    assert (out / "prediction_errors.png").read_bytes().startswith(PNG_MAGIC)
    for task, entry in summary["tasks"].items():
        for learner, data in entry["learners"].items():
            own = [t for t in trials if t["task"] == task and t["learner"] == learner]
            tuning = [t for t in own if t["seed"] in design["tuning_seeds"]]
            reported = [t for t in own if t["seed"] in design["reported_seeds"]]
            assert len(tuning) == design["candidates"] * len(design["tuning_seeds"])
            # Reported runs are the chosen settings only, and the choice is the lowest mean.
            assert {json.dumps(t["settings"]) for t in reported} == {json.dumps(data["chosen"])}
            means = data["tuning_means"]
            assert data["chosen"] == data["grid"][means.index(min(means))]
            assert len(reported) == len(design["reported_seeds"]) == len(data["reported"])
    assert summary["trials"] == len(trials)


def test_every_verdict_follows_its_interval(smoke):
    out, _ = smoke
    rows = [line.split(" | ") for line in (out / "prediction_study.md").read_text().splitlines()]
    verdicts = [row for row in rows if len(row) == 7 and row[2] not in ("learner", "agent")]
    assert verdicts
    for row in verdicts:
        difference, called = row[5], row[6].rstrip(" |")
        if difference == "—":
            assert called == "no comparison (a run diverged)"
            continue
        low, high = (float(x) for x in difference.split("[")[1].rstrip("]").split(", "))
        expected = "agent ahead" if low > 0 else "no difference shown" if high >= 0 else None
        assert called == (expected or f"{row[2]} ahead")


def test_a_second_run_reads_its_trials_back_instead_of_running_them(smoke, monkeypatch, tmp_path):
    out, _ = smoke
    copy = tmp_path / "again"
    shutil.copytree(out, copy)
    with (copy / "trials.jsonl").open("a") as file:
        file.write('{"task": "cut short')  # a run stopped while writing its last line
    monkeypatch.setattr(prediction_study, "run_trial", lambda *a: pytest.fail("ran a trial"))
    assert prediction_study.main(["--smoke", "--out", str(copy)]) == 0
    assert (copy / "prediction_study.md").read_bytes() == (out / "prediction_study.md").read_bytes()
    assert "cut short" not in (copy / "trials.jsonl").read_text()
    # Damage before the last line is not guessed past.
    lines = (copy / "trials.jsonl").read_text().splitlines()
    (copy / "trials.jsonl").write_text("\n".join(["{broken", *lines]) + "\n")
    with pytest.raises(ValueError, match="line 1"):
        prediction_study.main(["--smoke", "--out", str(copy)])


@pytest.mark.parametrize(
    ("means", "expected"),
    [
        ([1.0, 2.0, 3.0], [2.0, 4.0 / 3.0, 1.0]),  # lower is better: the expected minimum
        ([1.0, math.inf], [None, 1.0]),  # a diverged candidate in the draw: no finite mean
        # Two diverged of four: a draw of 2 may hold only those; one of 3 always holds a finite.
        ([1.0, 2.0, math.inf, math.inf], [None, None, 1.25, 1.0]),
    ],
)
def test_expected_best_of_k_takes_the_lowest_error(means, expected):
    assert prediction_study.expected_best(means) == pytest.approx(expected)


def test_the_tracked_records_are_what_the_study_makes_of_its_tracked_trials(tmp_path, monkeypatch):
    if not (RECORDS / "trials.jsonl").exists():
        pytest.skip("no tracked records")
    shutil.copy(RECORDS / "trials.jsonl", tmp_path / "trials.jsonl")
    monkeypatch.setattr(prediction_study, "run_trial", lambda *a: pytest.fail("ran a trial"))
    monkeypatch.setattr(prediction_study, "figure", lambda summary, path: None)
    assert prediction_study.main(["--out", str(tmp_path)]) == 0
    expected = (RECORDS / "prediction_study.md").read_text()
    assert (tmp_path / "prediction_study.md").read_text() == expected


def test_actor_budget_measures_what_the_learner_page_says():
    import actor_budget

    rows = actor_budget.distractor_rows([0])
    shares = {
        (row.split(" | ")[0].strip("| "), row.split(" | ")[1]): float(row.split(" | ")[2][:5])
        for row in rows[2:]
    }
    # Two distractors per state starve far more of the task features' actor step sizes at the
    # default alpha, and an alpha below eta_actor starves (almost) none.
    assert shares[("2", "0.1")] > 3 * shares[("0", "0.1")] > 0
    assert shares[("2", "0.0005")] == 0.0
    recorded = (ROOT / "docs" / "results" / "actor_budget" / "actor_budget.md").read_text()
    assert recorded.count("\n| ") == len(rows) - 1 and rows[0] in recorded


def test_alpha_defaults_measures_every_task_at_every_alpha(capsys):
    import alpha_defaults

    assert alpha_defaults.main(["--smoke"]) == 0
    rows = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| ")]
    assert [row.split(" | ")[0][2:] for row in rows[1:]] == [
        *(f"{task.name} ({task.metric})" for task in prediction_study.tasks(True)),
        "CartPole-v1, 0 distractors",
        "CartPole-v1, 2 distractors",
    ]
    assert all(row.count(" | ") == len(alpha_defaults.ALPHAS) for row in rows)
