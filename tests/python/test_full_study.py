"""The full-horizon study (examples/studies/full_study.py): its statistics, the two changes its
robustness rows make to a task, running trials natively or not, the study end to end in its smoke
size, and the presets it writes as velto_kit.presets and examples/train.py use them."""

import csv
import itertools
import json
import shlex
import statistics
import sys
from pathlib import Path

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from velto_kit import presets

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples" / "studies"))
sys.path.insert(0, str(ROOT / "examples"))

import evidence_stats  # noqa: E402
import fair_study  # noqa: E402
import full_study  # noqa: E402
import study_trials  # noqa: E402
from study_wrappers import Distractors, SwapActions  # noqa: E402
from velto_kit.cli import train  # noqa: E402

# -- statistics ---------------------------------------------------------------------------------


def test_expected_best_of_k_is_the_mean_best_over_every_draw():
    scores = [3.0, -1.0, 7.5, 0.25, 7.5, 2.0, -4.0]
    for k in range(1, len(scores) + 1):
        draws = list(itertools.combinations(scores, k))
        brute = statistics.fmean(max(draw) for draw in draws)
        assert evidence_stats.expected_best_of_k(scores, k) == pytest.approx(brute, abs=1e-12)
    with pytest.raises(ValueError, match="k must lie"):
        evidence_stats.expected_best_of_k(scores, 8)


def test_expected_best_curve_resamples_the_tuning_seeds_jointly_for_all_candidates():
    # Each candidate is good on one seed and bad on the other: a resample of the seeds' columns
    # gives the candidates mean 5 each (both columns) or 0 and 10 (one column twice), never
    # both 0. A bootstrap that resampled each candidate on its own would reach 0.
    curve = evidence_stats.expected_best_curve([[0.0, 10.0], [10.0, 0.0]])
    assert (curve[0].mean, curve[0].low, curve[0].high) == (5.0, 5.0, 5.0)
    assert (curve[1].mean, curve[1].low, curve[1].high) == (5.0, 5.0, 10.0)


def test_episodes_to_plateau_counts_to_the_end_of_the_first_window_near_the_own_plateau():
    # MountainCar-like: the random level -200, the run levels off at -110 from episode 30.
    returns = [-200.0] * 20 + list(np.linspace(-200.0, -110.0, 10)) + [-110.0] * 70
    reached = evidence_stats.episodes_to_plateau(returns, -200.0, final_window=50, window=5)
    threshold = -200.0 + 0.95 * 90.0
    means = evidence_stats.trailing_means(returns, 5)
    first = next(j for j, mean in enumerate(means) if mean >= threshold)
    assert reached == first + 5
    assert statistics.fmean(returns[reached - 5 : reached]) >= threshold
    assert statistics.fmean(returns[reached - 6 : reached - 1]) < threshold
    # A run that ends at the random level has no rise to time.
    flat = [-200.0] * 100
    assert evidence_stats.episodes_to_plateau(flat, -200.0, final_window=50) is None


def test_recovery_counts_episodes_after_the_change_until_back_within_the_margin():
    # Back within 10 % of the earlier level 220 means 198 or more, reached by the window
    # ending at episode 7 after the change.
    after = [20.0, 20.0, 20.0, 100.0, 150.0, 200.0, 200.0, 200.0, 200.0, 200.0]
    returns = [220.0] * 10 + after
    assert evidence_stats.recovery_after_change(returns, 10, window=2) == 7
    assert evidence_stats.recovery_after_change(returns, 10, window=2, margin=0.0) is None
    # Negative returns (CliffWalking: the level -20, the random policy near -2000): -21.5 is
    # back, -23 is not, however far both are from the random policy.
    negative = [-20.0] * 10 + [-200.0] * 5 + [-21.5] * 4
    assert evidence_stats.recovery_after_change(negative, 10, window=2) == 7
    lost = [-20.0] * 10 + [-200.0] * 5 + [-23.0] * 4
    assert evidence_stats.recovery_after_change(lost, 10, window=2) is None
    with pytest.raises(ValueError, match="no full window"):
        evidence_stats.recovery_after_change(returns, 1, window=2)


# -- the task changes ---------------------------------------------------------------------------


