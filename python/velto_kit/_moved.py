"""The modules' earlier places: ``velto_kit.loop`` and the like, from before the modules were
grouped into ``state``, ``experiments`` and ``sweeps``, stay importable as the same module
objects. Agents pickled before the grouping name ``velto_kit.pickling.restore``, and user code
may import the old paths; both keep working."""

from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import sys
from types import ModuleType

# Earlier module name -> the subpackage that holds it now.
MOVED = {
    "checkpoint": "state",
    "checkpoint_layout": "state",
    "checkpoint_reader": "state",
    "checkpoint_writer": "state",
    "evaluation": "state",
    "inspection": "state",
    "pickling": "state",
    "plain_state": "state",
    "actions": "experiments",
    "features": "experiments",
    "loop": "experiments",
    "settings": "experiments",
    "baselines": "sweeps",
    "sweep": "sweeps",
    "sweep_plot": "sweeps",
    "trial_config": "sweeps",
    "trial_learners": "sweeps",
    "tune": "sweeps",
}


class _MovedModules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Finds ``velto_kit.<old>`` and answers with the module at its new place."""

    def find_spec(
        self, fullname: str, path: object = None, target: object = None
    ) -> importlib.machinery.ModuleSpec | None:
        package, _, name = fullname.rpartition(".")
        if package != "velto_kit" or name not in MOVED:
            return None
        return importlib.util.spec_from_loader(fullname, self)

    def __init__(self) -> None:
        self._specs: dict[str, importlib.machinery.ModuleSpec | None] = {}

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> ModuleType:
        name = spec.name.rpartition(".")[2]
        module = importlib.import_module(f"velto_kit.{MOVED[name]}.{name}")
        self._specs[module.__name__] = module.__spec__
        return module

    def exec_module(self, module: ModuleType) -> None:
        # The module ran at its new place already; the import machinery has just given it the
        # old name's spec, so it gets its own back.
        module.__spec__ = self._specs[module.__name__]


def install() -> None:
    """Puts the finder on ``sys.meta_path`` once."""
    if not any(isinstance(finder, _MovedModules) for finder in sys.meta_path):
        sys.meta_path.append(_MovedModules())
