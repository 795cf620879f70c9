"""The Gymnasium example (examples/train.py) as a user runs it: options, tables, files."""

import csv
import multiprocessing
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import velto_kit  # noqa: E402
from velto_kit.cli import train  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"


def table_rows(output: str) -> list[list[str]]:
    return [
        [cell.strip() for cell in line.split("|")[1:-1]]
        for line in output.splitlines()
        if line[:1] == "|"
    ]


def test_moving_average_matches_a_plain_trailing_mean():
    values = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0]
    for width in (1, 3, 10):
        expected = [np.mean(values[max(0, end - width) : end]) for end in range(1, len(values) + 1)]
        assert np.allclose(train.moving_average(values, width), expected)


def test_two_seeds_in_two_workers_print_the_table_and_write_plot_and_returns(tmp_path, capsys):
    options = "--episodes 3 --seeds 0 1 --workers 2 --window 2 --random-episodes 2"
    train.main([*options.split(), "--no-progress", "--output-dir", str(tmp_path)])
    rows = table_rows(capsys.readouterr().out)
    assert [row[0] for row in rows] == ["seed", "---:", "0", "1", "mean ± sd"]
    assert rows[0][:3] == ["seed", "first 2", "last 2"]
    assert (tmp_path / "learning_curve.png").read_bytes()[:8] == PNG
    with (tmp_path / "returns.csv").open() as file:
        returns = list(csv.DictReader(file))
    assert [(row["seed"], row["episode"]) for row in returns] == [
        (seed, episode) for seed in "01" for episode in "012"
    ]
    # The table's steps are the episodes' lengths, and CartPole pays 1 per step.
    steps = {row[0]: int(row[-2]) for row in rows[2:4]}
    for seed in "01":
        assert steps[seed] == sum(float(row["return"]) for row in returns if row["seed"] == seed)


def test_a_single_seed_runs_in_this_process_with_the_window_fitted_to_the_run(
    tmp_path, capsys, monkeypatch
):
    def no_workers(*_arguments, **_options):
        raise AssertionError("a single seed must not start worker processes")

    monkeypatch.setattr(multiprocessing, "get_context", no_workers)
    plot = tmp_path / "elsewhere" / "curve.png"
    # Five episodes with the default window of 20 once failed; the run now uses all five.
    train.main(["--episodes", "5", "--seeds", "4", "--random-episodes", "2", "--no-progress",
                "--output-dir", str(tmp_path), "--plot", str(plot)])  # fmt: skip
    output = capsys.readouterr().out
    assert table_rows(output)[0][:3] == ["seed", "first 5", "last 5"]
    assert "in this process" in output
    assert plot.read_bytes()[:8] == PNG
    assert not (tmp_path / "learning_curve.png").exists()