def test_distractors_add_k_distinct_features_of_the_extra_block_from_their_own_generator():
    base = velto_kit.features_for(gym.make("CartPole-v1"), tiles=6, tilings=8)
    observation = np.array([0.01, -0.2, 0.03, 0.1], dtype=np.float32)
    own = base.active_features(observation)
    first, second = Distractors(base, k=8, seed=3), Distractors(base, k=8, seed=3)
    draws = []
    for _ in range(200):
        active = first.active_features(observation)
        assert active[:8] == own
        extra = active[8:]
        assert len(set(extra)) == 8
        assert all(base.num_features <= i < first.num_features for i in extra)
        assert second.active_features(observation) == active  # a generator of its own, seeded
        draws.append(tuple(extra))
    assert len(set(draws)) == len(draws)  # drawn afresh on every call
    other = Distractors(base, k=8, seed=4).active_features(observation)[8:]
    assert tuple(other) != draws[0]
    assert first.num_features == base.num_features + 1024
    with pytest.raises(ValueError, match="k must lie"):
        Distractors(base, k=0, seed=0)


def test_swapped_actions_act_as_the_mirrored_action_from_the_change_on():
    swapped = SwapActions(gym.make("CartPole-v1"), change_at=1)
    plain = gym.make("CartPole-v1")
    for episode in range(2):
        observation, _ = swapped.reset(seed=episode)
        expected, _ = plain.reset(seed=episode)
        assert np.array_equal(observation, expected)
        for action in [0, 0, 1, 0, 1, 1]:
            mirrored = action if episode < 1 else 1 - action
            observation = swapped.step(action)[0]
            assert np.array_equal(observation, plain.step(mirrored)[0])
    cliff = SwapActions(gym.make("CliffWalking-v1"), change_at=0)
    cliff.reset(seed=0)
    assert [cliff.actual(a) for a in range(4)] == [3, 2, 1, 0]


# -- the trials ---------------------------------------------------------------------------------


def test_a_plain_trial_gives_the_fair_studys_returns_for_both_learners():
    for learner in ("velto", "sarsa"):
        config = {
            **fair_study.base_config("MountainCar-v0", learner, 3),
            **fair_study.candidates(learner, "MountainCar-v0")[5],
            "seed": 7,
            "max_episode_steps": 60,
        }
        ours = study_trials.run_trial(config)
        assert ours["returns"] == fair_study.run_trial(config)["returns"]
        assert ours["cpu_seconds"] > 0.0


def test_sarsa_spreads_its_start_value_over_the_task_features_and_the_distractors(monkeypatch):
    seen = {}
    original = study_trials_sarsa()

    def recording(*arguments, **options):
        seen.update(options)
        return original(*arguments, **options)

    monkeypatch.setattr("velto_kit.sweeps.baselines.SarsaLambda", recording)
    config = {
        **fair_study.base_config("CartPole-v1", "sarsa", 1),
        "seed": 0,
        "distractors": 2,
        "max_episode_steps": 5,
    }
    study_trials.run_trial(config)
    assert seen["features_per_state"] == 8 + 2  # 8 tilings, 2 distractors
    assert seen["seed"] == 0


def study_trials_sarsa():
    from velto_kit.sweeps.baselines import SarsaLambda

    return SarsaLambda


def test_the_action_swap_and_the_distractors_change_the_run_from_where_they_should():
    config = {**fair_study.base_config("CartPole-v1", "velto", 6), "seed": 1}
    plain = study_trials.run_trial(config)["returns"]
    swapped = study_trials.run_trial({**config, "change_at": 3})["returns"]
    assert swapped[:3] == plain[:3] and swapped != plain
    noisy = study_trials.run_trial({**config, "distractors": 8})["returns"]
    assert noisy != plain


@pytest.fixture
def fake_native(monkeypatch):
    """A 'native' backend that is Gymnasium's: exact for tasks Gymnasium steps one by one,
    not for CartPole-v1, whose vectorised version draws its starts from one generator."""
    make = velto_kit.make_vector_env

    def native(env_id, num_envs, *, seed, backend="gymnasium", **kwargs):
        backend = "gymnasium" if backend == "native" else backend
        return make(env_id, num_envs, seed=seed, backend=backend, **kwargs)

    monkeypatch.setattr(velto_kit, "make_vector_env", native)
    study_trials.native_available.cache_clear()
    yield
    study_trials.native_available.cache_clear()


def test_without_a_native_loop_every_trial_goes_through_run_episodes():
    study_trials.native_available.cache_clear()
    try:
        velto_kit.make_vector_env("CartPole-v1", 1, seed=0, backend="native")
    except ValueError:
        assert not study_trials.native_available("CartPole-v1")
        arguments = full_study.parse_arguments(["--smoke"])
        assert full_study.check_native(arguments) == []
    else:
        assert study_trials.native_available("CartPole-v1")


