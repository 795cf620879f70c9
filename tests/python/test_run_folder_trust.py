"""What a run folder may and may not do to the process that resumes from it: nothing is unpickled
unless the caller trusts the folder, every manifest field is checked for type and range, every
file must be a regular file inside the folder, and only attributes of an environment's state are
restored. A damaged checkpoint is passed over by latest_run; one that needs trust is refused."""

import json
import os
import pathlib
import pickle
import warnings

import gymnasium as gym
import pytest
from gymnasium.envs.classic_control.cartpole import CartPoleEnv
from velto_kit import (
    AgentSettings,
    CheckpointError,
    action_mapping,
    features_for,
    latest_run,
    load_run,
    make_agent,
    run_episodes,
)
from velto_kit.state.atomic_files import file_digest
from velto_kit.state.run_state import UntrustedPickleError


def cartpole_run(folder, env=None, episodes=4):
    env = gym.make("CartPole-v1") if env is None else env
    coder, mapping = features_for(gym.make("CartPole-v1")), action_mapping("binary", 2)
    agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    options = dict(gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=folder)
    results = list(run_episodes(env, agent, coder, mapping, episodes=episodes, **options))
    return results, agent, coder, mapping, options


def edit(folder, change):
    path = folder / "run-000004.json"
    manifest = json.loads(path.read_text())
    change(manifest)
    path.write_text(json.dumps(manifest))


def member(change):
    return lambda folder: edit(folder, lambda m: change(m["members"][0]))


def layer_attribute(name, value):
    def change(entry):
        entry["env"]["plain"]["layers"][-1]["attributes"][name] = value

    return member(change)


def generator_word(value):
    def change(entry):
        entry["rng"]["state"]["state"] = value

    return member(change)


def agent_file(name):
    def change(entry):
        entry["agent"]["file"] = name

    return member(change)


def symlinked_agent(folder):
    # The same bytes, so the digest matches: only the link itself is at fault.
    outside = folder.parent / "outside.npz"
    outside.write_bytes((folder / "agent-000004.npz").read_bytes())
    (folder / "agent-000004.npz").unlink()
    (folder / "agent-000004.npz").symlink_to(outside)


class Marker:
    """Unpickling it creates the file `path`: what a hostile pickle could do instead."""

    def __init__(self, path):
        self.path = pathlib.Path(path)

    def __reduce__(self):
        return (pathlib.Path.touch, (self.path,))


def pickle_for_plain_env(folder):
    blob = folder / "run-000004.env-000.pkl"
    blob.write_bytes(pickle.dumps(Marker(folder.parent / "unpickled")))

    def change(entry):
        entry["env"]["pickled"] = {"file": blob.name, "sha256": file_digest(blob)}

    member(change)(folder)


def set_field(name, value):
    return lambda folder: edit(folder, lambda m: m.update({name: value}))


def set_member(name, value):
    return member(lambda entry: entry.update({name: value}))


# (damage done to the checkpoint after 4 episodes, what load_run's message says)
DAMAGE = [
    (set_field("next_episode", -4), "next_episode must be an integer of at least 0, not -4"),
    (set_field("next_episode", 4.0), "next_episode must be an integer of at least 0, not 4.0"),
    (set_field("start_episode", True), "start_episode must be an integer"),
    (set_field("next_episode", 6), "4 returns for episodes 0 to 6"),
    (set_member("taken", [1]), r"taken \[1\] are not distinct units of an agent of 1"),
    (set_member("taken", [-1]), "taken must be an integer of at least 0"),
    (set_member("taken", [0.0]), "taken must be an integer"),
    (set_member("returns", ["9"]), "returns must be a finite number"),
    (set_member("lengths", [0, 1, 1, 1]), "lengths must be an integer of at least 1"),
    (set_member("steps", 3), "do not agree"),
    (set_member("extra", 1), "damaged entry"),
    (generator_word(2**200), "damaged generator state"),
    (generator_word("many"), "damaged generator state"),
    (member(lambda e: e["rng"].update(bit_generator="Evil")), "'Evil' is not one of"),
    (agent_file("../agent-000004.npz"), r"names no file in its folder: '\.\./agent-000004\.npz'"),
    (agent_file("sub/agent-000004.npz"), "names no file in its folder"),
    (agent_file(""), "names no file in its folder"),
    (symlinked_agent, "agent-000004.npz is a symbolic link"),
    (layer_attribute("__class__", None), "'__class__' is no attribute name"),
    (layer_attribute("env", None), "'env' is fixed when the environment is made"),
    (layer_attribute("state", {"t": "ndarray", "dtype": "|O", "shape": [1], "data": ""}),
     "holds objects"),
    (layer_attribute("state", {"t": "float"}), "does not decode"),
    (pickle_for_plain_env, "names a pickle for an environment stored as plain data"),
]  # fmt: skip


