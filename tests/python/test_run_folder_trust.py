"""What a run folder may and may not do to the process that resumes from it: nothing is unpickled
unless the caller trusts the folder, every manifest field is checked for type and range, every
file must be a regular file inside the folder, and only attributes of an environment's state are
restored. A damaged checkpoint is passed over by latest_run; one that needs trust is refused."""

import contextlib
import copy
import json
import math
import os
import pathlib
import pickle
import shutil
import signal
import socket
import warnings

import gymnasium as gym
import numpy as np
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
from velto_kit.state.env_state import decode, encode
from velto_kit.state.generator_state import BIT_GENERATORS
from velto_kit.state.run_state import (
    MemberState,
    RunState,
    UntrustedPickleError,
    checkpoint_files,
    run_checkpoints,
    save_run,
)


def cartpole_run(folder, env=None, episodes=4):
    env = gym.make("CartPole-v1") if env is None else env
    coder, mapping = features_for(gym.make("CartPole-v1")), action_mapping("binary", 2)
    agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    options = dict(gamma=0.99, seed=0, checkpoint_every=2, checkpoint_dir=folder)
    results = list(run_episodes(env, agent, coder, mapping, episodes=episodes, **options))
    return results, agent, coder, mapping, options


def edit(folder, change):
    edit_manifest(folder / "run-000004.json", change)


def edit_manifest(path, change):
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


def rng_field(change):
    return member(lambda entry: change(entry["rng"]))


def bound_socket(path):
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))


def replaced(name, make):
    """The file `name` replaced by what `make` puts at its path (the manifest left as it was)."""

    def damage(folder):
        (folder / name).unlink()
        make(folder / name)

    return damage


def nested_list(depth):
    """A stored value that JSON reads but whose decoding recurses `depth` calls deep."""
    value = 0
    for _ in range(depth):
        value = {"t": "list", "items": [value]}
    return value


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
    (member(lambda e: e["rng"].update(bit_generator="RandomState")), "'RandomState' is not one"),
    (agent_file("../agent-000004.npz"), r"names no file in its folder: '\.\./agent-000004\.npz'"),
    (agent_file("sub/agent-000004.npz"), "names no file in its folder"),
    (agent_file(""), "names no file in its folder"),
    (symlinked_agent, "agent-000004.npz is a symbolic link"),
    (set_member("returns", [math.nan, 1.0, 1.0, 1.0]), "returns must be a finite number, not nan"),
    (set_member("returns", [1.0, -math.inf, 1, 1]), "returns must be a finite number, not -inf"),
    (set_field("extra", 1), "the manifest holds the keys"),
    (lambda folder: edit(folder, lambda m: m.pop("loop")), "the manifest holds the keys"),
    # Generator states only in NumPy's exact shape, which its own setter does not insist on.
    (rng_field(lambda r: r["state"].update(state="123")), r"\['state'\] must be an integer"),
    (rng_field(lambda r: r["state"].update(state=1.5)), r"\['state'\] must be an integer"),
    (rng_field(lambda r: r["state"].update(state=-1)), r"\['state'\] must be an integer"),
    (rng_field(lambda r: r["state"].update(inc=2**128)), r"\['inc'\] must be an integer"),
    (rng_field(lambda r: r["state"].pop("inc")), r"holds \['state'\], not the keys"),
    (rng_field(lambda r: r["state"].update(extra=1)), "not the keys"),
    (rng_field(lambda r: r.update(has_uint32=7)), r"\['has_uint32'\] must be an integer in \[0, 2"),
    (rng_field(lambda r: r.update(has_uint32=True)), r"\['has_uint32'\] must be an integer"),
    (rng_field(lambda r: r.update(uinteger=2**32)), r"\['uinteger'\] must be an integer"),
    (rng_field(lambda r: r.update(extra=0)), "a PCG64 state holds"),
    (set_member("rng", {**np.random.MT19937(0).state, "state": {"key": [0] * 624, "pos": 3}}),
     "an MT19937 state no generator can be in"),
    (set_member("rng", {"bit_generator": "MT19937", "state": {"key": [1] * 623, "pos": 3}}),
     "must be 624 words"),
    (set_member("rng", "123"), "damaged generator state"),
    # Only regular files are read, none of them blocking (a pipe with no writer) or a folder.
    (replaced("agent-000004.npz", os.mkfifo), "agent-000004.npz is not a regular file"),
    (replaced("agent-000004.npz", os.mkdir), "agent-000004.npz is not a regular file"),
    (replaced("agent-000004.npz", bound_socket), "agent-000004.npz is not a regular file"),
    (replaced("run-000004.json", os.mkfifo), "run-000004.json is not a regular file"),
    (replaced("run-000004.json", os.mkdir), "run-000004.json is not a regular file"),
    (replaced("run-000004.json", lambda path: path.write_text("[" * 200_000 + "]" * 200_000)),
     "no run checkpoint"),
    (set_field("format", "velto_kit agent"), "no run checkpoint"),
    (set_field("version", 2), "run state version 2, not 1"),
    (set_field("start_episode", 5), "next_episode 4 is below start_episode 5"),
    (set_field("description", []), "the description and loop state must be objects"),
    (set_field("loop", [0]), "the description and loop state must be objects"),
    (set_field("members", []), "members must be a list of at least one"),
    (lambda folder: edit(folder, lambda m: m["members"].append(m["members"][0])),
     "2 members and 4 returns"),
    (set_member("returns", [True, 1.0, 1.0, 1.0]), "returns must be a finite number, not True"),
    (set_member("returns", [1.0, 1.0, 1.0]), "3 returns, 4 lengths and"),
    (member(lambda e: e["agent"].update(sha256=None)), "agent-000004.npz has no digest"),
    (lambda folder: (folder / "agent-000004.npz").unlink(), "agent-000004.npz is missing"),
    (lambda folder: shutil.copy(folder / "agent-000002.npz", folder / "agent-000004.npz"),
     "agent-000004.npz is not the file this checkpoint wrote"),
    (member(lambda e: e["env"].update(extra=None)), "damaged environment entry"),
    (member(lambda e: e["env"]["plain"].update(pickled=["0/seen"])),
     "the environment's pickled part is missing"),
    (layer_attribute("state", nested_list(2000)), "nested too deeply"),
    (layer_attribute("__class__", None), "'__class__' is no attribute name"),
    (layer_attribute("env", None), "'env' is fixed when the environment is made"),
    (layer_attribute("state", {"t": "ndarray", "dtype": "|O", "shape": [1], "data": ""}),
     "holds objects"),
    (layer_attribute("state", {"t": "float"}), "does not decode"),
    (pickle_for_plain_env, "names a pickle for an environment stored as plain data"),
]  # fmt: skip