def test_the_native_loop_is_used_only_where_it_gives_run_episodes_returns(fake_native, monkeypatch):
    arguments = full_study.parse_arguments(["--rows", "CartPole-v1", "MountainCar-v0"])
    assert full_study.check_native(arguments) == ["MountainCar-v0"]
    assert full_study.check_native(full_study.parse_arguments(["--backend", "gymnasium"])) == []
    # Trials of one setting on seeds 3, 4 and 9 run as two populations, each result in place.
    base = {**fair_study.base_config("MountainCar-v0", "velto", 2), "max_episode_steps": 40}
    configs = [{**base, "seed": seed} for seed in (9, 3, 4)]
    calls = []
    original = study_trials.run_native

    def counted(run):
        calls.append([c["seed"] for c in run])
        return original(run)

    monkeypatch.setattr(study_trials, "run_native", counted)
    results = study_trials.run_task(configs, native=("MountainCar-v0",))
    assert calls == [[3, 4], [9]]
    assert sorted(r["config"]["seed"] for r in results) == [3, 4, 9]
    for result in results:
        assert result["returns"] == study_trials.run_trial(result["config"])["returns"]
    # A task the check left out never reaches the native loop, whatever velto_kit offers.
    cartpole = [{**fair_study.base_config("CartPole-v1", "velto", 2), "seed": s} for s in (0, 1)]
    study_trials.run_task(cartpole, native=("MountainCar-v0",))
    assert calls == [[3, 4], [9]]


def test_a_native_trial_that_run_episodes_does_not_reproduce_stops_the_study(
    fake_native, monkeypatch, tmp_path, smoke
):
    # A native loop that agrees on the short check but drifts late: only the check after the
    # trials, at their full length, can see it.
    original = study_trials.run_native

    def drifting(run):
        results = original(run)
        for result in results:
            if result["config"]["episodes"] > 3:
                result["returns"][-1] += 1.0
        return results

    monkeypatch.setattr(study_trials, "run_native", drifting)
    monkeypatch.setattr(full_study, "PACKAGE_PRESETS", tmp_path / "unused.json")
    options = ["--smoke", "--workers", "1", "--out", str(tmp_path)]
    with pytest.raises(RuntimeError, match="differs from run_episodes"):
        full_study.main(options)
    # The same study with an exact native loop gives run_episodes' records throughout.
    monkeypatch.setattr(study_trials, "run_native", original)
    exact = tmp_path / "exact"
    assert full_study.main([*options[:-1], str(exact)]) == 0
    assert json.loads((exact / "summary.json").read_text())["native"] == ["CliffWalking-v1"]
    lines = (exact / "trials.jsonl").read_text().splitlines()
    native = {fair_study.key_of(t["config"]): t["returns"] for t in map(json.loads, lines)}
    assert native == {fair_study.key_of(t["config"]): t["returns"] for t in smoke[1]}


# -- the study end to end -----------------------------------------------------------------------


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    out = tmp_path_factory.mktemp("full")
    package = out / "package_presets.json"
    original = full_study.PACKAGE_PRESETS
    full_study.PACKAGE_PRESETS = package
    try:
        assert full_study.main(["--smoke", "--workers", "1", "--out", str(out)]) == 0
    finally:
        full_study.PACKAGE_PRESETS = original
    trials = [json.loads(line) for line in (out / "trials.jsonl").read_text().splitlines()]
    return out, trials, package


def test_tuning_and_reporting_run_at_the_same_horizon_on_seeds_kept_apart():
    arguments = full_study.parse_arguments([])
    for row, episodes in full_study.HORIZONS.items():
        for learner in full_study.LEARNERS:
            tuning = full_study.tuning_configs(row, learner, arguments)
            reported = full_study.reported_configs(row, learner, {}, arguments)
            assert {c["episodes"] for c in tuning + reported} == {episodes}
            assert not {c["seed"] for c in tuning} & {c["seed"] for c in reported}
            assert len(tuning) == 16 * len(full_study.TUNING_SEEDS)
    assert len(arguments.seeds) == 10


def test_overlapping_seeds_stop_the_study(monkeypatch):
    monkeypatch.setattr(full_study, "TUNING_SEEDS", (9, 100))
    with pytest.raises(ValueError, match=r"seeds \[9\]"):
        full_study.parse_arguments([])


