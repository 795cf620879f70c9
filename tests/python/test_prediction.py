"""The prediction loop, its tasks and its baselines: stepping by hand, resume, divergence, and
each baseline against numbers worked by hand."""

from __future__ import annotations

import itertools
import math
import warnings

import numpy as np
import pytest
import velto_kit
from velto_kit import AgentSettings, make_agent, run_prediction
from velto_kit.experiments.prediction_baselines import IDBD, Autostep, TDLambda
from velto_kit.experiments.prediction_tasks import RandomWalk, SensorNexting, TrackingRegression
from velto_kit.experiments.tracking import agent_arrays

TRACKING = TrackingRegression()


def tracking_agent(units: int = 0, **settings: float):
    settings = {"meta_step_size": 0.01, **settings}
    return make_agent(TRACKING.num_features, units, AgentSettings(**settings), seed=3)


@pytest.mark.parametrize("units", [0, 2])
def test_run_prediction_is_stepping_by_hand(units):
    by_loop, by_hand = tracking_agent(units), tracking_agent(units)
    result = run_prediction(by_loop, TRACKING.transitions(seed=1, steps=300))
    predictions, targets = [], []
    for features, cumulant, gamma, target in TRACKING.transitions(seed=1, steps=300):
        by_hand.step(features, cumulant, gamma)
        predictions.append(velto_kit.value(by_hand, features))
        targets.append(target)
    assert result.predictions.dtype == np.float32
    assert result.predictions.tobytes() == np.array(predictions, np.float32).tobytes()
    assert result.targets.tolist() == targets
    assert result.errors.tolist() == (result.predictions.astype(float) - targets).tolist()
    assert velto_kit.dumps(by_loop) == velto_kit.dumps(by_hand)
    assert not result.diverged


def test_without_learning_the_agent_is_only_asked():
    agent = tracking_agent()
    run_prediction(agent, TRACKING.transitions(seed=1, steps=100))
    before = velto_kit.dumps(agent)
    items = list(TRACKING.transitions(seed=2, steps=50))
    result = run_prediction(agent, items, learn=False, steps=40)
    assert velto_kit.dumps(agent) == before
    assert result.predictions.tolist() == [velto_kit.value(agent, f) for f, *_ in items[:40]]


def test_a_stream_without_targets_has_no_errors_and_a_mixed_one_is_refused():
    agent = tracking_agent()
    result = run_prediction(agent, [([0], 1.0, 0.0), ([1], 1.0, 0.0)])
    assert result.targets is None and result.errors is None
    with pytest.raises(ValueError, match="no targets"):
        result.mean_squared_error()
    with pytest.raises(ValueError, match="lacks a target"):
        run_prediction(agent, [([0], 1.0, 0.0, 1.0), ([1], 1.0, 0.0)])
    with pytest.raises(ValueError, match="transition 0"):
        run_prediction(agent, [([0], 1.0)])


def run_checkpointed(tmp_path, agent, steps, resume=None, **options):
    return run_prediction(
        agent, TRACKING.transitions(seed=5, steps=1000), steps=steps, checkpoint_every=50,
        checkpoint_dir=tmp_path / "run", log=tmp_path / "log.csv", resume=resume,
        settings={"task": "tracking", "seed": 5}, **options,
    )  # fmt: skip


class Recorder:
    """A callback that keeps each progress and looks into the agent as a tracker does."""

    def __init__(self):
        self.calls = []

    def __call__(self, progress, agent):
        self.calls.append(progress)
        agent_arrays(agent)