def test_a_single_seed_runs_under_the_profiler(tmp_path):
    # The profiler runs the script as __main__, which worker processes could not import.
    script = Path(__file__).resolve().parents[2] / "examples" / "train.py"
    command = [sys.executable, "-m", "cProfile", "-o", str(tmp_path / "profile"), str(script)]
    command += ["--episodes", "3", "--seeds", "0", "--random-episodes", "1", "--no-progress"]
    completed = subprocess.run(
        [*command, "--output-dir", str(tmp_path)], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    assert "in this process" in completed.stdout
    assert (tmp_path / "profile").stat().st_size > 0


def test_the_default_output_folder_is_not_the_committed_figure():
    arguments = train.parse_arguments([])
    assert arguments.plot == train.OUTPUT_DIR / "learning_curve.png"
    # velto train writes into the folder it is started in; examples/train.py into examples/output.
    assert not arguments.output_dir.is_absolute()
    assert arguments.plot.resolve() != Path("docs/learning_curve.png").resolve()


@pytest.mark.parametrize(
    ("env_id", "extra", "units", "features"),
    [
        ("FrozenLake-v1", [], 2, 16),  # Discrete observations, four actions: 2 binary units
        ("Acrobot-v1", ["--mapping", "binary", "--hash-size", "4096"], 2, 4096),
    ],
)
def test_other_tasks_train_evaluate_and_checkpoint(
    env_id, extra, units, features, tmp_path, capsys
):
    options = ["--env", env_id, "--episodes", "2", "--seeds", "0", "--random-episodes", "1"]
    options += ["--evaluate", "2", "--checkpoint-every", "2", "--no-progress"]
    options += ["--output-dir", str(tmp_path), *extra]
    train.main(options)
    rows = table_rows(capsys.readouterr().out)
    assert rows[0][-3:] == ["evaluation", "steps", "seconds"]
    assert len(rows) == 4
    saved = velto_kit.inspect(velto_kit.load(tmp_path / "checkpoints/seed-0/agent-000002.npz"))
    assert len(saved.units) == units and saved.critic.weights.size == features


def test_a_task_without_time_limit_gets_one_and_small_returns_keep_their_digits(tmp_path, capsys):
    # CliffWalking-v1 has no limit, and a random walk may wander for thousands of steps.
    options = ["--env", "CliffWalking-v1", "--episodes", "2", "--seeds", "0", "--random-episodes"]
    train.main([*options, "1", "--no-progress", "--output-dir", str(tmp_path)])
    output = capsys.readouterr().out
    limit = train.UNLIMITED_TASK_STEPS
    assert f"no time limit: episodes end after {limit} steps" in output
    assert int(table_rows(output)[2][-2]) <= 2 * limit
    # FrozenLake returns 0 or 1 an episode: its table shows three decimals.
    train.main(["--env", "FrozenLake-v1", *options[2:], "3", "--no-progress",
                "--output-dir", str(tmp_path)])  # fmt: skip
    rows = table_rows(capsys.readouterr().out)
    assert all(len(cell.split(".")[1]) == 3 for cell in rows[2][1:5])


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--env", "Pendulum-v1"], "Discrete action space"),
        (["--env", "NoSuchEnvironment-v0"], "error: "),
        (["--env", "MountainCar-v0", "--bounds", "0", "1"], "dimensions"),
        (["--env", "CartPole-v1", "--mapping", "opposing"], "3 actions"),
    ],
)
def test_an_environment_the_example_cannot_drive_stops_before_training(
    arguments, message, tmp_path
):
    with pytest.raises(SystemExit, match=message):
        train.main([*arguments, "--episodes", "1", "--output-dir", str(tmp_path)])
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize(
    ("option", "value", "accepted"),
    [
        # Discount, trace decay, pruning fraction and the units' initial probability: [0, 1].
        ("--gamma", "0", True),
        ("--gamma", "1", True),
        ("--gamma", "1.0000001", False),
        ("--gamma", "5", False),
        ("--gamma", "-0.001", False),
        ("--gamma", "nan", False),
        ("--lambda", "0", True),
        ("--lambda", "1", True),
        ("--lambda", "2", False),
        ("--epsilon", "0", True),
        ("--epsilon", "1", True),
        ("--epsilon", "nan", False),
        ("--epsilon", "-0.01", False),
        ("--action-prob-at-init", "0", True),
        ("--action-prob-at-init", "1", True),
        ("--action-prob-at-init", "1.5", False),
        # Step size and budgets: positive and finite.
        ("--alpha", "0", False),
        ("--alpha", "5e-324", True),
        ("--alpha", "-5", False),
        ("--alpha", "inf", False),
        ("--eta", "0", False),
        ("--eta", "1e-9", True),
        ("--eta", "inf", False),
        ("--eta-actor", "0", False),
        ("--eta-actor", "0.001", True),
        # Step-size learning: 0 (fixed step sizes) or more, finite.
        ("--meta-step-size", "0", True),
        ("--meta-step-size", "-0.000001", False),
        ("--meta-step-size", "inf", False),
        # The over-budget factor: (0, 1].
        ("--decay", "0", False),
        ("--decay", "1", True),
        ("--decay", "1.5", False),
    ],
)
def test_learning_parameters_outside_their_range_are_usage_errors(option, value, accepted, capsys):
    argv = [option, value, "--episodes", "2"]
    if accepted:
        arguments = train.parse_arguments(argv)
        name = option[2:].replace("-", "_").replace("lambda", "lambda_")
        assert getattr(arguments, name) == float(value)
        return
    with pytest.raises(SystemExit) as stopped:
        train.parse_arguments(argv)
    assert stopped.value.code == 2
    message = capsys.readouterr().err.splitlines()[-1]
    assert f": error: {option} must lie in " in message
    assert message.endswith(f", not {float(value)}")


def test_a_preset_carrying_a_bad_value_is_a_usage_error(tmp_path, monkeypatch, capsys):
    import json

    data = json.loads(Path(velto_kit.presets.DATA_FILE).read_text())
    for preset in data["presets"]:
        preset["gamma"] = 5.0
    damaged = tmp_path / "presets.json"
    damaged.write_text(json.dumps(data))
    monkeypatch.setattr(velto_kit.presets, "DATA_FILE", damaged)
    with pytest.raises(SystemExit) as stopped:
        train.parse_arguments(["--preset", "--episodes", "2"])
    assert stopped.value.code == 2
    assert (
        capsys.readouterr()
        .err.splitlines()[-1]
        .endswith("--gamma must lie in [0, 1], not 5.0 (the task's preset)")
    )
    # The command line still wins over the preset's value.
    assert train.parse_arguments(["--preset", "--gamma", "0.9"]).gamma == 0.9
