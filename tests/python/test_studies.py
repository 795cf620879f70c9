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


# -- the fair study -----------------------------------------------------------------------------

import evidence_stats  # noqa: E402
import fair_study  # noqa: E402
import numpy as np  # noqa: E402
from evidence_stats import Interval  # noqa: E402


@pytest.mark.parametrize(
    ("values", "width_zero"),
    [([5.0] * 10, True), ([1.0], True), ([0.0, 10.0] * 5, False), (list(range(10)), False)],
)
def test_bootstrap_interval_holds_the_mean_and_is_empty_only_without_spread(
    values: list[float], width_zero: bool
) -> None:
    interval = evidence_stats.bootstrap_ci(values)
    assert interval.mean == pytest.approx(float(np.mean(values)))
    assert interval.low <= interval.mean <= interval.high
    assert (interval.high - interval.low == 0.0) is width_zero


def test_bootstrap_interval_covers_the_true_mean_about_95_percent_of_the_time() -> None:
    # Ten seeds from a normal law: the percentile bootstrap covers a bit under 95 %; an interval
    # of the spread (sd, not the mean's error) would cover nearly always, a too narrow one far less.
    rng = np.random.default_rng(5)
    hits = 0
    for _ in range(300):
        interval = evidence_stats.bootstrap_ci(rng.normal(3.0, 2.0, 10).tolist())
        hits += interval.low <= 3.0 <= interval.high
    assert 0.85 <= hits / 300 <= 0.97


@pytest.mark.parametrize("level", [0.0, 1.0, -0.5])
def test_bootstrap_rejects_levels_outside_the_open_unit_interval(level: float) -> None:
    with pytest.raises(ValueError, match="level"):
        evidence_stats.bootstrap_ci([1.0, 2.0], level=level)
    with pytest.raises(ValueError, match="at least one"):
        evidence_stats.bootstrap_ci([])


@pytest.mark.parametrize(
    ("interval", "expected"),
    [
        (Interval(5.0, 1e-9, 9.0), "agent ahead"),
        (Interval(5.0, 0.0, 9.0), "no difference shown"),
        (Interval(0.0, -1.0, 1.0), "no difference shown"),
        (Interval(-5.0, -9.0, 0.0), "no difference shown"),
        (Interval(-5.0, -9.0, -1e-9), "SARSA ahead"),
    ],
)
def test_a_difference_is_called_only_when_its_interval_excludes_zero(
    interval: Interval, expected: str
) -> None:
    assert evidence_stats.verdict(interval, "agent", "SARSA") == expected


def test_difference_interval_separates_distinct_groups_and_not_overlapping_ones() -> None:
    apart = evidence_stats.difference_ci([10.0, 11.0, 12.0, 13.0], [1.0, 2.0, 3.0, 4.0])
    assert apart.mean == 9.0 and apart.low > 0.0
    overlap = evidence_stats.difference_ci([1.0, 5.0, 9.0, 3.0], [2.0, 6.0, 8.0, 4.0])
    assert overlap.low < 0.0 < overlap.high


def test_seeds_shared_between_tuning_and_reports_are_refused() -> None:
    evidence_stats.check_disjoint([100, 101], [0, 99, 102])
    with pytest.raises(ValueError, match=r"\[101\]"):
        evidence_stats.check_disjoint([100, 101], [0, 101])
    for reported in (fair_study.REPORTED_SEEDS, fair_study.SENSITIVITY_SEEDS):
        assert not set(fair_study.TUNING_SEEDS) & set(reported)
    assert len(fair_study.REPORTED_SEEDS) >= 10


def test_each_learner_has_the_same_number_of_candidates_and_the_textbook_settings() -> None:
    for row in fair_study.ROWS:
        agent = fair_study.candidates("velto", row)
        sarsa = fair_study.candidates("sarsa", row)
        assert len(agent) == len(sarsa) >= 16, row
        assert len({str(c) for c in agent}) == len(agent), row  # no candidate twice
        textbook = {"sarsa_alpha": 0.1, "sarsa_lambda": 0.9, "sarsa_epsilon": 0.1}
        assert any(textbook.items() <= c.items() for c in sarsa), row
    cartpole = {c.get("sarsa_initial_value") for c in fair_study.candidates("sarsa", "CartPole-v1")}
    assert cartpole == {0.0, 100.0}  # zero and optimistic where every reward is +1


