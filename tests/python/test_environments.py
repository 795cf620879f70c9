"""Environment ids qualified by the module that registers the task ("module:Task-v0"), wherever
velto_kit and the example take an id."""

import sys
import textwrap
from pathlib import Path

import gymnasium as gym
import pytest
import velto_kit
from velto_kit import tune
from velto_kit.sweeps.trial_config import TrialConfig

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import train  # noqa: E402

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
