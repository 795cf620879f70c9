"""Populations on vector environments: run_population against run_episodes and evaluate one agent
at a time, batched action draws against single ones, and the vector environments' seeding."""

import sys

import gymnasium as gym
import numpy as np
import pytest
import velto_kit
from gymnasium.vector import AutoresetMode, SyncVectorEnv
from velto_kit import (
    AgentSettings,
    Population,
    action_mapping,
    evaluate,
    features_for,
    make_agent,
    make_vector_env,
    member_checkpoint_path,
    run_episodes,
    run_population,
)

SEED = 11
GAMMA = 0.9
# (task, time limit, mapping, episodes): CartPole ends by termination and, at a short limit, by
# truncation; FrozenLake's slippery walks by both too; one-per-action draws when 0 or 2+ units.
TASKS = [
    ("CartPole-v1", 25, "one-per-action", 6),
    ("CartPole-v1", 500, "binary", 3),
    ("FrozenLake-v1", 12, "binary", 8),
    ("FrozenLake-v1", 100, "one-per-action", 5),
]
MODES = [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP]


def task(env_id, limit, mapping_name, count, mode):
    """Sub-environments that are the single environments run_episodes gets, and fresh agents."""
    single = gym.make(env_id, max_episode_steps=limit)
    envs = SyncVectorEnv(
        [lambda: gym.make(env_id, max_episode_steps=limit)] * count, autoreset_mode=mode
    )
    coder = features_for(single)
    mapping = action_mapping(mapping_name, int(single.action_space.n))
    settings = AgentSettings(alpha=0.05, lambda_=0.8)
    agents = [make_agent(coder.num_features, mapping.num_units, settings, s) for s in range(count)]
    return envs, coder, mapping, agents


def one_at_a_time(env_id, limit, coder, mapping, agents, **options):
    """Each agent through run_episodes on its own environment, seeded as its sub-environment;
    options given as lists hold one value per agent."""
    results = {}
    for i, agent in enumerate(agents):
        env = gym.make(env_id, max_episode_steps=limit)
        seed = SEED + i
        mine = {k: v[i] if isinstance(v, list) else v for k, v in options.items()}
        for result in run_episodes(env, agent, coder, mapping, gamma=GAMMA, seed=seed, **mine):
            results[i, result.episode] = (result.return_, result.length, result.steps)
    return results


@pytest.mark.parametrize("mode", MODES, ids=lambda mode: mode.value)
@pytest.mark.parametrize(("env_id", "limit", "mapping_name", "episodes"), TASKS)
@pytest.mark.parametrize("start_episode", [0, 4, "per agent"])
def test_each_agent_gets_the_calls_of_run_episodes(
    env_id, limit, mapping_name, episodes, mode, start_episode, tmp_path
):
    count = 3
    envs, coder, mapping, agents = task(env_id, limit, mapping_name, count, mode)
    alone = [velto_kit.loads(velto_kit.dumps(agent)) for agent in agents]
    options = dict(episodes=episodes, start_episode=start_episode, checkpoint_every=2)
    if start_episode == "per agent":  # agents resumed at different episodes, one with none left
        options.update(episodes=[episodes, 2, 0], start_episode=[0, 3, 1])
    mine = list(
        run_population(
            envs, Population(agents), coder, mapping, gamma=GAMMA, seed=SEED,
            checkpoint_dir=tmp_path / "population", **options,
        )
    )  # fmt: skip
    folders = [tmp_path / "alone" / str(i) for i in range(count)]
    expected = one_at_a_time(
        env_id, limit, coder, mapping, alone, checkpoint_dir=folders, **options
    )
    got = {(r.agent, r.episode): (r.return_, r.length, r.steps) for r in mine}
    assert got == expected
    lengths = [length for _, length, _ in got.values()]
    assert min(lengths) < limit  # some episodes terminated ...
    if limit < 100 and start_episode != "per agent":
        assert limit in lengths  # ... and some were truncated
    for agent, single in zip(agents, alone, strict=True):
        assert velto_kit.dumps(agent) == velto_kit.dumps(single)
    # Checkpoints hold what run_episodes saved after the same episode.
    saved = [r for r in mine if r.checkpoint is not None]
    assert len(saved) == len({(r.agent, r.episode) for r in mine if (r.episode + 1) % 2 == 0})
    assert saved
    for result in saved:
        assert result.checkpoint == member_checkpoint_path(
            tmp_path / "population", result.agent, result.episode + 1
        )
        theirs = velto_kit.checkpoint_path(folders[result.agent], result.episode + 1)
        assert result.checkpoint.read_bytes() == theirs.read_bytes()