@pytest.mark.parametrize(("damage", "message"), DAMAGE)
def test_a_damaged_manifest_is_refused_and_passed_over(damage, message, tmp_path):
    folder = tmp_path / "run"
    cartpole_run(folder)
    damage(folder)
    for trust in (False, True):
        with pytest.raises(CheckpointError, match=message):
            load_run(folder / "run-000004.json", trust_pickles=trust)
        with pytest.warns(UserWarning, match="passing over a damaged run checkpoint"):
            assert latest_run(folder, trust_pickles=trust).next_episode == 2
    assert not (tmp_path / "unpickled").exists()


def test_only_attributes_of_an_environments_state_are_restored(tmp_path):
    for name in ("step", "reset", "np_random"):  # a method, another, a property
        folder = tmp_path / name
        _, _, coder, mapping, options = cartpole_run(folder)
        layer_attribute(name, None)(folder)
        run = load_run(folder / "run-000004.json")
        env = gym.make("CartPole-v1")
        with pytest.raises(ValueError, match=f"sets '{name}' on CartPoleEnv, which is no attr"):
            run_episodes(env, run.agent, coder, mapping, episodes=5, resume=run, **options)
        assert not {"step", "reset", "np_random"} & set(vars(env.unwrapped))


class Remembers(gym.Wrapper):
    """Keeps a set, which plain data cannot hold: its state goes to a pickle."""

    def __init__(self, env):
        super().__init__(env)
        self.seen = set()

    def step(self, action):
        self.seen.add(int(action))
        return super().step(action)


def test_a_folder_that_needs_a_pickle_is_read_only_when_trusted(tmp_path):
    folder = tmp_path / "run"
    whole, *_ = cartpole_run(tmp_path / "whole", Remembers(gym.make("CartPole-v1")), episodes=6)
    _, _, coder, mapping, options = cartpole_run(folder, Remembers(gym.make("CartPole-v1")))
    blob = folder / "run-000004.env-000.pkl"
    assert blob.is_file()
    for load in (lambda: load_run(folder / "run-000004.json"), lambda: latest_run(folder)):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # not passed over as damage, refused
            with pytest.raises(UntrustedPickleError, match="trust_pickles=True.*--trust-run-pi"):
                load()
    # Trusted, it resumes exactly.
    run = latest_run(folder, trust_pickles=True)
    rest = list(run_episodes(Remembers(gym.make("CartPole-v1")), run.agent, coder, mapping,
                             episodes=6, resume=run, **options))  # fmt: skip
    assert [r.return_ for r in rest] == [r.return_ for r in whole[4:]]
    # A hostile pickle with a matching digest (the digests sit in the same manifest): refused
    # unread without trust; with trust it runs, which is what trusting a folder means.
    blob.write_bytes(pickle.dumps(Marker(tmp_path / "unpickled")))
    edit(folder, lambda m: m["members"][0]["env"]["pickled"].update(sha256=file_digest(blob)))
    with pytest.raises(UntrustedPickleError):
        load_run(folder / "run-000004.json")
    assert not (tmp_path / "unpickled").exists()
    with pytest.raises(CheckpointError, match="does not hold what the state names"):
        load_run(folder / "run-000004.json", trust_pickles=True)
    assert (tmp_path / "unpickled").exists()


def test_a_manifest_that_is_a_symbolic_link_is_refused(tmp_path):
    folder = tmp_path / "run"
    cartpole_run(folder)
    outside = tmp_path / "elsewhere.json"
    os.replace(folder / "run-000004.json", outside)
    (folder / "run-000004.json").symlink_to(outside)
    with pytest.raises(CheckpointError, match="a symbolic link"):
        load_run(folder / "run-000004.json")
    with pytest.warns(UserWarning, match="passing over"):
        assert latest_run(folder).next_episode == 2


class RememberingCartPole(CartPoleEnv):
    """CartPole keeping a set of the actions it was given: its state needs a pickle."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.seen = set()

    def step(self, action):
        self.seen.add(int(action))
        return super().step(action)


def test_the_example_resumes_a_folder_that_needs_a_pickle_only_when_trusted(tmp_path):
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    import train

    env_id = "VeltoRunsTest/RememberingCartPole-v0"
    if env_id not in gym.registry:
        gym.register(env_id, entry_point=RememberingCartPole, max_episode_steps=50)
    options = ["--env", env_id, "--bounds", "-2.4", "2.4", "-3", "3", "-0.21", "0.21", "-3.5",
               "3.5", "--seeds", "0", "--workers", "1", "--checkpoint-every", "2",
               "--random-episodes", "1", "--no-inspect-plot", "--no-progress",
               "--output-dir", str(tmp_path)]  # fmt: skip
    train.main([*options, "--episodes", "4"])
    assert list((tmp_path / "checkpoints" / "seed-0").glob("run-*.env-000.pkl"))
    with pytest.raises(SystemExit, match="--trust-run-pickles"):
        train.main([*options, "--episodes", "6", "--resume"])
    assert len((tmp_path / "episodes" / "seed-0.csv").read_text().splitlines()) == 1 + 4
    train.main([*options, "--episodes", "6", "--resume", "--trust-run-pickles"])
    assert len((tmp_path / "episodes" / "seed-0.csv").read_text().splitlines()) == 1 + 6