def test_only_a_run_of_the_whole_design_counts_as_complete():
    assert full_study.parse_arguments([]).complete
    for options in (["--smoke"], ["--pilot", "1"], ["--rows", "CartPole-v1"]):
        assert not full_study.parse_arguments(options).complete


def test_smoke_study_reports_every_part_with_intervals(smoke):
    out, trials, package = smoke
    text = (out / "full_study.md").read_text()
    final = next(line for line in text.splitlines() if line.startswith("| CliffWalking-v1 | 8"))
    assert final.count("[") == 4
    speed = [line for line in text.splitlines() if line.startswith("| CliffWalking-v1 | 0.")]
    assert len(speed) == 1 and speed[0].count("[") == 6
    cost = [line for line in text.splitlines() if "| CliffWalking-v1 | agent | -" in line]
    assert cost and cost[0].count("[") == 5  # best of 1, 2, 4, 8, 16
    for setting in ("alpha", "eta_actor", "lambda_", "mapping", "epsilon"):
        assert f"| {setting} |" in text
    configs = [t["config"] for t in trials]
    assert sum(c.get("distractors") == 8 for c in configs) == 2 * 3
    assert sum(c.get("change_at") == 4 for c in configs) == 3 * 3  # two learners and random
    for name in ("tuning_cost", "robustness", "sensitivity_cliffwalking-v1"):
        assert (out / f"{name}.png").stat().st_size > 10_000
    # A smoke run's presets are marked as such and never reach the package.
    assert json.loads((out / "presets_data.json").read_text())["status"] == "smoke"
    assert not package.exists()
    with pytest.raises(ValueError, match="'smoke'"):
        presets.load_presets(out / "presets_data.json")


def test_smoke_study_reads_its_trials_back_instead_of_running_them(smoke, monkeypatch):
    out, trials, _ = smoke

    def no_trial(*_arguments):
        raise AssertionError("a finished trial ran again")

    monkeypatch.setattr(study_trials, "run_trial", no_trial)
    monkeypatch.setattr(full_study, "PACKAGE_PRESETS", out / "unused.json")
    # Where velto_kit has a native loop, each invocation checks it against run_episodes again
    # (on trials of its own, and on the first stored trial per task): checks, not the study's
    # trials, so they are given the first run's answer here.
    native = json.loads((out / "summary.json").read_text())["native"]
    monkeypatch.setattr(full_study, "check_native", lambda _arguments: list(native))
    monkeypatch.setattr(full_study, "verify_native", lambda *_arguments: None)
    before = (out / "full_study.md").read_text()
    assert full_study.main(["--smoke", "--workers", "1", "--out", str(out)]) == 0
    assert len((out / "trials.jsonl").read_text().splitlines()) == len(trials)
    assert (out / "full_study.md").read_text() == before


def test_the_pilot_counts_what_the_study_runs(smoke, tmp_path):
    _, trials, _ = smoke
    assert (
        full_study.main(["--smoke", "--pilot", "1", "--workers", "1", "--out", str(tmp_path)]) == 0
    )
    estimate = json.loads((tmp_path / "pilot_estimate.json").read_text())
    kinds = estimate["rows"]["CliffWalking-v1"]

    def kind(config):
        extra = (
            "distractors"
            if "distractors" in config
            else "swap"
            if "change_at" in config
            else "plain"
        )
        return f"{config['learner']} {'plain' if config['learner'] == 'random' else extra}"

    ran = {name: 0 for name in kinds}
    for trial in trials:
        ran[kind(trial["config"])] += 1
    assert {name: entry["count"] for name, entry in kinds.items()} == ran
    total = sum(entry["count"] * statistics.fmean(entry["cpu_seconds"]) for entry in kinds.values())
    assert estimate["total_cpu_seconds"][0] == pytest.approx(total)


# -- presets ------------------------------------------------------------------------------------


def complete_copy(smoke_out: Path, path: Path) -> Path:
    """The smoke run's presets file marked complete, as a full run writes it."""
    data = json.loads((smoke_out / "presets_data.json").read_text())
    data["status"] = presets.COMPLETE
    path.write_text(json.dumps(data))
    return path