@pytest.mark.parametrize("tracked", [False, True], ids=["plain", "with-callback"])
def test_a_killed_run_resumes_byte_identically(tmp_path, tracked):
    whole = tracking_agent()
    expected = run_checkpointed(tmp_path / "whole", whole, 230)
    # A run killed after transition 130: its newest checkpoint holds 100 transitions.
    options = {"callback": Recorder(), "callback_every": 70} if tracked else {}
    run_checkpointed(tmp_path / "cut", tracking_agent(), 130, **options)
    resume = velto_kit.latest_run(tmp_path / "cut" / "run")
    assert resume.next_episode == 100
    options = {"callback": Recorder(), "callback_every": 70} if tracked else {}
    resumed = run_checkpointed(tmp_path / "cut", resume.agent, 230, resume=resume, **options)
    if tracked:
        # The resumed run's errors so far include those before its checkpoint.
        told = {progress.transitions: progress for progress in options["callback"].calls}
        assert sorted(told) == [140, 150, 200, 210, 230]
        squared = np.square(expected.errors[:140]).mean()
        assert told[140].mean_squared_error == pytest.approx(squared, rel=1e-12)
    assert resumed.predictions.tobytes() == expected.predictions.tobytes()
    assert resumed.targets.tolist() == expected.targets.tolist()
    assert velto_kit.dumps(resume.agent) == velto_kit.dumps(whole)
    log = (tmp_path / "cut" / "log.csv").read_bytes()
    assert log == (tmp_path / "whole" / "log.csv").read_bytes()
    assert log.count(b"\n") == 231 and log.startswith(b"step,prediction,target\n")
    assert resumed.checkpoint.name == "run-000200.json"


INFINITE = [([0], 0.0, 0.0), ([1], math.inf, 0.0), ([0], 0.0, 0.0)]


@pytest.mark.parametrize(
    ("stream", "steps", "every", "checkpoints", "told"),
    [
        # Its period, each checkpoint and the end, each transition once.
        (TRACKING.transitions(5, 1000), 230, 100, 50, [50, 100, 150, 200, 230]),
        (TRACKING.transitions(5, 1000), 230, 60, None, [60, 120, 180, 230]),
        # A stream that ends at a period: its last transition is told once.
        (TRACKING.transitions(5, 200), None, 100, None, [100, 200]),
        (TRACKING.transitions(5, 0), None, 100, None, [0]),
        # A diverged run is told where it stopped.
        (INFINITE, None, 1, None, [1, 2]),
    ],
    ids=["period-and-checkpoints", "period", "ends-at-period", "empty", "diverged"],
)
def test_a_callback_is_told_at_its_period_checkpoints_and_end_and_changes_nothing(
    tmp_path, stream, steps, every, checkpoints, told
):
    items = list(stream)
    plain, tracked, recorder = tracking_agent(), tracking_agent(), Recorder()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        expected = run_prediction(plain, items, steps=steps)
        result = run_prediction(
            tracked, items, steps=steps, callback=recorder, callback_every=every,
            checkpoint_every=checkpoints, checkpoint_dir=tmp_path,
        )  # fmt: skip
    assert result.predictions.tobytes() == expected.predictions.tobytes()
    assert velto_kit.dumps(tracked) == velto_kit.dumps(plain)
    assert [progress.transitions for progress in recorder.calls] == told
    for progress in recorder.calls:
        count = progress.transitions
        assert progress.prediction == (float(result.predictions[count - 1]) if count else 0.0)
        if checkpoints and count % checkpoints == 0:
            assert progress.checkpoint.name == f"run-{count:06d}.json"
        else:
            assert progress.checkpoint is None
        assert progress.diverged == (result.diverged and count == len(result.predictions))
        if result.errors is not None and count:
            errors = result.errors[:count]
            assert progress.mean_squared_error == pytest.approx(np.square(errors).mean())
            assert progress.mean_absolute_error == pytest.approx(np.abs(errors).mean())
        else:
            assert progress.mean_squared_error is progress.mean_absolute_error is None


