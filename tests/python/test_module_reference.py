"""The module reference's table of what `step` accepts as features is the module's behaviour: every
row's expression is run against a fresh agent, and the features it uses, or the error it raises,
must be what the row says."""

import re
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic

PAGE = Path(__file__).resolve().parents[2] / "docs" / "reference" / "module.md"
SECTION = "## What `step` accepts as features"
ROW = re.compile(r"^\| `(?P<expression>.+)` \| (?P<outcome>.+) \|$")
NAMES = {"np": np, "Decimal": Decimal, "Fraction": Fraction}


def table_rows(text: str) -> list[tuple[str, str]]:
    section = text.split(SECTION, 1)[1].split("\n## ", 1)[0]
    return [
        (match["expression"], match["outcome"])
        for match in map(ROW.match, section.splitlines())
        if match and match["expression"] != "feature_indices"  # the header
    ]


ROWS = table_rows(PAGE.read_text())


def outcome(features: object) -> str:
    agent = VeltoActorCritic(16, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    try:
        agent.step(features, 0.0, 0.9)  # type: ignore[arg-type]
    except (TypeError, IndexError) as error:
        return f"`{type(error).__name__}`"
    used = [int(index) for index in velto_kit.inspect(agent).critic.trace_list]
    return ("feature " if len(used) == 1 else "features ") + ", ".join(map(str, used))


def test_table_covers_the_kinds_the_reference_promises():
    expressions = " ".join(expression for expression, _ in ROWS)
    for kind in ["float32", "float16", "int32", "uint8", "np.array([3.9", "{7, 3}", "for i in"]:
        assert kind in expressions
    assert any("**truncated**" in said for _, said in ROWS)
    assert len(ROWS) >= 25


@pytest.mark.parametrize(("expression", "said"), ROWS, ids=[row[0] for row in ROWS])
def test_row_is_what_the_module_does(expression, said):
    # The row may explain itself after the outcome, in brackets.
    expected = re.sub(r" \(.*\)$", "", said)
    assert outcome(eval(expression, dict(NAMES))) == expected


@pytest.mark.parametrize(
    "features",
    [
        np.array([[3.9, 7.2], [1.5, 2.5]], dtype=np.float32),
        np.array([[3.9, 7.2], [1.5, 2.5]]),
        [[3.9], [1]],
    ],
    ids=["float32 array", "float64 array", "a float in a row"],
)
def test_a_population_refuses_floats_that_step_would_truncate(features):
    agents = [velto_kit.make_agent(16, 1, velto_kit.AgentSettings(), seed) for seed in (0, 1)]
    before = [velto_kit.dumps(agent) for agent in agents]
    with pytest.raises(TypeError):
        velto_kit.Population(agents).step(features, 0.0, 0.9)
    assert [velto_kit.dumps(agent) for agent in agents] == before
