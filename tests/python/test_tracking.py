"""Experiment tracking: the TensorBoard event files and the offline W&B run that velto train
writes, read back, and the callback of run_episodes and run_population."""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from velto_kit.cli import train
from velto_kit.experiments import tracking

QUICK = ["--random-episodes", "1", "--no-progress", "--no-inspect-plot", "--workers", "1"]


def returns_by_seed(out):
    with (out / "returns.csv").open() as file:
        rows = list(csv.DictReader(file))
    seeds = sorted({row["seed"] for row in rows})
    return {seed: [float(row["return"]) for row in rows if row["seed"] == seed] for seed in seeds}


def event_file(folder):
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    events = EventAccumulator(str(folder), size_guidance={"scalars": 0, "histograms": 0})
    events.Reload()
    return events


def scalar(events, tag):
    return {event.step: event.value for event in events.Scalars(tag)}


def near_zero(values):
    return float(np.sum(np.abs(values) < tracking.NEAR_ZERO))


@pytest.mark.parametrize("backend", ["native", "gymnasium"])
def test_tensorboard_holds_each_episode_and_the_learned_step_sizes(backend, tmp_path):
    out, board = tmp_path / "run", tmp_path / "tb"
    train.main(["--episodes", "20", "--seeds", "0", "--tensorboard", str(board), "--track-every",
                "10", "--backend", backend, "--output-dir", str(out), *QUICK])  # fmt: skip
    events = event_file(board / "seed-0")
    returns = returns_by_seed(out)["0"]
    assert scalar(events, "episode/return") == dict(enumerate(returns, start=1))
    # CartPole pays 1 a step: an episode's length is its return.
    assert scalar(events, "episode/length") == dict(enumerate(returns, start=1))
    rates = scalar(events, "episode/steps_per_second")
    assert len(rates) == 20 and all(np.isfinite(rate) and rate > 0 for rate in rates.values())
    tags = events.Tags()["histograms"]
    assert sorted(tags) == [
        "critic/step_sizes", "critic/weights", "unit_0/step_sizes", "unit_0/weights",
    ]  # fmt: skip
    assert [event.step for event in events.Histograms("critic/step_sizes")] == [10, 20]
    # The statistics at episode 20 are the trained agent's.
    agent = velto_kit.inspect(velto_kit.load(out / "agents" / "seed-0.npz"))
    for learner, state in (("critic", agent.critic), ("unit_0", agent.units[0])):
        visited = state.step_sizes[state.entry_step != 0].astype(np.float64)
        weights = state.weights.astype(np.float64)
        assert scalar(events, f"{learner}/weights/near_zero")[20] == near_zero(weights)
        assert scalar(events, f"{learner}/step_sizes/count")[20] == visited.size
        median = scalar(events, f"{learner}/step_sizes/q50")[20]
        assert median == pytest.approx(np.quantile(visited, 0.5), rel=1e-6)
        assert scalar(events, f"{learner}/weights/max")[20] == pytest.approx(weights.max())


def test_a_population_tags_each_seed_and_histograms_come_at_checkpoints(tmp_path):
    out, board = tmp_path / "run", tmp_path / "tb"
    train.main(["--episodes", "6", "--seeds", "4", "5", "--population", "--tensorboard",
                str(board), "--checkpoint-every", "3", "--output-dir", str(out),
                *QUICK])  # fmt: skip
    events = event_file(board / "population")
    returns = returns_by_seed(out)
    for seed in ("4", "5"):
        assert scalar(events, f"seed_{seed}/episode/return") == dict(
            enumerate(returns[seed], start=1)
        )
        # --track-every (100) is past the run: the histograms are the checkpoints'.
        steps = [e.step for e in events.Histograms(f"seed_{seed}/critic/step_sizes")]
        assert steps == [3, 6]