def test_a_resume_of_another_run_agent_or_stream_is_refused(tmp_path):
    run_checkpointed(tmp_path, tracking_agent(), 100)
    resume = velto_kit.latest_run(tmp_path / "run")
    with pytest.raises(ValueError, match="checkpoint's agent"):
        run_checkpointed(tmp_path, tracking_agent(), 200, resume=resume)
    with pytest.raises(ValueError, match="settings"):
        run_prediction(
            resume.agent, TRACKING.transitions(seed=5, steps=300), resume=resume,
            settings={"task": "other"},
        )  # fmt: skip
    with pytest.raises(ValueError, match="stream ends after 30"):
        run_prediction(
            resume.agent, TRACKING.transitions(seed=5, steps=30), resume=resume,
            settings={"task": "tracking", "seed": 5},
        )  # fmt: skip
    with pytest.raises(ValueError, match="more than 60"):
        run_checkpointed(tmp_path, resume.agent, 60, resume=resume)
    with pytest.raises(ValueError, match="steps"):
        run_prediction(resume.agent, [], steps=-1)
    with pytest.raises(ValueError, match="callback_every must be at least 1"):
        run_prediction(resume.agent, [], callback=print, callback_every=0)


@pytest.mark.parametrize(
    ("learner", "stream", "bound", "at"),
    [
        # The setting, eta 2 with meta step size 0.1: predictions past 10^6 (its step
        # sizes pull it back before they overflow, so only a bound sees it).
        (tracking_agent(eta=2.0, meta_step_size=0.1), TRACKING.transitions(0, 20000), 1e3, 4615),
        (TDLambda(20, alpha=0.5), TRACKING.transitions(0, 2000), None, 195),
        # An infinite TD error; the agent's value of the new state [1] stays 0.
        (tracking_agent(), [([0], 0.0, 0.0), ([1], math.inf, 0.0), ([0], 0.0, 0.0)], None, 1),
    ],
    ids=["agent-eta-2-bound", "lms-too-large", "td-error-only"],
)
def test_divergence_is_flagged_warned_and_ends_the_run(learner, stream, bound, at):
    with pytest.warns(RuntimeWarning, match="diverged"):
        result = run_prediction(learner, stream, bound=bound)
    assert result.diverged and result.diverged_at == at
    assert len(result.predictions) == at + 1
    assert np.isfinite(result.predictions[:-1]).all()
    assert (np.abs(result.predictions[:-1]) <= (bound or math.inf)).all()
    if result.errors is not None:
        assert result.mean_squared_error() == math.inf


def test_a_run_within_its_bound_is_not_flagged():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = run_prediction(tracking_agent(), TRACKING.transitions(0, 3000), bound=1e3)
    assert not result.diverged and len(result.predictions) == 3000


# Three transitions worked by hand (see each learner's docstring for its update): features
# [0, 1] then [0] then [1], cumulants 0, 1, 2, discount 0.
HAND = [([0, 1], 0.0, 0.0), ([0], 1.0, 0.0), ([1], 2.0, 0.0)]


@pytest.mark.parametrize(
    ("learner", "stream", "weights", "predictions"),
    [
        # LMS, alpha 0.5: delta 1 moves both weights to 0.5; then delta 2 - 0.5 = 1.5 on w0.
        (TDLambda(2, alpha=0.5), HAND, [1.25, 0.5], [0.0, 0.5, 0.5]),
        # Normalised: [0, 1] enters the trace as [0.5, 0.5]: w = 0.25 each; delta 1.75 on w0.
        (TDLambda(2, alpha=0.5, normalised=True), HAND, [1.125, 0.25], [0.0, 0.25, 0.25]),
        # TD(0.5): delta 1 on e = [1, 0]; e = 0.25 * [1, 0] + [0, 1]; delta 2 on it.
        (
            TDLambda(2, alpha=0.5, lambda_=0.5),
            [([0], 0.0, 0.0), ([1], 1.0, 0.5), ([0], 2.0, 0.0)],
            [0.75, 1.0],
            [0.0, 0.0, 0.75],
        ),
        # IDBD, alpha 0.5, theta 0.5: h = 0.5 each after the first update; then beta0 +=
        # 0.5 * 1.5 * 0.5, alpha0 = 0.5 e^0.375 = 0.7274957, w0 = 0.5 + 1.5 alpha0.
        (IDBD(2, alpha=0.5, theta=0.5), HAND, [1.5912436, 0.5], [0.0, 0.5, 0.5]),
        # Autostep, alpha 0.75, mu 0.5: sum(alpha x^2) = 1.5 halves... to 0.5 each; then
        # v0 = |1.5 * 0.5| = 0.75 and alpha0 = 0.5 e^(0.5 * 0.75 / 0.75) = 0.8243606.
        (Autostep(2, alpha=0.75, mu=0.5), HAND, [1.7365409, 0.5], [0.0, 0.5, 0.5]),
    ],
    ids=["lms", "nlms", "td-lambda", "idbd", "autostep"],
)
def test_baselines_match_the_hand_computation(learner, stream, weights, predictions):
    result = run_prediction(learner, stream)
    assert learner.weights.tolist() == pytest.approx(weights, abs=1e-7)
    assert result.predictions.tolist() == pytest.approx(predictions, abs=1e-7)


