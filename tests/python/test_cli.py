"""The velto command as a user runs it: a fresh interpreter per command (python -m velto_kit.cli,
the console script's own code), its tables, files and messages."""

import csv
import io
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import velto_kit
from velto_kit.cli import evaluate, progress

ROOT = Path(__file__).resolve().parents[2]
PNG = b"\x89PNG\r\n\x1a\n"
QUICK = ["--random-episodes", "2", "--no-progress", "--no-inspect-plot"]

# A task of one's own, in a module of the folder the command runs in: a corridor walked right to
# its end, as a class and as a factory.
OWN_TASK = textwrap.dedent(
    """
    import gymnasium as gym


    class Corridor(gym.Env):
        def __init__(self, length=6):
            self.length = length
            self.observation_space = gym.spaces.Discrete(length)
            self.action_space = gym.spaces.Discrete(2)
            self.position = 0

        def reset(self, *, seed=None, options=None):
            super().reset(seed=seed)
            self.position = 0
            return self.position, {}

        def step(self, action):
            move = 1 if action == 1 else -1
            self.position = min(max(self.position + move, 0), self.length - 1)
            done = self.position == self.length - 1
            return self.position, float(done), done, False, {}


    def short_corridor():
        return Corridor(length=3)


    def not_an_env():
        return 42


    LENGTH = 6
    """
)


def velto(*arguments, cwd, check=True):
    completed = subprocess.run(
        [sys.executable, "-m", "velto_kit.cli", *map(str, arguments)],
        cwd=cwd, capture_output=True, text=True, timeout=300,
        env={**os.environ, "PYTHONWARNINGS": "ignore"},
    )  # fmt: skip
    if check:
        assert completed.returncode == 0, completed.stderr
    return completed


def table_rows(output):
    return [
        [cell.strip() for cell in line.split("|")[1:-1]]
        for line in output.splitlines()
        if line[:1] == "|"
    ]


@pytest.mark.parametrize(
    ("arguments", "status", "text"),
    [
        (["--help"], 0, "train"),
        ([], 2, "usage: velto COMMAND"),
        (["bogus"], 2, "no command 'bogus'"),
        (["train", "--help"], 0, "usage: velto train"),
        (["evaluate", "--help"], 0, "RUN_OR_AGENT"),
        (["inspect", "--help"], 0, "usage: velto inspect"),
        (["sweep", "--help"], 0, "usage: velto sweep"),
    ],
)
def test_the_command_lists_its_commands_and_refuses_unknown_ones(arguments, status, text, tmp_path):
    completed = velto(*arguments, cwd=tmp_path, check=False)
    assert completed.returncode == status
    assert text in completed.stdout + completed.stderr