@pytest.mark.parametrize(
    ("returns", "floor", "expected"),
    [
        ([10.0, 10.0, 10.0], 0.0, 1.0),  # flat at its best: any step size will do
        ([0.0, 10.0, 10.0], 0.0, 0.55),  # the rising line passes 9 at 0.9 of its decade
        ([9.0, 10.0, 10.0], 0.0, 1.0),  # 9 is exactly at the threshold 10 - 0.1 * 10
        ([8.0, 10.0, 10.0], 0.0, 0.75),  # just below it: half of the first decade is lost
        ([0.0, 0.0, 0.0], 0.0, 0.0),  # never above the random policy
        ([-30.0, -20.0, -20.0], -200.0, 0.6),  # negative: threshold -22, passed at 0.2
        ([-30.0, -20.0, -20.0], -20.0, 0.0),  # best not above the floor: nothing learned
    ],
)
def test_near_best_fraction_measures_the_log_range_within_ten_percent_of_the_best(
    returns: list[float], floor: float, expected: float
) -> None:
    fraction = evidence_stats.near_best_fraction([0.01, 0.1, 1.0], returns, floor)
    assert fraction == pytest.approx(expected)


def test_near_best_fraction_rejects_unordered_or_mismatched_step_sizes() -> None:
    with pytest.raises(ValueError, match="increase"):
        evidence_stats.near_best_fraction([0.1, 0.01], [1.0, 2.0], 0.0)
    with pytest.raises(ValueError, match="two or more"):
        evidence_stats.near_best_fraction([0.1], [1.0], 0.0)


def test_fair_study_smoke_reports_intervals_and_continues_where_it_stopped(tmp_path: Path) -> None:
    arguments = ["--smoke", "--workers", "1", "--out", str(tmp_path)]
    assert fair_study.main(arguments) == 0
    text = (tmp_path / "fair_study.md").read_text()
    row = next(line for line in text.splitlines() if line.startswith("| CliffWalking-v1 | 3"))
    assert row.count("[") == 4  # random, SARSA, agent and their difference, each an interval
    trials = [json.loads(line) for line in (tmp_path / "trials.jsonl").read_text().splitlines()]
    tuning = [t["config"] for t in trials if t["config"]["seed"] == 100]
    assert sorted(c["learner"] for c in tuning).count("velto") == 16
    assert sorted(c["learner"] for c in tuning).count("sarsa") == 16
    assert (tmp_path / "evidence_learning_curves.png").stat().st_size > 10_000
    fair_study.main(arguments)  # everything is on disk: nothing runs again
    assert len((tmp_path / "trials.jsonl").read_text().splitlines()) == len(trials)
    # The agent's seeds as populations give every trial the same returns.
    fair_study.main([*arguments[:-1], str(tmp_path / "population"), "--population"])
    lines = (tmp_path / "population" / "trials.jsonl").read_text().splitlines()
    again = {fair_study.key_of(t["config"]): t["returns"] for t in map(json.loads, lines)}
    assert again == {fair_study.key_of(t["config"]): t["returns"] for t in trials}


@pytest.mark.parametrize(("damaged_line", "loads"), [(2, True), (1, False)])
def test_a_trial_cut_short_while_written_runs_again_but_damage_elsewhere_stops(
    tmp_path: Path, damaged_line: int, loads: bool
) -> None:
    good = {"config": {"learner": "random", "seed": 0}, "returns": [1.0], "steps": 1}
    lines = [json.dumps(good), json.dumps({**good, "config": {"seed": 1}})]
    lines[damaged_line - 1] = lines[damaged_line - 1][:20]
    (tmp_path / "trials.jsonl").write_text("\n".join(lines))
    if not loads:
        with pytest.raises(ValueError, match="line 1 is not a trial"):
            fair_study.TrialStore(tmp_path, workers=1)
        return
    store = fair_study.TrialStore(tmp_path, workers=1)
    assert list(store.done) == [fair_study.key_of(good["config"])]
    assert (tmp_path / "trials.jsonl").read_text() == lines[0] + "\n"