@pytest.mark.parametrize("mode", MODES, ids=lambda mode: mode.value)
@pytest.mark.parametrize(("env_id", "limit", "mapping_name", "episodes"), TASKS[::2])
def test_evaluation_draws_as_evaluate_and_changes_no_agent(
    env_id, limit, mapping_name, episodes, mode
):
    count = 3
    envs, coder, mapping, agents = task(env_id, limit, mapping_name, count, mode)
    trained = run_population(
        envs, Population(agents), coder, mapping, episodes=4, gamma=GAMMA, seed=SEED
    )
    assert len(list(trained)) == 4 * count
    before = [velto_kit.dumps(agent) for agent in agents]
    mine = run_population(
        envs, Population(agents), coder, mapping, episodes=episodes, gamma=GAMMA, seed=99,
        learn=False,
    )  # fmt: skip
    got = {(r.agent, r.episode): (r.return_, r.length) for r in mine}
    assert [velto_kit.dumps(agent) for agent in agents] == before
    expected = {}
    for i, agent in enumerate(agents):
        env = gym.make(env_id, max_episode_steps=limit)
        for r in evaluate(env, agent, coder, mapping, episodes=episodes, seed=99 + i):
            expected[i, r.episode] = (r.return_, r.length)
    assert got == expected


@pytest.mark.parametrize(
    ("name", "n"), [("binary", 2), ("binary", 3), ("binary", 5), ("one-per-action", 3),
                    ("opposing", 3)],
)  # fmt: skip
def test_batched_actions_draw_what_single_actions_draw(name, n):
    mapping = action_mapping(name, n)
    rows = 200
    mask = np.random.default_rng(n).random((rows, mapping.num_units)) < 0.5
    batch_rngs = [np.random.default_rng(i) for i in range(rows)]
    single_rngs = [np.random.default_rng(i) for i in range(rows)]
    got = mapping.actions(mask, batch_rngs)
    expected = [
        mapping.action(np.flatnonzero(row).tolist(), rng)
        for row, rng in zip(mask, single_rngs, strict=True)
    ]
    assert got.dtype == np.int64 and got.tolist() == expected
    # Each generator is where the single call left it: same draws, and no more.
    states = [rng.bit_generator.state for rng in batch_rngs]
    assert states == [rng.bit_generator.state for rng in single_rngs]


