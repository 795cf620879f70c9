"""What mypy accepts and rejects of the module's stub and velto_kit's annotations: the calls that
work at run time type-check, and the ones that raise TypeError at run time are flagged. The README's
and the site's Python examples type-check as written."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from markdown_blocks import blocks

ROOT = Path(__file__).resolve().parents[2]

HEADER = """\
import gymnasium as gym
import numpy as np
import velto_kit
from velto_actor_critic import VeltoActorCritic

agent = VeltoActorCritic(8, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
"""

# Each call runs as written at run time (accepted) or raises TypeError there (rejected).
ACCEPTED = {
    "step-list": "agent.step([1, 2], 0.0, 0.9)",
    "step-tuple-range": "agent.step((1, 2), 0, 1); agent.step(range(3), 0.0, 0.9)",
    "step-set": "agent.step({1, 2}, 0.0, 0.9)",
    "step-numpy-int-array": "agent.step(np.array([1, 2]), 0.0, 0.9)",
    "step-numpy-arange": "agent.step(np.arange(3, dtype=np.int32), np.float32(1), 0.9)",
    "step-generator": "agent.step((i for i in range(3)), 0.0, 0.9)",
    "step-numpy-int-scalars": "agent.step([np.int64(1), np.int32(2)], 0.0, 0.9)",
    "init-numpy-ints": "VeltoActorCritic(np.int64(8), np.int32(1), 1, 0, 0, 0, 1, 1, 1, 1, 0)",
    "init-keywords": (
        "VeltoActorCritic(num_features=8, num_actions=1, lambda_=0.9, alpha=0.1, epsilon=0.01,"
        " meta_step_size=0.01, eta=1.0, eta_actor=0.5, decay=0.9, action_prob_at_init=0.5,"
        " seed=0)"
    ),
    "mapping-space": 'velto_kit.action_mapping("default", gym.make("CartPole-v1").action_space)',
    "mapping-numpy-int": 'velto_kit.action_mapping("binary", np.int64(3))',
    "make-agent-numpy-ints": (
        "velto_kit.make_agent(np.int64(8), np.int64(1), velto_kit.AgentSettings(), seed=0)"
    ),
    "value-set": "velto_kit.value(agent, {1, 2})",
    "probabilities-array": "velto_kit.action_probabilities(agent, np.array([1]))",
}
REJECTED = {
    "init-float-count": "VeltoActorCritic(100.0, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)",
    "init-float-seed": "VeltoActorCritic(8, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0.0)",
    "init-numpy-float-count": (
        "VeltoActorCritic(np.float64(8), 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)"
    ),
    "step-float-list": "agent.step([1.0, 2.0], 0.0, 0.9)",
    "step-str": 'agent.step("12", 0.0, 0.9)',
    "step-str-reward": 'agent.step([1], "1", 0.9)',
    "mapping-float": 'velto_kit.action_mapping("binary", 2.0)',
    "make-agent-float": "velto_kit.make_agent(8.0, 1, velto_kit.AgentSettings(), seed=0)",
    "value-floats": "velto_kit.value(agent, [0.5])",
}
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
# Gymnasium's environments, wrappers and vector code are not followed: they cost mypy half a
# minute and none of them types what the cases use (``gym.make`` and the spaces). A page runs as
# one program of blocks, like a notebook's cells, so a later block may rebind a name.
MYPY_CONFIG = """\
[mypy]
python_version = 3.13
allow_redefinition = True
[mypy-gymnasium.envs.*,gymnasium.wrappers.*,gymnasium.vector.*,gymnasium.utils.*]
follow_imports = skip
[mypy-gymnasium.envs.registration]
follow_imports = normal
"""


def _page_code(path: Path) -> str:
    runnable = [b.code for b in blocks(path.read_text(), path) if b.skip_reason is None]
    return "\n\n".join(runnable)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Runs mypy once over every case and page; gives each file's error lines by its stem."""
    folder = tmp_path_factory.mktemp("typing")
    for name, call in {**ACCEPTED, **REJECTED}.items():
        (folder / f"case_{name.replace('-', '_')}.py").write_text(HEADER + call + "\n")
    for path in DOCUMENTS:
        code = _page_code(path)
        if code:
            stem = "page_" + re.sub(r"\W", "_", str(path.relative_to(ROOT)))
            (folder / f"{stem}.py").write_text(code + "\n")
    (folder / "mypy.ini").write_text(MYPY_CONFIG)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir", ".cache", "."],
        cwd=folder,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors: dict[str, list[str]] = {}
    for line in result.stdout.splitlines():
        match = re.match(r"^(?:\./)?(\w+)\.py:\d+: error: (.*)$", line)
        if match:
            errors.setdefault(match[1], []).append(match[2])
    return errors


@pytest.mark.parametrize("name", ACCEPTED)
def test_call_that_runs_type_checks(name, mypy_errors):
    assert mypy_errors.get(f"case_{name.replace('-', '_')}", []) == []


@pytest.mark.parametrize("name", REJECTED)
def test_call_that_raises_is_flagged(name, mypy_errors):
    messages = mypy_errors.get(f"case_{name.replace('-', '_')}", [])
    assert messages, "mypy let it through"
    codes = {re.sub(r".*\[(.*)\]$", r"\1", message) for message in messages}
    assert codes <= {"arg-type", "call-overload", "list-item"}, messages


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda path: str(path.relative_to(ROOT)))
def test_examples_of_page_type_check(path, mypy_errors):
    if not _page_code(path):
        pytest.skip("no runnable Python block")
    stem = "page_" + re.sub(r"\W", "_", str(path.relative_to(ROOT)))
    assert mypy_errors.get(stem, []) == []


@pytest.mark.parametrize(
    ("name", "call", "accepted"),
    [pytest.param(name, call, True, id=name) for name, call in ACCEPTED.items()]
    + [pytest.param(name, call, False, id=name) for name, call in REJECTED.items()],
)
def test_the_types_say_what_runs(name, call, accepted):
    # The cases' claims about run time, checked at run time: the types must tell the truth.
    code = compile(HEADER + call, f"case {name}", "exec")
    if accepted:
        exec(code, {})
    else:
        with pytest.raises(TypeError):
            exec(code, {})