@pytest.mark.parametrize(
    ("row", "episodes", "seeds"),
    [("CliffWalking-v1", 6, [3, 5, 4]), ("CartPole-v1", 8, [0, 7]), ("Acrobot-v1", 2, [9, 1])],
)
def test_agent_seeds_as_a_population_give_each_trial_its_own_returns(
    row: str, episodes: int, seeds: list[int]
) -> None:
    import population_trials

    base = fair_study.base_config(row, "velto", episodes)
    configs = [{**base, "alpha": 0.1, "seed": seed} for seed in seeds]
    together = population_trials.run_agents(configs)
    alone = [fair_study.run_trial(config) for config in configs]
    assert [r["returns"] for r in together] == [r["returns"] for r in alone]
    assert [r["steps"] for r in together] == [r["steps"] for r in alone]
    # Another setting is another population: a group never mixes them.
    mixed = [*configs[:1], {**configs[1], "alpha": 0.01}]
    assert not population_trials.same_but_seed(mixed)
    assert [len(task) for task in fair_study.group_seeds(mixed)] == [1, 1]


def fake_store(tmp_path: Path, finals: dict[tuple[str, int], float]) -> fair_study.TrialStore:
    """A store whose trials of (row-less) candidate `alpha` and seed end at the given returns."""
    store = fair_study.TrialStore(tmp_path, workers=1)
    for (alpha, seed), value in finals.items():
        config = {"alpha": alpha, "seed": seed}
        store.done[fair_study.key_of(config)] = {"config": config, "returns": [value], "steps": 1}
    return store


def test_tuning_picks_the_best_mean_over_seeds_and_sensitivity_moves_only_the_step_size(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(
        fair_study, "candidates", lambda learner, row: [{"alpha": "a"}, {"alpha": "b"}]
    )
    monkeypatch.setattr(fair_study, "base_config", lambda row, learner, episodes: {})
    # "a": one lucky seed (mean 50); "b": steady 60.
    store = fake_store(
        tmp_path, {("a", 100): 100.0, ("a", 101): 0.0, ("b", 100): 60.0, ("b", 101): 60.0}
    )
    arguments = fair_study.parse_arguments([])
    arguments.lengths = {"row": (1, 1)}
    assert fair_study.tuned(store, "row", "velto", arguments)["chosen"] == {"alpha": "b"}
    chosen = {"alpha": 0.1, "meta_step_size": 0.01, "lambda_": 0.9}
    for curve, knob, meta in (("learned", "alpha", 0.01), ("fixed", "alpha", 0.0)):
        groups = fair_study.sensitivity_configs("row", curve, chosen, arguments)
        assert [g[0][knob] for g in groups] == list(fair_study.STEP_SIZES)
        assert {c["meta_step_size"] for g in groups for c in g} == {meta}
        assert {c["lambda_"] for g in groups for c in g} == {0.9}
        assert [c["seed"] for c in groups[0]] == list(fair_study.SENSITIVITY_SEEDS)
    sarsa = fair_study.sensitivity_configs("row", "sarsa", {"sarsa_alpha": 0.5}, arguments)
    assert [g[0]["sarsa_alpha"] for g in sarsa] == list(fair_study.STEP_SIZES)


def test_figure_bands_stay_within_the_returns_the_seeds_had() -> None:
    import fair_report

    rng = np.random.default_rng(0)
    curves = rng.choice([-200.0, -120.0], size=(10, 30))  # a task bounded at -200
    mean, low, high = fair_report.mean_band(curves)
    assert np.all(low >= curves.min(axis=0)) and np.all(high <= curves.max(axis=0))
    assert np.all(low <= mean) and np.all(mean <= high) and np.any(high > low)


@pytest.mark.parametrize(
    ("alpha", "cut"), [(2.8e-4, False), (3.1e-4, False), (3.2e-4, True), (1e-3, True)]
)
def test_the_actor_budget_cuts_step_sizes_only_above_its_share_of_a_state(
    alpha: float, cut: bool
) -> None:
    # 8 active features of step size alpha enter at probability 0.5: the budget 0.5 * 0.005
    # is exceeded when 8 * alpha > 0.0025, i.e. above alpha 3.125e-4.
    import step_size_anomaly

    arguments = step_size_anomaly.parse_arguments(["--episodes", "1", "--every", "1"])
    first = step_size_anomaly.trace_run(alpha, 0, arguments)[0]
    assert (first["unit_decayed"] > 0.0) is cut
    assert first["critic_decayed"] == 0.0  # the critic's budget eta 0.5 is far away
    assert first["prob_saturated"] == 0.0 and 0.45 < first["prob_mean"] < 0.55
