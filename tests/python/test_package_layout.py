"""The package's grouping into subpackages, and the modules' earlier places."""

import importlib
import pickle
import runpy
import subprocess
import sys

import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic
from velto_kit._moved import MOVED


@pytest.mark.parametrize("old, group", sorted(MOVED.items()))
def test_an_earlier_module_path_is_the_module_at_its_new_place(old, group):
    moved = importlib.import_module(f"velto_kit.{old}")
    assert moved is importlib.import_module(f"velto_kit.{group}.{old}")
    # The module keeps its own name and spec, so that reloading and pickling name the new place.
    assert moved.__name__ == f"velto_kit.{group}.{old}"
    assert moved.__spec__.name == moved.__name__


def test_names_unknown_to_the_table_are_not_found():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("velto_kit.no_such_module")


def test_every_subpackage_name_is_importable_from_the_package():
    for group in ("state", "experiments"):
        package = importlib.import_module(f"velto_kit.{group}")
        for name in package.__all__:
            assert getattr(velto_kit, name) is getattr(package, name), name


def test_an_agent_pickled_under_the_earlier_module_path_loads():
    agent = VeltoActorCritic(16, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 3)
    agent.step([1, 2], 0.0, 0.9)
    data = pickle.dumps(agent, protocol=2)
    assert b"velto_kit.state.pickling" in data
    # A pickle from before the grouping names the function at its earlier place.
    earlier = data.replace(b"velto_kit.state.pickling", b"velto_kit.pickling")
    restored = pickle.loads(earlier)
    assert velto_kit.dumps(restored) == velto_kit.dumps(agent)


@pytest.mark.parametrize("old", sorted(MOVED))
def test_running_an_earlier_module_path_prints_usage_and_exits_2(old, capsys, monkeypatch):
    # What python -m does, in this process (runpy asks the module's loader for its code), as in
    # a fresh interpreter where the earlier name was not imported yet.
    monkeypatch.delitem(sys.modules, f"velto_kit.{old}", raising=False)
    with pytest.raises(SystemExit) as raised:
        runpy.run_module(f"velto_kit.{old}", run_name="__main__", alter_sys=True)
    assert raised.value.code == 2
    error = capsys.readouterr().err
    assert f"velto_kit.{MOVED[old]}.{old}" in error and "not a program" in error


def test_python_m_on_an_earlier_module_path_ends_without_a_traceback():
    completed = subprocess.run(
        [sys.executable, "-m", "velto_kit.loop"], capture_output=True, text=True, timeout=60
    )
    assert completed.returncode == 2, completed.stderr
    assert "Traceback" not in completed.stderr
    assert "velto_kit.experiments.loop" in completed.stderr and "velto train" in completed.stderr


def module_imports(root):
    """Each velto_kit module's imports of other velto_kit modules, those inside functions too."""
    import ast

    modules = {
        ".".join(path.relative_to(root).with_suffix("").parts): path
        for path in root.rglob("*.py")
        if path.name != "__init__.py"
    }
    graph = {}
    for name, path in modules.items():
        imported = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                candidates = [node.module, *(f"{node.module}.{a.name}" for a in node.names)]
            elif isinstance(node, ast.Import):
                candidates = [alias.name for alias in node.names]
            else:
                continue
            imported.update(c for c in candidates if c in modules and c != name)
        graph[name] = imported
    return graph


def test_no_two_velto_kit_modules_import_each_other_even_lazily():
    from pathlib import Path

    root = Path(__file__).resolve().parents[2] / "python"
    graph = module_imports(root)
    assert "velto_kit.experiments.run_bookkeeping" in graph
    # A module reaches itself again only through a cycle.
    cycles = []
    for start in graph:
        seen, frontier = set(), list(graph[start])
        while frontier:
            module = frontier.pop()
            if module == start:
                cycles.append(start)
                break
            if module not in seen:
                seen.add(module)
                frontier.extend(graph[module])
    assert cycles == []
