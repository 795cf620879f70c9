"""The documented exceptions of the module and of velto_kit, whichever of the two is imported
first. Each extension of the wheel links its own C++ runtime, whose exception types the other's
code does not recognise: a translator of the wrong extension turns every one of them into
"RuntimeError: Caught an unknown exception!". Each order runs in a fresh interpreter, outside the
checkout, so the installed package is what answers."""

import json
import os
import subprocess
import sys

import pytest

ORDERS = {
    "module first": "import velto_actor_critic\nimport velto_kit\n",
    "velto_kit first": "import velto_kit\nimport velto_actor_critic\n",
}

# name: (code raising the error, expected type, text the message holds). Each line of code runs
# after `agent` (8 features, 1 action) and `population` (two agents of 64 features) exist.
CASES = {
    "module: index past the range": (
        "agent.step([8], 0.0, 0.9)", "IndexError",
        "feature index 8 is outside the valid range [0, 8)"),
    "module: negative index": ("agent.step([-1], 0.0, 0.9)", "IndexError", "index -1 is outside"),
    "module: agent too large for memory": (
        "VeltoActorCritic(2**31 - 1, 1000, *SETTINGS)", "MemoryError", ""),
    "module: negative num_features": (
        "VeltoActorCritic(-1, 1, *SETTINGS)", "ValueError", "vector too long"),
    "module: float feature": ("agent.step([1.0], 0.0, 0.9)", "TypeError", ""),
    "module: step before __init__": (
        "VeltoActorCritic.__new__(VeltoActorCritic).step([0], 0.0, 0.9)", "TypeError",
        "__init__() has not been called"),
    "kit: index past an agent's range": (
        "population.step(np.array([[1, 2], [3, 64]]), 0.0, 0.99)", "IndexError",
        "features of row 1: index 64 is outside agent 1's range [0, 64)"),
    "kit: population of no agents": (
        "velto_kit.Population([], threads=1)", "ValueError", "at least one agent"),
    "kit: coder too large for memory": (
        "velto_kit.TileCoder([0.0], [1.0], 5, 2**31 - 1, hash_size=1000)", "MemoryError", ""),
    "kit: unknown native task": (
        "velto_kit._native.NativeTask('NoSuchTask-v0', {})", "ValueError", "no native task"),
}  # fmt: skip

CHILD = """
import json
import sys

import numpy as np

from velto_actor_critic import VeltoActorCritic

SETTINGS = (0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
agent = VeltoActorCritic(8, 1, *SETTINGS)
settings = velto_kit.AgentSettings()
population = velto_kit.Population([velto_kit.make_agent(64, 2, settings, seed=s) for s in (0, 1)])
results = {}
for name, code in json.loads(sys.argv[1]).items():
    try:
        exec(code)
        results[name] = ["no error", ""]
    except Exception as error:
        results[name] = [type(error).__name__, str(error)]
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def raised(tmp_path_factory):
    """What each case raised, per import order."""
    codes = json.dumps({name: code for name, (code, _, _) in CASES.items()})
    found = {}
    for order, imports in ORDERS.items():
        child = subprocess.run(
            [sys.executable, "-P", "-c", imports + CHILD, codes],
            capture_output=True,
            text=True,
            timeout=300,
            cwd=tmp_path_factory.mktemp("outside"),
        )
        assert child.returncode == 0, child.stderr
        found[order] = json.loads(child.stdout)
    return found


@pytest.mark.parametrize("order", list(ORDERS))
@pytest.mark.parametrize("case", list(CASES))
def test_documented_exception_in_either_import_order(raised, order, case):
    _, kind, text = CASES[case]
    got_kind, message = raised[order][case]
    assert (got_kind, text in message) == (kind, True), f"{got_kind}: {message}"


def test_the_suites_import_in_the_order_they_were_asked_for():
    # conftest.py imports velto_kit first when VELTO_TEST_IMPORTS=kit-first (the dist stage runs
    # the suites both ways). Python modules enter sys.modules as their import begins, extensions
    # as it ends: velto_kit's first modules come before the module only when velto_kit came first.
    first = next(name for name in sys.modules if name.startswith("velto"))
    assert first.startswith("velto_kit") == (os.environ.get("VELTO_TEST_IMPORTS") == "kit-first")
