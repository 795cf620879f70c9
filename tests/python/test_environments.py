"""Environment ids qualified by the module that registers the task ("module:Task-v0"), wherever
velto_kit and the example take an id."""

import csv
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import gymnasium as gym
import pytest
import velto_kit
from velto_kit import tune
from velto_kit.sweeps.trial_config import TrialConfig

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

from velto_kit.cli import train  # noqa: E402

MODULE = "velto_probe_tasks"
TASK = "VeltoProbeTask-v0"


@pytest.fixture
def task_module(tmp_path, monkeypatch):
    """A module, not yet imported, whose import registers TASK with a limit of 7 steps."""
    (tmp_path / f"{MODULE}.py").write_text(
        textwrap.dedent(f"""
        import gymnasium as gym
        gym.register(id="{TASK}", max_episode_steps=7,
                     entry_point="gymnasium.envs.toy_text.frozen_lake:FrozenLakeEnv")
        """)
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    yield f"{MODULE}:{TASK}"
    sys.modules.pop(MODULE, None)
    gym.registry.pop(TASK, None)


@pytest.mark.parametrize(
    ("make", "limit"),
    [
        (lambda env_id: velto_kit.env_spec(env_id).max_episode_steps, 7),
        (lambda env_id: velto_kit.make_env(env_id).spec.max_episode_steps, 7),
        (lambda env_id: velto_kit.make_env(env_id, 3).spec.max_episode_steps, 3),
        (lambda env_id: tune.make_env(TrialConfig(env_id=env_id)).spec.max_episode_steps, 7),
        # The example's own limit: the task's, so train.py asks for none of its own.
        (lambda env_id: train.time_limit(env_id, None), None),
    ],
)
def test_module_qualified_ids_import_their_module_first(task_module, make, limit):
    assert MODULE not in sys.modules
    assert make(task_module) == limit


@pytest.mark.parametrize(
    ("env_id", "error", "text"),
    [
        ("velto_no_such_module:Task-v0", ValueError, "velto_no_such_module"),
        (":Task-v0", ValueError, "must be 'module:Task-vN'"),
        ("gymnasium:VeltoNoSuchTask-v0", gym.error.Error, "VeltoNoSuchTask"),
        (3, TypeError, "env_id must be a str"),
    ],
)
def test_unknown_or_malformed_ids_name_what_is_wrong(env_id, error, text):
    with pytest.raises(error, match=text):
        velto_kit.make_env(env_id)


@pytest.mark.parametrize(("kwargs", "limit"), [({}, 7), ({"max_episode_steps": 3}, 3)])
def test_vector_environments_take_module_qualified_ids(task_module, kwargs, limit):
    assert MODULE not in sys.modules
    envs = velto_kit.make_vector_env(task_module, 3, seed=5, **kwargs)
    try:
        assert envs.num_envs == 3
        assert [env.spec.id for env in envs.envs] == [TASK] * 3
        assert [env.spec.max_episode_steps for env in envs.envs] == [limit] * 3
    finally:
        envs.close()


@pytest.mark.parametrize("path", ["--population", "--workers"])
def test_train_runs_a_module_qualified_task_on_every_path(task_module, tmp_path, path):
    # A fresh interpreter that finds the module only through PYTHONPATH: the example's process,
    # its population's vector environment and each worker process must import it themselves.
    options = ["--population"] if path == "--population" else ["--workers", "2"]
    completed = subprocess.run(
        [sys.executable, str(EXAMPLES / "train.py"), "--env", task_module, "--episodes", "3",
         "--seeds", "0", "1", *options, "--random-episodes", "2", "--no-progress",
         "--no-inspect-plot", "--output-dir", str(tmp_path / "out")],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )  # fmt: skip
    assert completed.returncode == 0, completed.stderr[-3000:]
    where = "as one population" if path == "--population" else "with 2 worker processes"
    assert where in completed.stdout
    with (tmp_path / "out" / "returns.csv").open() as file:
        assert len(list(csv.DictReader(file))) == 2 * 3