def test_a_preset_reproduces_its_study_trials_by_its_documented_command(
    smoke, tmp_path, monkeypatch
):
    out, trials, _ = smoke
    monkeypatch.setattr(presets, "DATA_FILE", complete_copy(out, tmp_path / "presets.json"))
    preset = presets.for_task("CliffWalking-v1")
    chosen = json.loads((out / "summary.json").read_text())["choices"]["CliffWalking-v1"]
    study = {
        t["config"]["seed"]: t["returns"]
        for t in trials
        if t["config"]["learner"] == "velto"
        and not set(t["config"]) & {"distractors", "change_at"}
        and t["config"]["seed"] in preset.seeds
        and all(t["config"][k] == v for k, v in chosen["velto"]["chosen"].items())
    }
    assert sorted(study) == list(preset.seeds)
    program, script, *options = shlex.split(preset.command)
    assert (program, script) == ("python", "examples/train.py")
    extra = "--workers 1 --random-episodes 1 --no-progress --no-inspect-plot --output-dir"
    train.main([*options, *extra.split(), str(tmp_path)])
    with (tmp_path / "returns.csv").open() as file:
        rows = list(csv.DictReader(file))
    returns = {seed: [float(r["return"]) for r in rows if int(r["seed"]) == seed] for seed in study}
    assert returns == study
    finals = [statistics.fmean(run[-preset.window :]) for run in returns.values()]
    assert statistics.fmean(finals) == pytest.approx(preset.final_return)
    assert preset.interval[0] <= preset.final_return <= preset.interval[1]


def test_the_example_takes_a_preset_only_when_asked_and_options_win(
    smoke, tmp_path, monkeypatch, capsys
):
    out, _, _ = smoke
    data = json.loads(complete_copy(out, tmp_path / "one.json").read_text())
    entry = data["presets"][0]
    cartpole = {**entry, "env_id": "CartPole-v1", "row": "CartPole-v1", "max_episode_steps": None}
    cartpole["agent"] = {**entry["agent"], "alpha": 0.02, "lambda_": 0.9}
    data["presets"].append(cartpole)
    (tmp_path / "two.json").write_text(json.dumps(data))
    monkeypatch.setattr(presets, "DATA_FILE", tmp_path / "two.json")

    def agent(options):
        return train.settings_from(train.parse_arguments(options)).agent

    # The README's run and every documented command without --preset keep the defaults.
    assert agent([]) == velto_kit.AgentSettings()
    assert agent(["--env", "CartPole-v1"]) == velto_kit.AgentSettings()
    tuned = velto_kit.AgentSettings(alpha=0.02, lambda_=0.9)
    assert agent(["--preset"]) == tuned
    assert agent(["--env", "CartPole-v1", "--preset"]) == tuned
    assert agent(["--env", "CartPole-v1", "--pre"]) == tuned  # abbreviated as argparse allows
    assert agent(["--env", "CartPole-v1", "--preset", "--alpha", "0.3"]).alpha == 0.3
    assert agent(["--env", "CartPole-v1", "--alpha", "0.3", "--preset"]).lambda_ == 0.9
    cliff = train.settings_from(train.parse_arguments(["--env", "CliffWalking-v1", "--preset"]))
    assert (cliff.max_episode_steps, cliff.mapping) == (200, entry["mapping"])
    # A time limit asked for wins over the preset's.
    longer = ["--env", "CliffWalking-v1", "--preset", "--max-episode-steps", "300"]
    assert train.settings_from(train.parse_arguments(longer)).max_episode_steps == 300
    with pytest.raises(SystemExit):
        train.parse_arguments(["--env", "Acrobot-v1", "--preset"])
    assert "--preset: no preset for Acrobot-v1; tasks with one: Cliff" in capsys.readouterr().err


def test_for_task_finds_a_preset_by_task_and_time_limit_and_names_the_others(smoke, tmp_path):
    out, _, _ = smoke
    data = json.loads(complete_copy(out, tmp_path / "one.json").read_text())
    entry = data["presets"][0]
    usual = {
        **entry,
        "env_id": "MountainCar-v0",
        "row": "MountainCar-v0",
        "max_episode_steps": None,
    }
    longer = {**usual, "row": "MountainCar-v0, 1000 steps", "max_episode_steps": 1000}
    longer["usual_limit"] = False
    data["presets"] += [longer, usual]
    path = tmp_path / "three.json"
    path.write_text(json.dumps(data))
    assert presets.tasks(path) == ["CliffWalking-v1", "MountainCar-v0"]
    assert presets.for_task("MountainCar-v0", path=path).row == "MountainCar-v0"
    assert presets.for_task("MountainCar-v0", 1000, path=path).row == "MountainCar-v0, 1000 steps"
    assert not presets.has_preset("MountainCar-v0", 500, path=path)
    with pytest.raises(LookupError, match=r"Acrobot-v1; tasks with one: CliffWalking-v1, Mount"):
        presets.for_task("Acrobot-v1", path=path)
    with pytest.raises(presets.NoPresetError, match="none"):
        presets.for_task("Acrobot-v1", path=tmp_path / "absent.json")
    entry["agent"] = {"alhpa": 0.1}
    path.write_text(json.dumps({**data, "presets": [entry]}))
    with pytest.raises(ValueError, match="alhpa"):
        presets.load_presets(path)