@contextlib.contextmanager
def within(seconds):
    """Fails the block (rather than hang the suite) if it has not ended after `seconds`."""

    def expired(*_):
        raise TimeoutError(f"still blocked after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def assert_refused_and_passed_over(folder, manifest, message, previous):
    with within(20):
        for trust in (False, True):
            with pytest.raises(CheckpointError, match=message):
                load_run(folder / manifest, trust_pickles=trust)
            with pytest.warns(UserWarning, match="passing over a damaged run checkpoint"):
                assert latest_run(folder, trust_pickles=trust).next_episode == previous


@pytest.mark.parametrize(("damage", "message"), DAMAGE)
def test_a_damaged_manifest_is_refused_and_passed_over(damage, message, tmp_path):
    folder = tmp_path / "run"
    cartpole_run(folder)
    damage(folder)
    assert_refused_and_passed_over(folder, "run-000004.json", message, 2)
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
    blob.write_bytes(pickle.dumps({"1/elsewhere": set()}))  # a dict, of another attribute
    edit(folder, lambda m: m["members"][0]["env"]["pickled"].update(sha256=file_digest(blob)))
    with pytest.raises(CheckpointError, match="does not hold what the state names"):
        load_run(folder / "run-000004.json", trust_pickles=True)


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

    from velto_kit.cli import train

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


# -- a native run's checkpoint -------------------------------------------------------------------


def native_setup():
    from velto_kit import make_vector_env

    options = {"max_episode_steps": 20}
    envs = make_vector_env("CliffWalking-v1", 2, seed=0, backend="native", **options)
    return envs, features_for(gym.make("CliffWalking-v1", **options)), action_mapping("binary", 4)


@pytest.fixture(scope="module")
def native_folder(tmp_path_factory):
    """Two agents of two units each on the native CliffWalking from episode 2: checkpoints after
    4 and 6 episodes."""
    from velto_kit import Population, run_population

    folder = tmp_path_factory.mktemp("native") / "run"
    envs, coder, mapping = native_setup()
    agents = [make_agent(coder.num_features, 2, AgentSettings(), seed=i) for i in range(2)]
    list(run_population(envs, Population(agents, threads=1), coder, mapping, episodes=4,
                        gamma=0.9, seed=0, start_episode=2, checkpoint_every=2,
                        checkpoint_dir=folder))  # fmt: skip
    return folder


def native(change):
    """`change(manifest)` done to the checkpoint after 6 episodes."""
    return lambda folder: edit_manifest(folder / "run-000006.json", change)


def progress(field, value, agent=1):
    return native(lambda m: m["loop"]["members"][agent].update({field: value}))


def top_member(field, value, agent=1):
    return native(lambda m: m["members"][agent].update({field: value}))


def task(change, agent=1):
    """`change(items)` done to agent's task state ``[values, generator, elapsed steps]``, each
    item decoded to plain data and encoded again."""

    def edited(m):
        stored = m["loop"]["members"][agent]["task"]
        items = [decode(item) for item in stored["items"]]
        change(items)
        stored["items"] = [encode(item) for item in items]

    return native(edited)


def records(change):
    return native(lambda m: change(m["loop"]["records"]))


def record_field(index, value):
    # The checkpoint's records of agent 1 are the 2nd, 4th, ... (threads=1 hands over in turn).
    return records(lambda rows: rows[-1].__setitem__(index, value))


NATIVE_DAMAGE = [
    # The four that resumed another run silently: episodes replayed, counts behind, a generator
    # read from a string, the log's lines lost.
    (progress("begun", False), "loop member 1 begun is False after 4 episodes"),
    (progress("next_episode", 1), "loop member 1 next_episode 1 is not 6"),
    (task(lambda items: items[1]["state"].update(state="123")), r"\['state'\] must be an int"),
    (records(lambda rows: rows.clear()), "loop records hold 0 episodes of agent 0, its member 4"),
    (progress("begun", 1), "loop member 1 begun is 1"),
    (progress("next_episode", 7), "loop member 1 next_episode 7 is not 6"),
    (progress("next_episode", -1), "next_episode must be an integer of at least 0"),
    (progress("steps", 1), "loop member 1 steps 1 are not its"),
    (progress("taken", [1, 1]), r"loop member 1 taken \[1, 1\] is not its"),
    (progress("taken", [1.0]), "taken must be an integer"),
    (progress("extra", 0), "loop member 1 is no native member"),
    (native(lambda m: m["loop"]["members"][1].pop("steps")), "loop member 1 is no native member"),
    (native(lambda m: m["loop"]["members"].pop()), "loop members must be a list of 2"),
    (native(lambda m: m["loop"].update(extra=0)), "the loop state holds"),
    # Pending units: distinct, in order and units of the agent (two here).
    (top_member("taken", [1, 0]), r"taken \[1, 0\] are not distinct units of an agent of 2"),
    (top_member("taken", [0, 0]), r"taken \[0, 0\] are not distinct units of an agent of 2"),
    (top_member("taken", [2]), r"taken \[2\] are not distinct units of an agent of 2"),
    (top_member("env", {"plain": {"layers": []}, "pickled": None}), "holds an environment state"),
    (native(lambda m: m.update(env={"plain": {"layers": []}, "pickled": None})),
     "a native run stores no environment state"),
    (top_member("rng", {**np.random.MT19937(1).state, "state": {"key": [1] * 624, "pos": 624}}),
     "a native run draws from PCG64 generators"),
    # The task's state: values, generator and elapsed steps as the native task keeps them.
    (task(lambda items: items[1]["state"].pop("inc")), r"task generator: .* holds \['state'\]"),
    (task(lambda items: items[1].update(has_uint32=2)), r"\['has_uint32'\] must be an integer"),
    (task(lambda items: items[1].update(bit_generator="SFC64")), "task generator is no PCG64"),
    (task(lambda items: items.__setitem__(0, [math.inf])), "task values must be finite floats"),
    (task(lambda items: items.__setitem__(0, [1])), "task values must be finite floats"),
    (task(lambda items: items.__setitem__(2, -1)), "task has elapsed steps -1 and begun True"),
    (task(lambda items: items.__setitem__(2, 2.0)), "task has elapsed steps 2.0"),
    (task(lambda items: items.pop()), "task state is"),
    # The records: every episode of every agent, as the members hold them.
    (records(lambda rows: rows[-1].__setitem__(0, 7)), "loop records: 7 is no agent of 2"),
    (records(lambda rows: rows.append(list(rows[-1]))), "is not episode 6 of agent 1"),
    (records(lambda rows: rows.pop()), "loop records hold 3 episodes of agent 1, its member 4"),
    (records(lambda rows: rows.insert(0, rows.pop())), "is not episode 2 of agent 1"),
    (record_field(2, 1e9), "is not episode 5 of agent 1 as its member holds it"),
    (record_field(2, math.nan), "records return must be a finite number"),
    (record_field(3, 0), "records length must be an integer of at least 1"),
    (record_field(4, 1), "is not episode 5 of agent 1"),
    (records(lambda rows: rows[-1].pop()), "loop records hold"),
    (native(lambda m: m["description"].update(start_episodes=[2])), "start_episodes"),
    (native(lambda m: m.update(start_episode=1)), r"start_episodes \[2, 2\] are not those of 2"),
    (native(lambda m: m["loop"].pop("records")), "the loop state holds"),
    (task(lambda items: items.__setitem__(2, -1) or items[0].clear()),
     "task has elapsed steps -1 and begun True"),
    (record_field(3, 21), "is not episode 5 of agent 1 as its member holds it"),
    (native(lambda m: m["description"].update(start_episodes=[3, 2])), "is not episode 3 of"),
    (native(lambda m: m.update(next_episode=5)), "next_episode 5 is not the slowest agent's"),
]  # fmt: skip


@pytest.fixture(scope="module")
def population_folder(tmp_path_factory):
    """Two agents of two units each on Gymnasium's FrozenLake: checkpoints after 2 and 4."""
    from velto_kit import Population, make_vector_env, run_population

    folder = tmp_path_factory.mktemp("population") / "run"
    envs = make_vector_env("FrozenLake-v1", 2, seed=0)
    coder, mapping = features_for(envs), action_mapping("binary", 4)
    agents = [make_agent(coder.num_features, 2, AgentSettings(), seed=i) for i in range(2)]
    list(run_population(envs, Population(agents), coder, mapping, episodes=4, gamma=0.9, seed=0,
                        checkpoint_every=2, checkpoint_dir=folder))  # fmt: skip
    return folder


def loop_field(name, value):
    return lambda folder: edit(folder, lambda m: m["loop"].update({name: value}))


POPULATION_DAMAGE = [
    (loop_field("episode", [4, 5]), r"loop episode \[4, 5\] is not the records' \[4, 4\]"),
    (loop_field("idle", [0, 1]), "loop idle must hold booleans"),
    (loop_field("returns", [math.nan, 0.0]), "loop returns must be a finite number"),
    (loop_field("returns", [0.0]), "loop returns must be a list of 2"),
    (loop_field("lengths", [-1, 0]), "loop lengths must be an integer of at least 0"),
    (loop_field("pending", [[0, True], [0, False]]), "loop pending names an agent twice"),
    (loop_field("pending", [[2, True]]), "loop pending: 2 is no agent of 2"),
    (loop_field("pending", [[0, 1]]), r"loop pending holds \[0, 1\]"),
    (loop_field("pending", [[0, True, 1]]), r"loop pending holds \[0, True, 1\]"),
    (loop_field("owed", [[0, math.inf]]), "loop owed must be a finite number"),
    (loop_field("joining", [1, 0]), r"loop joining \[1, 0\] are not distinct agents in order"),
    (loop_field("joined", [1, 1]), r"loop joined \[1, 1\] are not distinct agents in order"),
    (loop_field("extra", []), "the loop state holds"),
    (loop_field("records", []), "loop records hold 0 episodes of agent 0, its member 4"),
    (lambda folder: edit(folder, lambda m: m["members"].pop()), "start_episodes"),
]  # fmt: skip


@pytest.mark.parametrize(
    ("kind", "damage", "message"),
    [("native", *row) for row in NATIVE_DAMAGE]
    + [("population", *row) for row in POPULATION_DAMAGE],
)
def test_a_damaged_population_checkpoint_is_refused_and_passed_over(
    kind, damage, message, request, tmp_path
):
    folder = tmp_path / "run"
    shutil.copytree(request.getfixturevalue(f"{kind}_folder"), folder)
    previous, newest = run_checkpoints(folder)
    load_run(newest)  # intact, it loads
    damage(folder)
    assert_refused_and_passed_over(folder, newest.name, message, load_run(previous).next_episode)


def test_only_manifest_names_count_as_run_checkpoints(tmp_path):
    folder = tmp_path / "run"
    _, agent, coder, mapping, options = cartpole_run(folder)
    others = ["run-notes.json", "run-²³.json", "run-4.json", "run-0000004.json", "run-00000x.json"]
    for name in others:  # a manifest's copy, under a name no checkpoint has
        shutil.copy(folder / "run-000004.json", folder / name)
    assert [path.name for path in run_checkpoints(folder)] == ["run-000002.json", "run-000004.json"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert latest_run(folder).next_episode == 4
    # Overwriting the run removes its checkpoints and nothing else.
    list(run_episodes(gym.make("CartPole-v1"), agent, coder, mapping, episodes=2, overwrite=True,
                      **options))  # fmt: skip
    assert sorted(path.name for path in folder.glob("run-*.json")) == sorted(
        [*others, "run-000002.json"]
    )


def test_files_a_manifest_names_outside_its_folder_are_never_removed(tmp_path):
    folder = tmp_path / "run"
    _, agent, coder, mapping, options = cartpole_run(folder)
    victim, inner = tmp_path / "victim.txt", folder / "sub" / "victim.npz"
    inner.parent.mkdir()
    for path in (victim, inner):
        path.write_text("not the run's")

    def outside(m):
        m["members"][0]["agent"]["file"] = "../victim.txt"
        m["members"][0]["env"]["pickled"] = {"file": "sub/victim.npz", "sha256": "0" * 64}

    edit_manifest(folder / "run-000002.json", outside)
    assert checkpoint_files(folder / "run-000002.json") == []
    run = latest_run(folder)
    # Pruning removes the first manifest and what it names; overwriting the run, all of them.
    list(run_episodes(gym.make("CartPole-v1"), run.agent, coder, mapping, episodes=6, keep_last=1,
                      resume=run, **options))  # fmt: skip
    assert [path.name for path in run_checkpoints(folder)] == ["run-000006.json"]
    edit_manifest(folder / "run-000006.json", outside)
    list(run_episodes(gym.make("CartPole-v1"), agent, coder, mapping, episodes=2, overwrite=True,
                      **options))  # fmt: skip
    assert victim.read_text() == inner.read_text() == "not the run's"


@pytest.mark.parametrize("name", BIT_GENERATORS)
def test_a_run_stores_every_bit_generator_numpy_has_and_goes_on_with_its_draws(name, tmp_path):
    rng = np.random.Generator(getattr(np.random, name)(5))
    rng.random(3)
    rng.integers(10, dtype=np.uint32)  # half a word left over, where the generator keeps one
    env_rng = copy.deepcopy(rng)
    member = MemberState(make_agent(4, 1, AgentSettings(), seed=0), [], rng, None)
    loaded = load_run(save_run(tmp_path, RunState({}, 0, 0, 0.0, [member]))).members[0].rng
    assert loaded.bit_generator.state["bit_generator"] == name
    assert (
        loaded.integers(10, size=3, dtype=np.uint32).tolist()
        == rng.integers(10, size=3, dtype=np.uint32).tolist()
    )
    # As an environment's attribute, through the manifest's JSON.
    stored = decode(json.loads(json.dumps(encode(env_rng))))
    assert stored.random(4).tolist() == env_rng.random(4).tolist()


def test_a_sweeps_trial_reads_the_folder_tune_hands_back_as_trusted(tmp_path):
    # As the trust docs say: the storage is trusted as far as Tune's own pickles are.
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import AgentLearner

    folder = tmp_path / "run"
    cartpole_run(folder, Remembers(gym.make("CartPole-v1")))
    config = TrialConfig(env_id="CartPole-v1")
    learner = AgentLearner.build(config, gym.make("CartPole-v1"), folder)
    assert learner.resume.next_episode == 4
    assert learner.resume.members[0].env[1] is not None  # unpickled


def pending_units(run, units):
    run.members[1].taken = run.loop["members"][1]["taken"] = units


def task_values(run, values):
    run.loop["members"][1]["task"]["items"][0] = encode(values)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        # The task's range depends on its options, so the native run checks it, not the load.
        (lambda run: task_values(run, [48.0]), r"must be an integer in \[0, 47\]"),  # 48 states
        # A run resumed from a state made in memory: the native run checks it again.
        (lambda run: pending_units(run, [2]), "a pending unit outside the agent's units"),
    ],
)
def test_a_resumed_native_member_out_of_range_is_refused_before_the_first_step(
    change, message, native_folder, tmp_path
):
    from velto_kit import Population, run_population

    folder = tmp_path / "run"
    shutil.copytree(native_folder, folder)
    run = latest_run(folder)
    change(run)
    envs, coder, mapping = native_setup()
    results = run_population(envs, Population([m.agent for m in run.members]), coder, mapping,
                             episodes=6, gamma=0.9, seed=0, start_episode=2, checkpoint_every=2,
                             checkpoint_dir=folder, resume=run)  # fmt: skip
    with pytest.raises(ValueError, match=message):
        next(results)
    assert [path.name for path in run_checkpoints(folder)] == ["run-000004.json", "run-000006.json"]