@pytest.mark.parametrize(
    ("shape", "generators", "message"),
    [((4, 2), 4, "mask has shape"), ((4,), 4, "mask has shape"), ((4, 1), 3, "rngs has 3")],
)
def test_batched_actions_refuse_shapes_that_do_not_fit(shape, generators, message):
    mapping = action_mapping("binary", 2)  # one unit
    rngs = [np.random.default_rng(i) for i in range(generators)]
    with pytest.raises(ValueError, match=message):
        mapping.actions(np.zeros(shape, dtype=bool), rngs)
    fitting = [np.random.default_rng(i) for i in range(4)]
    assert mapping.actions(np.ones((4, 1), dtype=bool), fitting).tolist() == [1, 1, 1, 1]


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"num_envs": 3}, "has 3 sub-environments"),
        ({"mapping": "one-per-action"}, "has 4 units"),
        ({"episodes": -1}, "at least 0"),
        ({"autoreset_mode": AutoresetMode.DISABLED}, "autoreset_mode"),
        ({"checkpoint_every": 0}, "at least 1"),
        ({"checkpoint_every": 2, "learn": False}, "needs learn=True"),
    ],
)
def test_run_population_refuses_what_it_cannot_run(change, message, tmp_path):
    count = change.get("num_envs", 2)
    mode = change.get("autoreset_mode", AutoresetMode.NEXT_STEP)
    envs = SyncVectorEnv([lambda: gym.make("FrozenLake-v1")] * count, autoreset_mode=mode)
    coder = features_for(envs)
    # FrozenLake's four actions: the binary mapping's two units (a mapping for fewer actions is
    # itself refused).
    agents = [make_agent(coder.num_features, 2, AgentSettings(), s) for s in range(2)]
    options = {k: v for k, v in change.items() if k in ("episodes", "checkpoint_every", "learn")}
    options.setdefault("episodes", 1)
    mapping = action_mapping(change.get("mapping", "binary"), 4)
    run = run_population(
        envs, Population(agents), coder, mapping, gamma=GAMMA, checkpoint_dir=tmp_path, **options
    )
    with pytest.raises(ValueError, match=message):
        next(run)
    # The same run without the change is accepted.
    fine = SyncVectorEnv([lambda: gym.make("FrozenLake-v1")] * 2)
    results = run_population(
        fine, Population(agents), coder, action_mapping("binary", 4), episodes=1, gamma=GAMMA
    )
    assert [r.agent for r in results] in ([0, 1], [1, 0])


@pytest.mark.parametrize(
    ("env_id", "kind"),
    [("CartPole-v1", "CartPoleVectorEnv"), ("Taxi-v4", "SyncVectorEnv")],
)
def test_gymnasium_backend_uses_the_tasks_vector_entry_point_and_seeds_at_reset(env_id, kind):
    envs = make_vector_env(env_id, 3, seed=7)
    assert type(envs.unwrapped).__name__ == kind
    first, _ = envs.reset(seed=20)
    again, _ = make_vector_env(env_id, 3, seed=20).reset(seed=20)
    assert np.array_equal(first, again)
    if kind == "SyncVectorEnv":  # its sub-environments are single environments
        singles = [gym.make(env_id).reset(seed=20 + i)[0] for i in range(3)]
        assert np.array_equal(first, np.array(singles))
    other, _ = envs.reset(seed=21)
    assert not np.array_equal(first, other)


def test_envpool_backend_reseeds_at_reset_as_gymnasium_does():
    pytest.importorskip("envpool")
    envs = make_vector_env("CartPole-v1", 3, seed=0, backend="envpool")
    assert envs.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
    reseeded, _ = envs.reset(seed=5)
    envs.step(np.zeros(3, dtype=np.int64))
    assert np.array_equal(envs.reset(seed=5)[0], reseeded)  # after steps, from the seeds again
    assert not np.array_equal(envs.reset()[0], reseeded)  # unseeded: the next episodes
    fresh = make_vector_env("CartPole-v1", 3, seed=5, backend="envpool")
    assert np.array_equal(fresh.reset(seed=5)[0], reseeded)
    shifted = make_vector_env("CartPole-v1", 1, seed=6, backend="envpool")
    assert np.array_equal(shifted.reset(seed=6)[0][0], reseeded[1])  # sub-env i: seed + i
    assert not np.array_equal(reseeded, envs.reset(seed=6)[0])


@pytest.mark.parametrize(("backend", "error"), [("envpool", ImportError), ("ray", ValueError)])
def test_a_missing_extra_or_unknown_backend_is_named(backend, error, monkeypatch):
    monkeypatch.setitem(sys.modules, "envpool", None)  # import envpool now fails
    with pytest.raises(error, match=backend):
        make_vector_env("CartPole-v1", 2, seed=0, backend=backend)
    assert make_vector_env("CartPole-v1", 2, seed=0).num_envs == 2


