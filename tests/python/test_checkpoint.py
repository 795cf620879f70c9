"""Checkpoints: save/load and dumps/loads give agents equal in every bit that continue with the
same actions; pickle and copy go through the same bytes."""

import copy
import io
import pickle
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import velto_kit
from kit_support import assert_same_state, play, random_calls, trained_agent


@pytest.mark.parametrize("seed", range(40))
def test_round_trips_are_exact_and_continue_identically(seed, tmp_path):
    agent, rng = trained_agent(seed, steps=rng_steps(seed))
    path = tmp_path / "agent.npz"
    velto_kit.save(agent, path)
    data = velto_kit.dumps(agent)
    assert path.read_bytes() == data  # one format for files and bytes, and deterministic
    from_file, from_bytes = velto_kit.load(path), velto_kit.loads(data)
    for restored in (from_file, from_bytes):
        assert_same_state(agent, restored)
    future = random_calls(rng, velto_kit.inspect(agent).num_features, 40)
    expected = play(agent, future)
    assert play(from_file, future) == expected
    assert play(from_bytes, future) == expected
    assert_same_state(agent, from_file)
    assert_same_state(agent, from_bytes)


def rng_steps(seed):
    # Some agents are saved before any step, some with engines far into their words.
    return [0, 1, 7, 60, 400][seed % 5]


def test_checkpoint_opens_with_numpy_without_pickle(tmp_path):
    agent, _ = trained_agent(3, num_features=20, num_actions=2)
    path = tmp_path / "agent.npz"
    velto_kit.save(agent, path)
    state = velto_kit.inspect(agent)
    with np.load(path, allow_pickle=False) as archive:
        assert str(archive["format"]) == "velto_actor_critic agent state"
        assert int(archive["version"]) == 1
        assert int(archive["num_actions"]) == 2
        assert np.array_equal(archive["critic/weights"], state.critic.weights)
        assert np.array_equal(archive["units/1/rng_state"], state.units[1].rng_state)
        assert int(archive["units/1/rng_position"]) == state.units[1].rng_position
        assert archive["units/0/trace_list"].dtype == np.int32


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_continues_identically_and_independently(protocol):
    agent, rng = trained_agent(11, num_features=50, num_actions=3)
    twin = pickle.loads(pickle.dumps(agent, protocol=protocol))
    assert_same_state(agent, twin)
    calls = random_calls(rng, 50, 30)
    assert play(twin, calls) == play(agent, calls)
    # Stepping one does not move the other.
    before = velto_kit.dumps(agent)
    play(twin, calls)
    assert velto_kit.dumps(agent) == before


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_complete_and_independent(copier):
    agent, rng = trained_agent(12, num_features=50, num_actions=2)
    clone = copier(agent)
    assert clone is not agent
    assert_same_state(agent, clone)
    calls = random_calls(rng, 50, 30)
    frozen = velto_kit.dumps(clone)
    play(agent, calls)
    assert velto_kit.dumps(clone) == frozen
    second = copier(clone)
    assert play(clone, calls) == play(second, calls)


def test_copy_inside_containers_and_shared_references():
    agent, _ = trained_agent(13, num_features=10, num_actions=1)
    pair = copy.deepcopy([agent, agent])
    assert pair[0] is pair[1] and pair[0] is not agent
    assert_same_state(agent, pair[0])


def test_another_process_continues_identically(tmp_path):
    agent, rng = trained_agent(21, num_features=80, num_actions=4)
    path = tmp_path / "agent.npz"
    velto_kit.save(agent, path)
    calls = random_calls(rng, 80, 50)
    script = (
        "import sys, json, velto_kit\n"
        "agent = velto_kit.load(sys.argv[1])\n"
        "calls = json.loads(sys.stdin.read())\n"
        "print(json.dumps([agent.step(*call) for call in calls]))\n"
    )
    import json

    result = subprocess.run(
        [sys.executable, "-c", script, str(path)],
        input=json.dumps(calls),
        capture_output=True,
        text=True,
        check=True,
    )
    assert json.loads(result.stdout) == play(agent, calls)


def test_save_replaces_the_file_and_keeps_no_temporary(tmp_path):
    first, _ = trained_agent(31, num_features=10, num_actions=1)
    second, _ = trained_agent(32, num_features=30, num_actions=2)
    path = tmp_path / "agent.npz"
    velto_kit.save(first, path)
    velto_kit.save(second, str(path))
    assert_same_state(second, velto_kit.load(path))
    assert [p.name for p in tmp_path.iterdir()] == ["agent.npz"]


def test_unconstructed_agent_is_a_type_error(tmp_path):
    from velto_actor_critic import VeltoActorCritic

    bare = VeltoActorCritic.__new__(VeltoActorCritic)
    for call in (
        lambda: velto_kit.dumps(bare),
        lambda: velto_kit.save(bare, tmp_path / "x.npz"),
        lambda: velto_kit.inspect(bare),
        lambda: velto_kit.value(bare, [0]),
        lambda: velto_kit.action_probabilities(bare, [0]),
        lambda: pickle.dumps(bare),
    ):
        with pytest.raises(TypeError, match="__init__"):
            call()
    assert list(tmp_path.iterdir()) == []


def test_unseeded_random_sequence_of_saves(tmp_path):
    """Saving in the middle of a run and continuing from the file at every save point gives the
    run that never stopped."""
    agent, rng = trained_agent(41, num_features=30, num_actions=3)
    path = tmp_path / "agent.npz"
    resumed = agent
    reference = velto_kit.loads(velto_kit.dumps(agent))
    for _ in range(5):
        calls = random_calls(rng, 30, random.Random(7).randrange(1, 30))
        velto_kit.save(resumed, path)
        resumed = velto_kit.load(path)
        assert play(resumed, calls) == play(reference, calls)
    assert_same_state(resumed, reference)


def test_the_readme_example_runs_on_its_own():
    """The README's velto_kit example (train, save, inspect), alone in a fresh interpreter."""
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = readme.split("## velto_kit in ten lines", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr
    # The largest learned step size: a positive float.
    assert float(result.stdout.strip()) > 0


@pytest.mark.parametrize("writer", [np.savez, np.savez_compressed])
def test_a_checkpoint_rewritten_by_numpy_loads_the_same_agent(writer, tmp_path):
    """NumPy's own writers (zip64 records, deflate) give files the loader reads alike."""
    agent, _ = trained_agent(9, num_features=25, num_actions=2)
    data = velto_kit.dumps(agent)
    with np.load(io.BytesIO(data), allow_pickle=False) as archive:
        arrays = {name: archive[name] for name in archive.files}
    path = tmp_path / "rewritten.npz"
    writer(path, **arrays)
    assert velto_kit.dumps(velto_kit.load(path)) == data