def wandb_records(path):
    """The records of an offline W&B run's .wandb file: blocks of 32 KiB after a 7-byte header,
    each record a 7-byte header (checksum, length, kind: whole, first, middle, last) and data."""
    from wandb.proto import wandb_internal_pb2

    data = Path(path).read_bytes()
    assert data[:4] == b":W&B"
    position, chunks, pending, block = 7, [], b"", 32768
    while position + 7 <= len(data):
        left = block - position % block
        length = int.from_bytes(data[position + 4 : position + 6], "little")
        kind = data[position + 6] if left >= 7 else 0
        if kind == 0:
            position += left
            continue
        chunk = data[position + 7 : position + 7 + length]
        position += 7 + length
        if kind in (1, 2):
            pending = b""
        pending += chunk
        if kind in (1, 4):
            chunks.append(pending)
    records = []
    for chunk in chunks:
        record = wandb_internal_pb2.Record()
        record.ParseFromString(chunk)
        records.append(record)
    return records


def test_wandb_offline_run_holds_the_episodes_and_histograms(tmp_path):
    options = ["--episodes", "10", "--seeds", "2", "--wandb", "--wandb-project", "probe",
               "--wandb-group", "grid", "--track-every", "5", *QUICK]  # fmt: skip
    environment = {**os.environ, "WANDB_MODE": "offline", "WANDB_DIR": str(tmp_path),
                   "WANDB_SILENT": "true"}  # fmt: skip
    completed = subprocess.run(
        [sys.executable, "-m", "velto_kit.cli", "train", *options, "--output-dir", "run"],
        cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert completed.returncode == 0, completed.stderr
    [path] = (tmp_path / "wandb").glob("offline-run-*/run-*.wandb")
    records = wandb_records(path)
    [run] = [record.run for record in records if record.WhichOneof("record_type") == "run"]
    assert (run.project, run.run_group, run.display_name) == ("probe", "grid", "CartPole-v1 seed-2")
    history = []
    for record in records:
        if record.WhichOneof("record_type") == "history":
            items = record.history.item
            history.append({i.key or "/".join(i.nested_key): json.loads(i.value_json)
                            for i in items})  # fmt: skip
    logged = {row["episode"]: row["episode/return"] for row in history if "episode/return" in row}
    assert logged == dict(enumerate(returns_by_seed(tmp_path / "run")["2"], start=1))
    histograms = [row["episode"] for row in history if "critic/step_sizes/_type" in row]
    assert histograms == [5, 10]


def test_run_episodes_calls_back_with_each_result_and_its_agent():
    env = gym.make("CartPole-v1")
    features = velto_kit.features_for(env)
    mapping = velto_kit.action_mapping("default", 2)
    agent = velto_kit.make_agent(features.num_features, 1, velto_kit.AgentSettings(), 0)
    calls = []
    results = velto_kit.run_episodes(
        env, agent, features, mapping, episodes=3, gamma=0.99, seed=0,
        callback=lambda result, called: calls.append((result, called)),
    )  # fmt: skip
    for result in results:
        # Called before the result is handed on.
        assert calls[-1] == (result, agent)
    assert [result.episode for result, _ in calls] == [0, 1, 2]


def test_run_population_calls_back_with_each_members_agent():
    envs = velto_kit.make_vector_env("CartPole-v1", 2, seed=0, backend="native")
    features = velto_kit.features_for(gym.make("CartPole-v1"))
    mapping = velto_kit.action_mapping("default", 2)
    agents = [
        velto_kit.make_agent(features.num_features, 1, velto_kit.AgentSettings(), seed)
        for seed in (0, 1)
    ]
    calls = []
    results = list(velto_kit.run_population(
        envs, velto_kit.Population(agents), features, mapping, episodes=2, gamma=0.99, seed=0,
        callback=lambda result, agent: calls.append((result, agent)),
    ))  # fmt: skip
    assert [result for result, _ in calls] == results
    assert all(agent is agents[result.agent] for result, agent in calls)


def test_nothing_is_imported_unless_asked_and_a_missing_package_names_its_extra():
    code = (
        "import sys; import velto_kit.cli.train\n"
        "assert not {'tensorboardX', 'wandb', 'tensorboard'} & set(sys.modules), sys.modules\n"
        "sys.modules['tensorboardX'] = None\n"
        "from velto_kit.experiments.tracking import TensorBoardLogger\n"
        "try:\n    TensorBoardLogger('tb')\nexcept ImportError as error:\n    print(error)\n"
    )
    completed = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    assert 'pip install "velto_actor_critic[tensorboard]"' in completed.stdout


@pytest.mark.parametrize("every", [0, -1])
def test_histograms_need_a_positive_period(every, tmp_path, capsys):
    with pytest.raises(ValueError, match="every must be at least 1"):
        tracking.TensorBoardLogger(tmp_path, every=every)
    with pytest.raises(SystemExit):
        train.parse_arguments(["--track-every", str(every)])
    assert "--track-every must be at least 1" in capsys.readouterr().err


@pytest.mark.parametrize("learner", ["agent", "idbd"])
def test_tensorboard_logs_a_prediction_run_at_each_call(learner, tmp_path):
    from velto_kit.experiments.prediction_baselines import IDBD
    from velto_kit.experiments.prediction_tasks import TrackingRegression

    task = TrackingRegression()
    # The agent's run checkpoint at 200 falls on a period: it is logged once.
    options = {"checkpoint_every": 200, "checkpoint_dir": tmp_path / "run"}
    if learner == "agent":
        settings = velto_kit.AgentSettings(meta_step_size=0.01)
        agent = velto_kit.make_agent(task.num_features, 1, settings, seed=3)
    else:
        agent, options = IDBD(task.num_features, alpha=0.05, theta=0.01), {}
    with tracking.TensorBoardLogger(tmp_path) as logger:
        result = velto_kit.run_prediction(
            agent, task.transitions(seed=1, steps=250), callback=logger, callback_every=100,
            **options,
        )  # fmt: skip
    events = event_file(tmp_path)
    errors = result.errors
    logged = scalar(events, "prediction/mean_squared_error")
    assert sorted(logged) == [100, 200, 250]
    for count, value in logged.items():
        assert value == pytest.approx(np.square(errors[:count]).mean(), rel=1e-6)
    assert scalar(events, "prediction/value")[250] == result.predictions[-1]
    assert sorted(scalar(events, "prediction/steps_per_second")) == [100, 200, 250]
    if learner != "agent":
        # A baseline predictor has no critic or units to look into.
        assert events.Tags()["histograms"] == []
        return
    assert sorted(events.Tags()["histograms"]) == [
        "critic/step_sizes", "critic/weights", "unit_0/step_sizes", "unit_0/weights",
    ]  # fmt: skip
    assert [event.step for event in events.Histograms("critic/step_sizes")] == [100, 200, 250]
    state = velto_kit.inspect(agent).critic
    weights = state.weights.astype(np.float64)
    assert scalar(events, "critic/weights/near_zero")[250] == near_zero(weights)
    visited = state.step_sizes[state.entry_step != 0].astype(np.float64)
    median = scalar(events, "critic/step_sizes/q50")[250]
    assert median == pytest.approx(np.quantile(visited, 0.5), rel=1e-6)


def test_wandb_offline_logs_a_prediction_run_against_its_transitions(tmp_path, monkeypatch):
    from velto_kit.experiments.prediction_tasks import TrackingRegression

    for key, value in (("WANDB_MODE", "offline"), ("WANDB_SILENT", "true")):
        monkeypatch.setenv(key, value)
    task = TrackingRegression()
    settings = velto_kit.AgentSettings(meta_step_size=0.01)
    agent = velto_kit.make_agent(task.num_features, 0, settings, seed=3)
    with tracking.WandbLogger("probe", directory=str(tmp_path)) as logger:
        result = velto_kit.run_prediction(
            agent, task.transitions(seed=1, steps=120), callback=logger, callback_every=50
        )
    [path] = (tmp_path / "wandb").glob("offline-run-*/run-*.wandb")
    history = []
    metrics = set()
    for record in wandb_records(path):
        kind = record.WhichOneof("record_type")
        if kind == "history":
            items = record.history.item
            history.append({i.key or "/".join(i.nested_key): json.loads(i.value_json)
                            for i in items})  # fmt: skip
        elif kind == "metric":
            metrics.add((record.metric.glob_name, record.metric.step_metric))
    # The x-axis is the transitions, not episodes.
    assert ("*", "transition") in metrics
    logged = {row["transition"]: row["prediction/mean_squared_error"]
              for row in history if "prediction/mean_squared_error" in row}  # fmt: skip
    assert sorted(logged) == [50, 100, 120]
    assert logged[120] == pytest.approx(np.square(result.errors).mean())
    histograms = [row["transition"] for row in history if "critic/step_sizes/_type" in row]
    assert histograms == [50, 100, 120]