def test_a_population_trial_reports_each_seed_and_resumes_each_agent_where_it_stopped(tmp_path):
    from velto_kit.sweeps.population_trial import PopulationTrial
    from velto_kit.sweeps.trial_config import TrialConfig

    config = TrialConfig(seed=5, seeds_per_trial=3, episodes=4, checkpoint_every=2)
    trial = PopulationTrial.build(config, None)
    before = []
    for metrics in trial.metrics(trial.run()):
        before.append((metrics["seed"], metrics["episode"]))
        if trial.checkpoint_due():
            break
    trial.save(tmp_path)
    saved = [velto_kit.dumps(agent) for agent in trial.population.agents]
    # The slowest agent had just finished its second episode; the others may be further on.
    counts = {seed: sum(s == seed for s, _ in before) for seed in config.seeds}
    assert min(counts.values()) == 2 and sorted(set(s for s, _ in before)) == [5, 6, 7]
    restored = PopulationTrial.build(config, tmp_path)
    assert [velto_kit.dumps(a) for a in restored.population.agents] == saved
    after = [(m["seed"], m["episode"]) for m in restored.metrics(restored.run())]
    for seed in config.seeds:
        assert sorted(e for s, e in after if s == seed) == list(range(counts[seed], 4))
    assert restored.checkpoint_due()  # the last result of all is checkpointed


class FakeResult:
    """What trial_rows reads of one of Tune's results."""

    def __init__(self, name, config, reports, error=None):
        import pandas

        self.config, self.error, self.path = config, error, f"/tmp/{name}"
        self.metrics = {"trial_id": name}
        self.metrics_dataframe = pandas.DataFrame(reports)


@pytest.mark.parametrize("episodes_of_seed_4", [3, 2])
def test_sweep_tables_keep_one_row_per_seed(episodes_of_seed_4):
    from velto_kit.sweeps.sweep import episode_rows, trial_rows

    def report(episode, **seed):
        return {"episode": episode, "return": float(episode), "length": 1, "steps": episode + 1,
                "seconds": 0.1, **seed}  # fmt: skip

    population = [report(e, seed=3) for e in range(3)]
    population += [report(e, seed=4) for e in range(episodes_of_seed_4)]
    results = [
        FakeResult("a", {"seed": 3, "seeds_per_trial": 2, "episodes": 3}, population),
        FakeResult("b", {"seed": 9, "episodes": 3}, [report(e) for e in range(3)]),
    ]
    rows = trial_rows(results, window=2)
    got = [(r["trial"], r["seed"], r["episodes_done"], r["status"]) for r in rows]
    seed_4_status = "done" if episodes_of_seed_4 == 3 else "incomplete"
    assert got == [
        ("a/seed-3", 3, 3, "done"),
        ("a/seed-4", 4, episodes_of_seed_4, seed_4_status),
        ("b", 9, 3, "done"),
    ]
    assert rows[0]["final_mean_return"] == 1.5
    assert len(episode_rows(results)) == 3 + episodes_of_seed_4 + 3


@pytest.mark.parametrize(("seeds", "same"), [(["3", "4"], True), (["3", "5"], False)])
def test_train_population_gives_single_runs_returns_where_sub_envs_are_single_envs(
    seeds, same, tmp_path, capsys
):

    from velto_kit.cli import train

    options = ["--env", "FrozenLake-v1", "--episodes", "30", "--seeds", *seeds]
    options += ["--random-episodes", "2", "--no-progress", "--no-inspect-plot", "--workers", "1"]
    csvs = []
    for extra in ([], ["--population", "--population-threads", "2"]):
        out = tmp_path / ("population" if extra else "single")
        train.main([*options, *extra, "--output-dir", str(out)])
        csvs.append((out / "returns.csv").read_text())
    assert "as one population" in capsys.readouterr().out
    assert (csvs[0] == csvs[1]) == same
    assert len(csvs[0].splitlines()) == 1 + 30 * len(seeds)
