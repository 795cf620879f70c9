"""velto_kit.inspect, value and action_probabilities against the independent model after every
step, through a checkpoint round trip in the middle; and what the views promise."""

import gc
import random

import numpy as np
import pytest
import reference_model as model
import velto_kit
from kit_support import slow_under_sanitizers, trained_agent
from test_reference_model import module_arguments
from velto_actor_critic import VeltoActorCritic

CRITIC_MEMBERS = ["trace_list", *velto_kit._native.CRITIC_ARRAYS, *velto_kit._native.CRITIC_SCALARS]
UNIT_MEMBERS = ["trace_list", *velto_kit._native.UNIT_ARRAYS, *velto_kit._native.UNIT_SCALARS]


def words_match(want, got):
    """Equal float32 bit patterns, except that the model's AMBIGUOUS_NAN matches any NaN."""
    want = np.asarray(want, dtype=np.float32).reshape(-1).view(np.uint32)
    got = np.asarray(got, dtype=np.float32).reshape(-1).view(np.uint32)
    if want.shape != got.shape:
        return False
    ambiguous = want == model.AMBIGUOUS_NAN_BITS
    got_nan = (got & 0x7F800000 == 0x7F800000) & (got & 0x007FFFFF != 0)
    return bool(np.all(np.where(ambiguous, got_nan, want == got)))


def differences(reference, agent):
    """The members of `agent` (read through velto_kit.inspect) that differ from the model's."""
    state = velto_kit.inspect(agent)
    found = []
    pairs = [("critic", reference.critic, state.critic, CRITIC_MEMBERS)]
    pairs += [
        (f"units[{i}]", unit, got, UNIT_MEMBERS)
        for i, (unit, got) in enumerate(zip(reference.units, state.units, strict=True))
    ]
    for where, want, got, names in pairs:
        for name in names:
            expected, actual = getattr(want, name), getattr(got, name)
            same = (
                list(expected) == actual.tolist()
                if name == "trace_list"
                else words_match(expected, actual)
            )
            if not same:
                found.append(f"{where}.{name}")
        if where != "critic":
            if got.rng_state.tolist() != want.rng.state or got.rng_position != want.rng.position:
                found.append(f"{where}.rng")
        if not words_match([model.expf(v) for v in want.log_step_size], got.step_sizes):
            found.append(f"{where}.step_sizes")
    return found


def model_value(reference, features):
    return model._feature_sum(model.ZERO, features, lambda j: reference.critic.weights[j])


def model_probabilities(reference, features):
    result = []
    for unit in reference.units:
        weights = unit.weights
        p = model._feature_sum(unit.action_prob_at_init, features, lambda j, w=weights: w[j])
        result.append(model.ONE if p >= model.ONE else model.ZERO if p <= model.ZERO else p)
    return result


@slow_under_sanitizers
@pytest.mark.parametrize("family", ["ordinary", "extreme", "overflow", "long"])
def test_every_member_matches_the_model_after_every_step_across_a_round_trip(family):
    from test_reference_model import make_scenarios

    scenarios = make_scenarios("agent", family, "inspect")[: 16 if family != "long" else 2]
    failures = []
    for index, scenario in enumerate(scenarios):
        arguments = module_arguments(scenario)
        if arguments[0] < 0:
            continue
        with np.errstate(all="ignore"):
            floats = [np.float32(v) for v in arguments[2:-1]]
            reference = model.VeltoActorCritic(*arguments[:2], *floats, arguments[-1])
            agent = VeltoActorCritic(*arguments)
            resume_at = random.Random(index).randrange(len(scenario.steps) + 1)
            for k, (step_floats, features) in enumerate(scenario.steps):
                if k == resume_at:
                    agent = velto_kit.loads(velto_kit.dumps(agent))
                    where = f"scenario {index}, after restoring at step {k}"
                else:
                    where = f"scenario {index}, step {k}"
                if not words_match(
                    model_value(reference, features), velto_kit.value(agent, features)
                ):
                    failures.append(f"{where}: value")
                if not words_match(
                    model_probabilities(reference, features),
                    velto_kit.action_probabilities(agent, features),
                ):
                    failures.append(f"{where}: action_probabilities")
                reward, gamma = (float(v) for v in step_floats)
                want = reference.step(features, np.float32(reward), np.float32(gamma))
                got = agent.step(features, reward, gamma)
                found = differences(reference, agent)
                if want != got or found:
                    failures.append(f"{where}: actions {want} != {got} or members {found}")
                if failures:
                    break
    assert not failures, "\n".join(failures[:8])