ENTRY = {
    "env_id": "Acrobot-v1", "row": "Acrobot-v1", "max_episode_steps": None, "usual_limit": True,
    "gamma": 0.99, "episodes": 500, "agent": {"alpha": 0.01},
    "features": {"tiles": 4, "tilings": 8, "hash_size": None}, "mapping": "binary",
    "final_return": -90.0, "interval": [-95.0, -85.0], "window": 50, "seeds": [0, 1],
    "command": "python examples/train.py --env Acrobot-v1 --preset",
}  # fmt: skip


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda entry: entry.update(extra=1), r"missing \[\], unknown \['extra'\]"),
        (lambda entry: entry.pop("window"), r"missing \['window'\], unknown \[\]"),
        (lambda entry: entry["agent"].update(alhpa=0.1), r"unknown agent settings \['alhpa'\]"),
        (lambda entry: entry["features"].update(tile=4), r"features \['hash_size', 'tile',"),
        (lambda entry: entry["features"].pop("hash_size"), r"features \['tiles', 'tilings'\]"),
    ],
)
def test_a_preset_entry_with_a_key_missing_or_unknown_is_refused(change, message, tmp_path):
    entry = json.loads(json.dumps(ENTRY))
    assert presets.Preset.from_dict(entry).agent.alpha == 0.01  # intact, it reads
    change(entry)
    path = tmp_path / "presets.json"
    path.write_text(json.dumps({"status": presets.COMPLETE, "presets": [entry]}))
    with pytest.raises(ValueError, match=message):
        presets.load_presets(path)


def test_a_native_task_that_is_not_exact_is_never_used():
    study_trials.native_available.cache_clear()
    try:
        assert "Acrobot-v1" in study_trials.NATIVE_TASKS
        assert not study_trials.native_available("Acrobot-v1")
        assert study_trials.native_available("CliffWalking-v1")
    finally:
        study_trials.native_available.cache_clear()


STUDY_RECORDS = ROOT / "docs" / "results" / "full_study"


@pytest.mark.parametrize("env_id", presets.tasks())
def test_a_shipped_preset_gives_its_study_trials_first_episodes(env_id, tmp_path):
    # The presets velto_kit ships against the records of the study that chose them: the preset's
    # own command, cut to seed 0 and a few episodes, gives that trial's first returns.
    preset = presets.for_task(env_id)
    chosen = json.loads((STUDY_RECORDS / "summary.json").read_text())["choices"][preset.row]
    lines = (STUDY_RECORDS / "trials.jsonl").read_text().splitlines()
    trials = [json.loads(line) for line in lines]
    limit = preset.max_episode_steps
    recorded = [
        t["returns"]
        for t in trials
        if t["config"]["learner"] == "velto"
        and t["config"]["env_id"] == env_id
        and t["config"].get("max_episode_steps") == limit
        and t["config"]["seed"] == 0
        and t["config"]["episodes"] == preset.episodes
        and not set(t["config"]) & {"distractors", "change_at"}
        and all(t["config"][k] == v for k, v in chosen["velto"]["chosen"].items())
    ]
    assert len(recorded) == 1
    program, script, *options = shlex.split(preset.command)
    assert (program, script) == ("python", "examples/train.py")
    cut = ["--episodes", "4", "--seeds", "0", "--workers", "1", "--random-episodes", "1"]
    extra = ["--no-progress", "--no-inspect-plot", "--output-dir", str(tmp_path)]
    train.main([*options, *cut, *extra])
    with (tmp_path / "returns.csv").open() as file:
        returns = [float(row["return"]) for row in csv.DictReader(file) if row["seed"] == "0"]
    assert returns == recorded[0][:4]