def test_velto_train_and_the_example_write_the_same_table_and_returns(tmp_path):
    options = ["--episodes", "6", "--seeds", "0", "1", "--workers", "1", *QUICK]
    velto_run = velto("train", *options, "--output-dir", tmp_path / "velto", cwd=tmp_path)
    example = subprocess.run(
        [sys.executable, ROOT / "examples" / "train.py", *options, "--output-dir",
         tmp_path / "example"],
        capture_output=True, text=True, timeout=300, check=True,
    )  # fmt: skip
    assert table_rows(velto_run.stdout) == table_rows(example.stdout)
    velto_returns = (tmp_path / "velto" / "returns.csv").read_bytes()
    assert velto_returns == (tmp_path / "example" / "returns.csv").read_bytes()
    # Without --output-dir the run goes into the folder the command runs in.
    velto("train", "--episodes", "2", "--seeds", "0", *QUICK, cwd=tmp_path)
    assert (tmp_path / "velto-output" / "returns.csv").is_file()


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A two-seed CartPole run with checkpoints, as velto train leaves it."""
    out = tmp_path_factory.mktemp("run")
    options = ["--episodes", "10", "--seeds", "0", "1", "--checkpoint-every", "5", *QUICK]
    velto("train", *options, "--output-dir", out, cwd=out)
    return out


@pytest.mark.parametrize(
    ("source", "options", "agents"),
    [
        (".", [], ["seed-0", "seed-1", "mean of 2 agents"]),
        ("checkpoints/seed-1", ["--greedy"], ["seed-1 @ episode 10"]),
        ("agents/seed-0.npz", [], ["seed-0.npz"]),
    ],
)
def test_evaluate_follows_a_run_a_checkpoint_or_an_agent_without_changing_it(
    trained, source, options, agents
):
    before = {path: path.read_bytes() for path in trained.rglob("*.npz")}
    completed = velto("evaluate", trained / source, "--episodes", "4", *options, cwd=trained)
    rows = table_rows(completed.stdout)
    assert [row[0] for row in rows[2:]] == agents
    for row in rows[2:]:
        mean, (low, high) = float(row[2]), map(float, row[3].strip("[]").split(","))
        assert low <= mean <= high
    assert ("greedy" in completed.stdout) == ("--greedy" in options)
    assert {path: path.read_bytes() for path in trained.rglob("*.npz")} == before


def test_evaluate_of_a_checkpoint_gives_the_agent_the_run_saved(trained):
    # The latest checkpoint after the last episode holds the trained agent: the same table.
    folder = velto("evaluate", trained / "checkpoints/seed-0", "--episodes", "3", cwd=trained)
    agent = velto("evaluate", trained / "agents/seed-0.npz", "--episodes", "3", cwd=trained)
    assert table_rows(folder.stdout)[2][1:] == table_rows(agent.stdout)[2][1:]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["nowhere"], "no such file or folder"),
        (["episodes"], "no velto train output folder"),
        (["checkpoints/seed-0", "--tiles", "3"], "give the run's --tiles"),
        ([".", "--episodes", "0"], "--episodes must be at least 1"),
    ],
)
def test_evaluate_says_what_it_cannot_use(trained, arguments, message):
    completed = velto("evaluate", *arguments, cwd=trained, check=False)
    assert completed.returncode != 0
    assert message in completed.stderr


def test_inspect_summarises_each_learner_and_draws_the_figure(trained):
    completed = velto("inspect", trained / "agents/seed-1.npz", "--plot", "look.png", cwd=trained)
    lines = completed.stdout.splitlines()
    assert lines[0] == "seed-1.npz: 19208 features, 1 unit(s)"
    assert "lambda_ 0.5" in lines[1] and "eta_actor 0.005" in lines[1]
    learners = [line.split()[:3] for line in lines[3:7]]
    assert learners == [
        ["critic", "step", "size"], ["critic", "weight", "19208"],
        ["unit", "0", "step"], ["unit", "0", "weight"],
    ]  # fmt: skip
    agent = velto_kit.load(trained / "agents/seed-1.npz")
    weights = velto_kit.inspect(agent).critic.weights
    near_zero = int((abs(weights) < 1e-6).sum())
    assert lines[4].split()[3] == str(near_zero)
    assert (trained / "look.png").read_bytes()[:8] == PNG


@pytest.mark.parametrize(
    ("env", "options"),
    [
        ("corridor:Corridor", ["--workers", "2", "--seeds", "0", "1"]),
        ("corridor:short_corridor", ["--population", "--seeds", "0", "1"]),
        ("corridor:Corridor", ["--seeds", "3"]),
    ],
)
def test_a_task_of_ones_own_by_its_class_trains_resumes_and_evaluates(env, options, tmp_path):
    (tmp_path / "corridor.py").write_text(OWN_TASK)
    common = ["--env", env, "--checkpoint-every", "3", "--max-episode-steps", "50", *options]
    common += QUICK
    velto("train", *common, "--episodes", "3", cwd=tmp_path)
    resumed = velto("train", *common, "--episodes", "6", "--resume", cwd=tmp_path)
    assert "runs on Gymnasium: it has no native task" in resumed.stdout
    out = tmp_path / "velto-output"
    with (out / "returns.csv").open() as file:
        episodes = [row["episode"] for row in csv.DictReader(file)]
    seeds = len(options) - options.index("--seeds") - 1
    assert episodes == [str(e) for e in range(6)] * seeds
    evaluated = velto("evaluate", "velto-output", "--episodes", "2", cwd=tmp_path)
    assert evaluated.stdout.startswith(f"{env}: {seeds} agent(s)")


@pytest.mark.parametrize(
    ("env", "message"),
    [
        ("corridor:Nope", "has no class or factory 'Nope'"),
        ("corridor:LENGTH", "has no class or factory 'LENGTH'"),
        ("corridor:not_an_env", "gave a int, not a gymnasium.Env"),
        ("nomodule_here:Corridor", "module 'nomodule_here' cannot be imported"),
    ],
)
def test_an_own_task_that_is_no_environment_is_named_before_training(env, message, tmp_path):
    (tmp_path / "corridor.py").write_text(OWN_TASK)
    completed = velto("train", "--env", env, "--episodes", "2", *QUICK, cwd=tmp_path, check=False)
    assert completed.returncode != 0
    assert message in completed.stderr
    assert not (tmp_path / "velto-output" / "returns.csv").exists()


@pytest.mark.parametrize("option", ["--output-dir", "--tensorboard"])
def test_a_folder_that_cannot_be_written_is_a_one_line_error(option, tmp_path):
    (tmp_path / "file").write_text("")  # a folder cannot be made below a file
    completed = velto("train", option, tmp_path / "file" / "out", "--episodes", "2", *QUICK,
                      cwd=tmp_path, check=False)  # fmt: skip
    assert completed.returncode == 1
    assert completed.stderr.startswith("error: ") and "Traceback" not in completed.stderr


def test_sweep_without_ray_says_which_extra_to_install(tmp_path):
    # Ray made unimportable, as in an environment without the [sweep] extra.
    code = "import sys; sys.modules['ray'] = None; from velto_kit.cli import main; main(['sweep'])"
    completed = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 1
    assert 'pip install "velto_actor_critic[sweep]"' in completed.stderr


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    ("stream", "lines"),
    [
        # A log: a line at each tenth of the work (and at the end), none per episode.
        (io.StringIO(), ["1/20", *(f"{done}/20" for done in range(2, 21, 2))]),
        # A terminal: one line redrawn in place, ended when the work is.
        (FakeTerminal(), ["1/20", "2/20", "3/20", "20/20"]),
    ],
)
def test_progress_is_a_bar_on_a_terminal_and_periodic_lines_in_a_log(stream, lines):
    # Three episodes 0.2 s apart, sixteen within 0.1 s of the third, the last at 5 s: a terminal
    # is redrawn at most ten times a second.
    ticks = iter([0.0, 0.0, 0.2, 0.4] + [0.45] * 16 + [5.0])
    with progress.Progress(20, "task", stream, clock=lambda: next(ticks)) as bar:
        for episode in range(20):
            bar.update(float(episode))
    text = stream.getvalue()
    shown = [part.split(": ")[1].split(" ")[0] for part in text.replace("\r", "\n").splitlines()
             if ": " in part]  # fmt: skip
    assert shown == lines
    assert "last 20 mean 9.5, done in 0:05" in text
    assert text.endswith("\n")


def test_progress_estimates_the_time_left_from_the_pace_so_far():
    stream = io.StringIO()
    ticks = iter([0.0, 30.0])
    bar = progress.Progress(10, "task", stream, clock=lambda: next(ticks))
    bar.update(1.0)
    assert stream.getvalue() == "task: 1/10 episodes, last 1 mean 1.0, 4:30 left\n"
    quiet = progress.Progress(10, "task", stream, enabled=False)
    quiet.update(1.0)
    assert stream.getvalue().count("\n") == 1


def test_intervals_are_the_bootstrap_of_the_mean():
    low, high = evaluate.bootstrap_interval([0.0, 10.0] * 50)
    assert 3.5 < low < 5.0 < high < 6.5
    assert evaluate.bootstrap_interval([7.0]) == (7.0, 7.0)


def test_the_own_task_page_runs_as_written_from_an_empty_folder(tmp_path):
    page = (ROOT / "docs" / "how-to" / "own-task.md").read_text()
    blocks = page.split("```")
    [module] = [block.removeprefix("python\n") for block in blocks if block.startswith("python\n")]
    (tmp_path / "corridor.py").write_text(module)
    commands = [
        line.split()[1:]
        for block in blocks
        if block.startswith("bash\n")
        for line in block.splitlines()
        if line.startswith("velto ")
    ]
    assert [command[0] for command in commands] == ["train", "train", "evaluate", "evaluate",
                                                    "inspect", "train"]  # fmt: skip
    outputs = [velto(*command, cwd=tmp_path).stdout for command in commands]
    with (tmp_path / "velto-output" / "returns.csv").open() as file:
        assert len(list(csv.DictReader(file))) == 2 * 80
    assert table_rows(outputs[2])[-1][0] == "mean of 2 agents"
    assert "greedy" in outputs[3]
    assert outputs[4].startswith("seed-0.npz: 8 features, 1 unit(s)")
    assert sorted(path.name for path in (tmp_path / "tb").iterdir()) == ["seed-0", "seed-1"]


def test_a_refused_resume_leaves_the_runs_record(tmp_path):
    options = ["--episodes", "4", "--seeds", "0", "--checkpoint-every", "2", *QUICK]
    velto("train", *options, cwd=tmp_path)
    record = (tmp_path / "velto-output" / "run.json").read_bytes()
    refused = velto("train", *options, "--tiles", "3", "--resume", cwd=tmp_path, check=False)
    assert refused.returncode != 0 and "error:" in refused.stderr
    assert (tmp_path / "velto-output" / "run.json").read_bytes() == record
    # velto evaluate still rebuilds the features the agents were trained with.
    velto("evaluate", "velto-output", "--episodes", "2", cwd=tmp_path)
