"""The modules' earlier places, such as ``velto_kit.loop``, kept importable.

The modules from before they were grouped into ``state``, ``experiments`` and ``sweeps`` stay
importable at their old paths as the same module objects. Agents pickled before the grouping
name ``velto_kit.pickling.restore``, and user code may import the old paths; both keep working.

Example:
    >>> import velto_kit.loop, velto_kit.experiments.loop
    >>> velto_kit.loop is velto_kit.experiments.loop
    True
"""

from __future__ import annotations

import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import sys
from types import CodeType, ModuleType

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
        """A spec for an earlier module path of velto_kit, None for any other name.

        Args:
            fullname: The module's full name, e.g. ``"velto_kit.loop"``.
            path: The parent package's path (unused).
            target: The module being reloaded (unused).

        Returns:
            A spec that this finder loads, or None to leave the name to other finders.
        """
        package, _, name = fullname.rpartition(".")
        if package != "velto_kit" or name not in MOVED:
            return None
        return importlib.util.spec_from_loader(fullname, self)

    def __init__(self) -> None:
        """Starts with no module loaded through it."""
        self._specs: dict[str, importlib.machinery.ModuleSpec | None] = {}

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> ModuleType:
        """The module at its new place, imported there if it was not yet.

        Args:
            spec: The spec of the old name, from ``find_spec``.

        Returns:
            The module object that the new path names.
        """
        name = spec.name.rpartition(".")[2]
        module = importlib.import_module(f"velto_kit.{MOVED[name]}.{name}")
        self._specs[module.__name__] = module.__spec__
        return module

    def get_code(self, fullname: str) -> CodeType:
        """What ``python -m`` runs for an earlier path: a usage message and exit status 2.

        None of the moved modules is a program, and ``runpy`` asks every loader for code: without
        this, ``python -m velto_kit.loop`` ended in an AttributeError traceback.

        Args:
            fullname: The earlier name, e.g. ``"velto_kit.loop"``.

        Returns:
            Code that prints to standard error what the module is, where it lives now and what to
            run instead, and exits with status 2, as a command given the wrong arguments does.
        """
        name = fullname.rpartition(".")[2]
        message = (
            f"{fullname} (now velto_kit.{MOVED.get(name, '?')}.{name}) is a library module, not a"
            " program: import it instead. To train agents from the command line:"
            " velto train --help"
        )
        source = f"import sys\nprint({message!r}, file=sys.stderr)\nraise SystemExit(2)\n"
        return compile(source, f"<{fullname}>", "exec")

    def exec_module(self, module: ModuleType) -> None:
        """Gives `module` back its own spec; it ran at its new place already.

        Args:
            module: The module that ``create_module`` returned.
        """
        # The module ran at its new place already; the import machinery has just given it the
        # old name's spec, so it gets its own back.
        module.__spec__ = self._specs[module.__name__]


def install() -> None:
    """Puts the finder of the earlier module paths on ``sys.meta_path``, once.

    Calling it again changes nothing.
    """
    if not any(isinstance(finder, _MovedModules) for finder in sys.meta_path):
        sys.meta_path.append(_MovedModules())
