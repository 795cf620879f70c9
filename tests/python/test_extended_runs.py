"""Runs resumed with more episodes than they were started with: a single run goes on exactly as a
run started with the larger count; a population finishes, its unfinished agents exactly as in a
run started with the larger count, its finished ones joining at their sub-environment's next
episode."""

import gymnasium as gym
import pytest
import velto_kit
from gymnasium.vector import AutoresetMode, SyncVectorEnv
from velto_kit import (
    AgentSettings,
    Population,
    action_mapping,
    features_for,
    latest_run,
    make_agent,
    run_episodes,
    run_population,
)

SETTINGS = AgentSettings(alpha=0.05, lambda_=0.8)


def cartpole_parts(limit=40):
    env = gym.make("CartPole-v1", max_episode_steps=limit)
    coder = features_for(env)
    mapping = action_mapping("binary", 2)
    return env, coder, mapping


def test_an_extended_single_run_equals_a_run_started_with_the_larger_count(tmp_path):
    env, coder, mapping = cartpole_parts()
    agent = make_agent(coder.num_features, 1, SETTINGS, seed=4)
    options = dict(gamma=0.99, seed=2, checkpoint_every=2)
    first = list(run_episodes(env, agent, coder, mapping, episodes=4,
                              checkpoint_dir=tmp_path / "short", **options))  # fmt: skip
    run = latest_run(tmp_path / "short")
    assert run.next_episode == 4
    more = list(run_episodes(gym.make("CartPole-v1", max_episode_steps=40), run.agent, coder,
                             mapping, episodes=9, checkpoint_dir=tmp_path / "short",
                             resume=run, **options))  # fmt: skip
    whole_agent = make_agent(coder.num_features, 1, SETTINGS, seed=4)
    whole = list(run_episodes(gym.make("CartPole-v1", max_episode_steps=40), whole_agent, coder,
                              mapping, episodes=9, checkpoint_dir=tmp_path / "long",
                              **options))  # fmt: skip
    assert [(r.episode, r.return_, r.steps) for r in first + more] == [
        (r.episode, r.return_, r.steps) for r in whole
    ]
    assert velto_kit.dumps(run.agent) == velto_kit.dumps(whole_agent)


class BoundedEnvs(SyncVectorEnv):
    """Stops a run that goes on stepping without end, instead of hanging the tests."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.budget = 20_000

    def step(self, actions):
        self.budget -= 1
        if self.budget < 0:
            raise RuntimeError("the run stepped on without finishing")
        return super().step(actions)


def population_parts(mode, count=3, limit=30):
    envs = BoundedEnvs(
        [lambda: gym.make("CartPole-v1", max_episode_steps=limit)] * count, autoreset_mode=mode
    )
    coder = features_for(gym.make("CartPole-v1"))
    mapping = action_mapping("binary", 2)
    agents = [make_agent(coder.num_features, 1, SETTINGS, seed=s) for s in range(count)]
    return envs, coder, mapping, agents


def run(mode, episodes, folder, resume=None, agents=None):
    envs, coder, mapping, fresh = population_parts(mode)
    agents = fresh if agents is None else agents
    results = run_population(
        envs, Population(agents), coder, mapping, episodes=episodes, gamma=0.9, seed=7,
        checkpoint_every=2, checkpoint_dir=folder, resume=resume,
    )  # fmt: skip
    return agents, list(results)


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP],
                         ids=lambda mode: mode.value)  # fmt: skip
def test_an_extended_population_finishes_and_its_unfinished_agents_go_on_exactly(mode, tmp_path):
    # Agent 0 is done after 2 episodes, when the first run checkpoint is written; the others go on.
    _, before = run(mode, [2, 6, 6], tmp_path / "short")
    stored = velto_kit.load_run(tmp_path / "short" / "run-000002.json")
    assert stored.loop["idle"][0]
    agents, after = run(mode, [5, 6, 6], tmp_path / "short", resume=stored,
                        agents=[member.agent for member in stored.members])  # fmt: skip
    whole_agents, whole = run(mode, [5, 6, 6], tmp_path / "long")
    # It finished: every agent reached its new count, agent 0 with its three more episodes.
    ended = {(r.agent, r.episode) for r in after}
    assert {(0, e) for e in range(2, 5)} <= ended
    assert max(r.episode for r in after if r.agent > 0) == 5
    # Agents 1 and 2 had not finished: their episodes and final state are the longer run's.
    wanted = {(r.agent, r.episode): (r.return_, r.steps) for r in whole if r.agent > 0}
    got = {(r.agent, r.episode): (r.return_, r.steps) for r in before + after if r.agent > 0}
    assert got == wanted
    for i in (1, 2):
        assert velto_kit.dumps(agents[i]) == velto_kit.dumps(whole_agents[i])
    assert [r.episode for r in after if r.agent == 0] == [2, 3, 4]


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP],
                         ids=lambda mode: mode.value)  # fmt: skip
def test_agents_finished_at_the_checkpoint_stay_idle_on_resume(mode, tmp_path):
    whole_agents, whole = run(mode, [2, 6, 6], tmp_path / "whole")
    _, before = run(mode, [2, 6, 6], tmp_path / "cut")
    stored = velto_kit.load_run(tmp_path / "cut" / "run-000002.json")
    agents, after = run(mode, [2, 6, 6], tmp_path / "cut", resume=stored,
                        agents=[member.agent for member in stored.members])  # fmt: skip
    # Agent 0 had finished: it neither draws nor steps nor reports another episode.
    assert all(r.agent > 0 for r in after)
    done = {(r.agent, r.episode) for r in before if r.episode < 2}
    assert {(r.agent, r.episode, r.return_) for r in whole} == {
        (r.agent, r.episode, r.return_) for r in before if (r.agent, r.episode) in done
    } | {(r.agent, r.episode, r.return_) for r in after}
    assert [velto_kit.dumps(a) for a in agents] == [velto_kit.dumps(a) for a in whole_agents]
    assert velto_kit.dumps(agents[0]) == velto_kit.dumps(stored.members[0].agent)