def test_idbd_h_decay_is_clipped_at_zero_and_autostep_keeps_its_effective_step_size():
    # IDBD with step sizes above 1: 1 - alpha x e goes negative and must be cut to 0.
    idbd = IDBD(1, alpha=2.0, theta=0.0)
    for item in ([0], 0.0, 0.0), ([0], 1.0, 0.0), ([0], 0.0, 0.0):
        idbd.step(*item)
    assert idbd.h.tolist() == [2.0 * -2.0]  # h = 0 * 0 + 2 * (0 - 2)
    # Autostep: however large its start, the step sizes that updated a state sum to at most 1.
    auto = Autostep(3, alpha=4.0, mu=0.1)
    stream = itertools.islice(itertools.cycle([([0, 1, 2], 1.0), ([0, 2], -1.0)]), 40)
    previous: list[int] = []
    for features, cumulant in stream:
        auto.step(features, cumulant, 0.0)
        if previous:
            assert float(auto.step_sizes[previous].sum()) <= 1.0 + 1e-12
        previous = features


@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_random_walk_true_values_satisfy_the_bellman_equation(sign):
    walk = RandomWalk()
    values = walk.true_values(sign)
    padded = np.concatenate([[-sign], values, [sign]])
    assert np.allclose(values, 0.5 * (padded[:-2] + padded[2:]), atol=1e-12)
    assert np.allclose(values, sign * (np.arange(1, 20) - 10) / 10)


def test_random_walk_stream_targets_are_its_states_values_and_swap():
    walk = RandomWalk(swap_every=2)
    items = list(walk.transitions(seed=0, episodes=6))
    starts = walk.episode_starts(0, 6)
    assert len(starts) == 6 and starts[0] == 0
    signs = []
    for index, (features, cumulant, gamma, target) in enumerate(items):
        state = features[2] - 5
        assert features == walk.features(state)
        sign = 1.0 if index < starts[2] or starts[4] <= index else -1.0
        if index + 1 in starts or index == len(items) - 1:
            signs.append(sign)
        assert target == pytest.approx(walk.true_values(sign)[state])
        if gamma == 0.0 and index > 0:
            assert cumulant in (-1.0, 1.0) and state == 9
    # Exit rewards: each episode's exit reward agrees with the sign of its episode.
    exits = [items[start][1] for start in starts[1:]]
    assert all(reward != 0.0 for reward in exits)
    assert signs[:1] == [1.0]


def test_tracking_targets_follow_a_flipping_weight():
    task = TrackingRegression(noise=0.0)
    items = list(task.transitions(seed=4, steps=401))
    weights = task.weights(4)
    for index, (features, cumulant, _, target) in enumerate(items):
        flipped = weights.copy()
        flipped[0] *= (-1) ** (index // 200)
        assert target == pytest.approx(flipped[features].sum())
        assert cumulant == (items[index - 1][3] if index else 0.0)


def test_sensor_targets_are_the_discounted_sums_of_the_cumulants_that_follow():
    task = SensorNexting(horizon=20)
    items = list(task.transitions(seed=2, steps=60))
    cumulants = np.array([item[1] for item in items])
    for index in range(60 - 21):
        expected = float((task.gamma ** np.arange(20)) @ cumulants[index + 1 : index + 21])
        assert items[index][3] == pytest.approx(expected, abs=1e-12)
    assert all(max(item[0]) < task.num_features and len(item[0]) >= task.tilings for item in items)
