"""The evidence studies (examples/studies): choosing settings, keeping seeds apart, tables, runs."""

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples" / "studies"))

import sensitivity  # noqa: E402
import three_tasks  # noqa: E402
from study_grid import GroupRunner, TrialRecord, grid_points, task_grid  # noqa: E402


def record(returns: list[float], **config: object) -> TrialRecord:
    return TrialRecord(dict(config), returns, steps=len(returns), seconds=0.0)


def test_best_candidate_is_the_best_mean_over_seeds_not_the_best_single_run() -> None:
    axes = {"alpha": [0.1, 0.01]}
    records = [
        # alpha 0.1: one lucky seed (100) and one failure; mean of final windows 50.
        record([0.0, 100.0], alpha=0.1, seed=1),
        record([0.0, 0.0], alpha=0.1, seed=2),
        # alpha 0.01: steady 60; its early episodes (outside the window) do not count.
        record([-500.0, 60.0], alpha=0.01, seed=1),
        record([-500.0, 60.0], alpha=0.01, seed=2),
    ]
    chosen, score = three_tasks.best_candidate(records, axes, window=1)
    assert chosen == {"alpha": 0.01}
    assert score == 60.0


def test_tuning_and_reported_seeds_must_differ() -> None:
    three_tasks.check_seeds([100, 101], [0, 1, 2])
    with pytest.raises(ValueError, match=r"\[101\]"):
        three_tasks.check_seeds([100, 101], [0, 101])
    assert not set(three_tasks.TUNING_SEEDS) & set(three_tasks.REPORTED_SEEDS)


def test_both_learners_get_the_same_tuning_budget_on_every_task() -> None:
    for env_id in three_tasks.TASK_LENGTHS:
        agent = grid_points(three_tasks.AGENT_CANDIDATES[env_id])
        sarsa = grid_points(three_tasks.SARSA_CANDIDATES[env_id])
        assert len(agent) == len(sarsa) > 1, env_id


def test_baselines_get_no_action_mapping_and_tasks_keep_their_settings() -> None:
    agent = task_grid("MountainCar-v0", learner=["velto"], seed=[0, 1])
    sarsa = task_grid("MountainCar-v0", learner=["sarsa"], seed=[0, 1])
    assert agent["mapping"] == ["binary"] and "mapping" not in sarsa
    assert agent["tiles"] == sarsa["tiles"] == [8]
    assert agent["seed"] == [0, 1]


def test_a_saved_group_is_reused_only_for_the_same_grid(tmp_path: Path) -> None:
    runner = GroupRunner(tmp_path, backend="local", workers=1)
    grid = task_grid("CliffWalking-v1", learner=["random"], episodes=[2], seed=[0, 1])
    first = runner.run("g", grid)
    assert [r.config["seed"] for r in first] == [0, 1] and all(len(r.returns) == 2 for r in first)
    saved = json.loads((tmp_path / "groups" / "g.json").read_text())
    saved["records"][0]["returns"] = [7.0, 7.0]  # a marker: reused files keep it
    (tmp_path / "groups" / "g.json").write_text(json.dumps(saved))
    assert runner.run("g", grid)[0].returns == [7.0, 7.0]
    changed = runner.run("g", {**grid, "episodes": [3]})
    assert all(len(r.returns) == 3 for r in changed)


def test_three_task_study_end_to_end_puts_every_learner_in_every_row(tmp_path: Path) -> None:
    three_tasks.main(
        [
            "--backend",
            "local",
            "--workers",
            "1",
            "--out",
            str(tmp_path),
            "--episodes",
            "2",
            "--tasks",
            "CliffWalking-v1",
        ]
    )
    lines = (tmp_path / "three_tasks.md").read_text().splitlines()
    row = next(line for line in lines if line.startswith("| CliffWalking-v1"))
    cells = [cell.strip() for cell in row.strip("|").split("|")]
    assert len(cells) == 9
    for cell in cells[3:6]:  # random, SARSA(lambda), agent
        mean, sd = cell.split(" ± ")
        float(mean), float(sd)
    assert (tmp_path / "three_tasks.png").stat().st_size > 10_000
    # 4 candidates x 2 tuning seeds per learner, then 5 reported seeds each and for random.
    groups = {p.stem: json.loads(p.read_text()) for p in (tmp_path / "groups").glob("*.json")}
    assert {len(g["records"]) for n, g in groups.items() if n.startswith("tune-")} == {8}
    seeds = {n: {r["config"]["seed"] for r in g["records"]} for n, g in groups.items()}
    assert all(s == {0, 1, 2, 3, 4} for n, s in seeds.items() if n.startswith("report-"))
    assert all(s == {100, 101} for n, s in seeds.items() if n.startswith("tune-"))


def test_sensitivity_study_end_to_end_has_a_row_per_alpha(tmp_path: Path) -> None:
    sensitivity.main(["--backend", "local", "--workers", "1", "--out", str(tmp_path), "--smoke"])
    rows = [
        line
        for line in (tmp_path / "sensitivity.md").read_text().splitlines()
        if line.startswith("| 0")
    ]
    assert [row.split("|")[1].strip() for row in rows] == ["0.001", "0.1"]
    assert all(row.count("±") == 2 for row in rows)  # learned and fixed step sizes
    assert (tmp_path / "sensitivity.png").stat().st_size > 10_000