def test_views_are_read_only_and_outlive_the_agent():
    agent, _ = trained_agent(5, num_features=30, num_actions=2)
    state = velto_kit.inspect(agent)
    views = [state.critic.weights, state.critic.log_step_size, state.units[1].h_trace]
    copies = [np.array(view) for view in views]
    for view in views:
        assert view.dtype == np.float32 and view.shape == (30,)
        with pytest.raises(ValueError, match="read-only"):
            view[0] = 1.0
        with pytest.raises(ValueError):
            view.flags.writeable = True
    del agent, state
    gc.collect()
    # The views hold the agent: its memory is still there and unchanged.
    for view, copy in zip(views, copies, strict=True):
        assert np.array_equal(view.view(np.uint32), copy.view(np.uint32))
        assert isinstance(view.base, VeltoActorCritic)


def test_views_follow_the_agent_and_copies_do_not():
    agent, rng = trained_agent(6, num_features=20, num_actions=1)
    state = velto_kit.inspect(agent)
    weights, trace_list, last_value = (
        state.critic.weights,
        state.critic.trace_list,
        state.critic.last_value,
    )
    before = np.array(weights)
    listed = trace_list.copy()
    for _ in range(5):
        agent.step([rng.randrange(20) for _ in range(3)], 1.0, 0.9)
    now = velto_kit.inspect(agent)
    assert np.array_equal(weights, now.critic.weights)  # the view shows the new weights
    assert not np.array_equal(before, weights)
    assert np.array_equal(trace_list, listed)  # the copy kept the old list
    trace_list[:] = -1  # and writing to it does not reach the agent
    assert np.all(velto_kit.inspect(agent).critic.trace_list >= 0)
    assert isinstance(last_value, np.float32) and isinstance(now.units[0].decay, np.float32)


def test_engine_state_is_the_standard_text_form():
    agent = VeltoActorCritic(4, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 123)
    state = velto_kit.inspect(agent)
    for i, unit in enumerate(state.units):
        seeded = model.MT19937(model.unit_seed(123, i))
        assert unit.rng_state.dtype == np.uint32 and unit.rng_state.shape == (624,)
        assert unit.rng_state.tolist() == seeded.state and unit.rng_position == 624
    agent.step([0], 0.0, 0.9)  # probability 0.5: one draw of two outputs
    seeded = model.MT19937(model.unit_seed(123, 0))
    seeded(), seeded()
    unit = velto_kit.inspect(agent).units[0]
    assert (unit.rng_state.tolist(), unit.rng_position) == (seeded.state, 2)


def test_value_and_probabilities_change_nothing_and_check_indices():
    agent, _ = trained_agent(8, num_features=16, num_actions=3)
    before = velto_kit.dumps(agent)
    assert isinstance(velto_kit.value(agent, [1, 1, 2]), np.float32)
    probabilities = velto_kit.action_probabilities(agent, (i for i in [3, 4]))
    assert probabilities.dtype == np.float32 and probabilities.shape == (3,)
    for bad in ([16], [-1], [0, 2**31 - 1]):
        with pytest.raises(IndexError, match=f"feature index {bad[-1]} is outside"):
            velto_kit.value(agent, bad)
        with pytest.raises(IndexError, match=f"feature index {bad[-1]} is outside"):
            velto_kit.action_probabilities(agent, bad)
    with pytest.raises(TypeError):
        velto_kit.value(agent, [1.5])
    with pytest.raises(TypeError):
        velto_kit.value(agent, "12")
    assert velto_kit.dumps(agent) == before
    assert velto_kit.action_probabilities(VeltoActorCritic(4, 0, *[0.5] * 8, 0), [1]).shape == (0,)


@pytest.mark.parametrize(
    ("bias", "expected"),
    [(2.0, 1.0), (1.0, 1.0), (0.25, 0.25), (0.0, 0.0), (-3.0, 0.0), (float("nan"), np.nan)],
)
def test_probabilities_are_clipped_as_the_unit_clips_them(bias, expected):
    agent = VeltoActorCritic(4, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, bias, 0)
    got = velto_kit.action_probabilities(agent, [0, 1])
    np.testing.assert_array_equal(got, np.array([expected], dtype=np.float32))
