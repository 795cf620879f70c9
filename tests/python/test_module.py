import math
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import velto_actor_critic
from velto_actor_critic import VeltoActorCritic

from conftest import AGENT_ARGS, make_agent, probe_steps, run


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def mt19937_outputs(seed, count):
    """The standard 32-bit Mersenne Twister seeded with one word, written out independently."""
    state = [seed & 0xFFFFFFFF]
    for i in range(1, 624):
        previous = state[-1]
        state.append((1812433253 * (previous ^ (previous >> 30)) + i) & 0xFFFFFFFF)
    outputs = []
    index = 624
    for _ in range(count):
        if index == 624:
            for k in range(624):
                y = (state[k] & 0x80000000) | (state[(k + 1) % 624] & 0x7FFFFFFF)
                state[k] = state[(k + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
            index = 0
        y = state[index]
        index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        outputs.append(y)
    return outputs


def decisions_with_empty_states(unit_seed, steps):
    """Decisions of a unit at probability 0.5 that never sees a feature: draw against 0.5."""
    outputs = mt19937_outputs(unit_seed, 2 * steps)
    draws = [
        (outputs[2 * t + 1] * 2**21 + (outputs[2 * t] >> 11)) * 2.0**-53 for t in range(steps)
    ]
    return [0.5 > u for u in draws]


class TestModule:
    def test_docstrings_and_contents(self):
        assert velto_actor_critic.__doc__ == "Python bindings for Velto Actor-Critic algorithm"
        assert VeltoActorCritic.__doc__ is None
        assert VeltoActorCritic.__module__ == "velto_actor_critic"
        public = {name for name in dir(velto_actor_critic) if not name.startswith("__")}
        assert public == {"VeltoActorCritic"}

    @pytest.mark.parametrize(
        ("method", "names"),
        [
            ("__init__", "num_features num_actions lambda_ alpha epsilon meta_step_size eta "
                         "eta_actor decay action_prob_at_init seed"),
            ("step", "feature_indices reward gamma"),
        ],
    )
    def test_signature_docstrings_name_every_parameter_in_order(self, method, names):
        doc = getattr(VeltoActorCritic, method).__doc__
        assert doc.startswith(f"{method}(self: velto_actor_critic.VeltoActorCritic, ")
        positions = [doc.index(f" {name}: ") for name in names.split()]
        assert positions == sorted(positions)

    def test_stub_matches_the_module(self):
        allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
        result = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "velto_actor_critic",
             "--allowlist", str(allowlist)],
            capture_output=True, text=True, check=False,
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_attributes_cannot_be_added(self):
        with pytest.raises(AttributeError):
            make_agent().anything = 1


class TestConstructor:
    @pytest.mark.parametrize(
        "changes",
        [
            {"num_features": True},
            {"num_actions": 0},
            {"num_actions": -3},
            {"seed": 2**31 - 1},
            {"seed": -(2**31)},
            {"alpha": 1},
            {"eta": float("nan"), "decay": float("inf"), "epsilon": -1.0},
            {"lambda_": 1e300},
        ],
    )
    def test_accepts(self, changes):
        agent = make_agent(**changes)
        assert isinstance(agent.step([0], 1.0, 0.9), list)

    @pytest.mark.parametrize(
        "changes",
        [
            {"num_features": 64.0},
            {"num_features": "64"},
            {"seed": 2**31},
            {"seed": -(2**31) - 1},
            {"alpha": "0.1"},
            {"alpha": None},
            {"alpha": 2**1100},
            {"unknown": 1},
        ],
    )
    def test_rejects_with_type_error(self, changes):
        with pytest.raises(TypeError, match="incompatible constructor arguments|__init__"):
            make_agent(**changes)

    def test_missing_or_extra_positional_arguments(self):
        with pytest.raises(TypeError):
            VeltoActorCritic(*AGENT_ARGS[:-1])
        with pytest.raises(TypeError):
            VeltoActorCritic(*AGENT_ARGS, 0)

    def test_negative_feature_count_is_a_value_error(self):
        with pytest.raises(ValueError, match="^vector too long$"):
            make_agent(num_features=-1)

    def test_size_beyond_memory_is_a_memory_error_not_a_killed_process(self):
        code = (
            "import velto_actor_critic as v\n"
            "try:\n"
            "    v.VeltoActorCritic(2**31 - 1, 4, .9, .1, .01, .01, 1., .5, .9, .5, 0)\n"
            "except MemoryError:\n"
            "    print('MemoryError')\n"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                 timeout=120, check=False)
        assert (result.returncode, result.stdout.strip()) == (0, "MemoryError"), result.stderr

    def test_second_init_keeps_the_agent(self, agent_and_twin):
        agent, twin = agent_and_twin
        assert agent.__init__(*AGENT_ARGS) is None
        probe = probe_steps()
        assert run(agent, probe) == run(twin, probe)

    def test_int_index_objects_and_float_convertibles_are_accepted(self):
        class Index:
            def __index__(self):
                return 64

        class Real:
            def __float__(self):
                return 0.5

        probe = probe_steps()
        assert run(make_agent(num_features=Index(), action_prob_at_init=Real()), probe) == run(
            make_agent(), probe
        )


class TestStep:
    @pytest.mark.parametrize(
        "convert",
        [tuple, lambda f: (x for x in f), lambda f: range(f[0], f[-1] + 1),
         lambda f: dict.fromkeys(f).keys(),
         lambda f: bytearray(f)],
        ids=["tuple", "generator", "range", "dict_keys", "bytearray"],
    )
    def test_sequence_kinds_match_a_list(self, convert):
        features = [3, 4, 5, 6]
        as_list, other = make_agent(), make_agent()
        assert [other.step(convert(features), 1.0, 0.9)] == [as_list.step(features, 1.0, 0.9)]
        probe = probe_steps()
        assert run(other, probe) == run(as_list, probe)

    @pytest.mark.parametrize(
        "features",
        ["12", b"\x01", {1: 2}, iter([1, 2]), [1.0], [2**31], [None], 5],
        ids=["str", "bytes", "dict", "list_iterator", "float_element", "too_large", "none", "int"],
    )
    def test_rejected_features_leave_the_agent_unchanged(self, agent_and_twin, features):
        agent, twin = agent_and_twin
        with pytest.raises(TypeError, match="incompatible function arguments"):
            agent.step(features, 1.0, 0.9)
        probe = probe_steps()
        assert run(agent, probe) == run(twin, probe)

    @pytest.mark.parametrize(
        ("index", "message"),
        [(64, r"feature index 64 is outside the valid range \[0, 64\)"),
         (-1, r"feature index -1 is outside the valid range \[0, 64\)")],
    )
    def test_out_of_range_index_is_an_index_error_before_any_change(
        self, agent_and_twin, index, message
    ):
        agent, twin = agent_and_twin
        with pytest.raises(IndexError, match=message):
            agent.step([1, 2, index], 1.0, 0.9)
        probe = probe_steps()
        assert run(agent, probe) == run(twin, probe)

    @pytest.mark.parametrize(
        ("call", "kwargs"),
        [((), {"feature_indices": [1], "reward": 1.0}), (([1], 1.0, 0.9, 1), {}),
         (([1],), {"reward": "1", "gamma": 0.9}), (([1], 1.0), {"gamma": None}),
         (([1], 1.0, 0.9), {"gamma": 0.9})],
    )
    def test_bad_calls_raise_type_error_and_change_nothing(self, agent_and_twin, call, kwargs):
        agent, twin = agent_and_twin
        with pytest.raises(TypeError):
            agent.step(*call, **kwargs)
        probe = probe_steps()
        assert run(agent, probe) == run(twin, probe)

    def test_keyword_call_matches_positional(self):
        by_keyword, by_position = make_agent(), make_agent()
        for features, reward, gamma in probe_steps():
            assert by_keyword.step(gamma=gamma, reward=reward, feature_indices=features) == (
                by_position.step(features, reward, gamma)
            )

    @pytest.mark.parametrize(
        ("given", "equivalent"),
        [(1, 1.0), (True, 1.0), (1e40, math.inf), (0.1, float32(0.1)), (-1e-50, -0.0)],
    )
    def test_reward_is_rounded_to_float32(self, given, equivalent):
        steps = probe_steps()
        a, b = make_agent(), make_agent()
        for features, _, gamma in steps:
            assert a.step(features, given, gamma) == b.step(features, equivalent, gamma)

    def test_element_true_is_feature_one(self):
        a, b = make_agent(), make_agent()
        assert a.step([True, 2], 1.0, 0.9) == b.step([1, 2], 1.0, 0.9)
        probe = probe_steps()
        assert run(a, probe) == run(b, probe)

    def test_each_call_returns_a_new_ascending_list(self):
        agent = make_agent(action_prob_at_init=1.0)
        first = agent.step([], 1.0, 0.9)
        assert first == [0, 1, 2, 3]
        first.append(99)
        second = agent.step([], 1.0, 0.9)
        assert second == [0, 1, 2, 3] and second is not first

    @pytest.mark.parametrize(("prob", "expected"), [(1.0, [0, 1, 2, 3, 4]), (0.0, []),
                                                    (7.5, [0, 1, 2, 3, 4]), (-2.0, [])])
    def test_empty_states_follow_the_bias(self, prob, expected):
        agent = make_agent(num_actions=5, action_prob_at_init=prob)
        assert all(agent.step([], 1.0, 0.9) == expected for _ in range(20))

    def test_zero_features_and_no_actions(self):
        agent = make_agent(num_features=0, num_actions=0)
        assert agent.step([], 1.0, 0.9) == []
        with pytest.raises(IndexError):
            agent.step([0], 1.0, 0.9)

    def test_agents_built_alike_agree_at_every_step(self):
        probe = probe_steps(count=500)
        first, second = run(make_agent(), probe), run(make_agent(), probe)
        assert first == second
        assert any(first) and not all(len(actions) == 4 for actions in first)

    def test_uninitialised_object_is_refused(self):
        bare = VeltoActorCritic.__new__(VeltoActorCritic)
        with pytest.raises(TypeError, match="__init__"):
            bare.step([1], 1.0, 0.9)


class TestSeeds:
    @pytest.mark.parametrize(
        ("seed", "unit_seeds"),
        [(0, [230290, 254320]), (-230290, [0, 24030]),
         (2**31 - 1, [2**31 - 1 + 230290, 2**31 - 1 + 230290 + 24030]),
         (-230291, [2**32 - 1, 24029])],
    )
    def test_unit_seeds_wrap_around(self, seed, unit_seeds):
        steps = 30
        agent = make_agent(num_features=0, num_actions=2, seed=seed)
        taken = [agent.step([], 0.0, 0.9) for _ in range(steps)]
        for unit, unit_seed in enumerate(unit_seeds):
            expected = decisions_with_empty_states(unit_seed, steps)
            assert [unit in actions for actions in taken] == expected
