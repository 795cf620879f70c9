"""The example's inspection figure shows the critic's value for every tile-coded Box observation:
a curve over a one-dimensional one, a surface over two dimensions of a larger one, and says that
there is no box only where the features are not a tile coder."""


import matplotlib
import numpy as np
import pytest
import velto_kit
from velto_kit.cli import inspection_figure  # noqa: E402

matplotlib.use("Agg")


def trained(features, steps=400):
    agent = velto_kit.make_agent(features.num_features, 1, velto_kit.AgentSettings(), seed=0)
    rng = np.random.default_rng(0)
    for _ in range(steps):
        observation = rng.uniform(features.lows, features.highs)
        # The reward depends on the observation, so the learned value varies along it.
        agent.step(features.active_features(observation), float(observation[0] > 0), 0.9)
    return agent


def test_value_curve_of_a_one_dimensional_box_is_the_critics_value_along_it():
    features = velto_kit.TileCoder([-1.0], [1.0], 8, 4)
    agent = trained(features)
    view = inspection_figure.value_view(agent, features, (0, 1))
    assert view is not None and len(view) == 2
    xs, values = view
    assert xs[0] == -1.0 and xs[-1] == 1.0
    expected = [velto_kit.value(agent, features.active_features(np.array([x]))) for x in xs]
    assert np.array_equal(values, np.array(expected, dtype=np.float32))
    assert values.max() > values.min()  # a trained critic, not a flat line of zeros


def test_value_surface_over_two_dimensions_of_a_larger_box():
    features = velto_kit.TileCoder([-1.0, 0.0, 0.0], [1.0, 1.0, 2.0], 4, 2)
    agent = trained(features)
    view = inspection_figure.value_view(agent, features, (0, 2), size=5)
    assert view is not None and len(view) == 3
    xs, ys, values = view
    assert values.shape == (5, 5) and ys[-1] == 2.0
    corner = velto_kit.value(agent, features.active_features(np.array([1.0, 0.5, 2.0])))
    assert values[-1, -1] == corner


def test_features_that_are_no_tile_coder_have_no_value_view():
    features = velto_kit.OneHot(16)
    agent = trained_discrete(features)
    assert inspection_figure.value_view(agent, features, (0, 1)) is None


def trained_discrete(features):
    agent = velto_kit.make_agent(features.num_features, 1, velto_kit.AgentSettings(), seed=0)
    agent.step(features.active_features(3), 0.0, 0.9)
    return agent


@pytest.mark.parametrize(
    ("features", "drawn"),
    [
        (velto_kit.TileCoder([-1.0], [1.0], 8, 4), "curve"),
        (velto_kit.TileCoder([-1.0, -1.0], [1.0, 1.0], 4, 2), "surface"),
        (velto_kit.OneHot(16), "no box"),
    ],
    ids=["one-dimensional box", "two-dimensional box", "one-hot"],
)
def test_right_panel_draws_what_the_features_allow(features, drawn, tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    agent = velto_kit.make_agent(features.num_features, 1, velto_kit.AgentSettings(), seed=0)
    snapshot = inspection_figure.critic_snapshot(agent, 1, 1)
    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    path = tmp_path / "figure.png"
    inspection_figure.plot(
        [snapshot],
        inspection_figure.value_view(agent, features, (0, 1), size=5),
        title="t",
        alpha=0.01,
        dim_names=("a", "b"),
        path=path,
    )
    assert path.stat().st_size > 0
    right = figures[0].axes[1]
    texts = [text.get_text() for text in right.texts]
    assert texts == (["no tile-coded Box observation"] if drawn == "no box" else [])
    assert len(right.lines) == (1 if drawn == "curve" else 0)
    assert len(right.collections) == (1 if drawn == "surface" else 0)


@pytest.mark.parametrize(("env_id", "episodes"), [("CartPole-v1", 100), ("CliffWalking-v1", 50)])
def test_native_snapshots_are_the_gymnasium_runs_snapshots_and_agent(env_id, episodes):
    import gymnasium as gym

    options = {} if env_id == "CartPole-v1" else {"max_episode_steps": 200}
    runs = []
    for native in (None, options):
        env = gym.make(env_id, **options)
        features = velto_kit.features_for(env)
        mapping = velto_kit.action_mapping("binary", int(env.action_space.n))
        agent = velto_kit.make_agent(features.num_features, mapping.num_units,
                                     velto_kit.AgentSettings(), seed=3)  # fmt: skip
        snapshots = inspection_figure.train_with_snapshots(
            env, agent, features, mapping, episodes=episodes, gamma=0.99, seed=3,
            native_options=native,
        )  # fmt: skip
        runs.append((snapshots, velto_kit.dumps(agent)))
    (gymnasium, gym_agent), (native, native_agent) = runs
    assert [s.episode for s in native] == inspection_figure.snapshot_episodes(episodes)
    assert [(s.episode, s.steps) for s in native] == [(s.episode, s.steps) for s in gymnasium]
    for ours, theirs in zip(native, gymnasium, strict=True):
        assert ours.step_sizes.tobytes() == theirs.step_sizes.tobytes()
    # Snapshots taken along the way, not of the final agent: the early ones differ from the last.
    assert native[0].step_sizes.tobytes() != native[-1].step_sizes.tobytes()
    assert native_agent == gym_agent
