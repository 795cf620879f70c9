"""The ``velto`` command: train, evaluate, sweep and inspect from a shell.

Installed with the package as a console script (``velto``), also run as ``python -m
velto_kit.cli``. Each subcommand is a module of its own with a ``build_parser()`` and a
``main(argv)``, imported only when it is asked for, so ``velto --help`` needs none of the optional
packages (Gymnasium, Ray, TensorBoard, Weights & Biases):

- ``velto train``: one agent per seed on a Gymnasium task, or a task of your own
  (``velto_kit.cli.train``);
- ``velto evaluate``: a saved agent or a run's latest checkpoint followed without learning
  (``velto_kit.cli.evaluate``);
- ``velto sweep``: a grid of trials on Ray Tune (``velto_kit.cli.sweep``);
- ``velto inspect``: what a saved agent or run holds (``velto_kit.cli.inspect_file``, a name
  that does not shadow the standard library's ``inspect``).
"""

from __future__ import annotations

import importlib
import os
import sys
from collections.abc import Sequence

# Each subcommand, its module and what it does.
COMMANDS = {
    "train": ("velto_kit.cli.train", "train one agent per seed on a task, with checkpoints"),
    "evaluate": ("velto_kit.cli.evaluate", "follow a saved agent or run without learning"),
    "sweep": ("velto_kit.cli.sweep", "a grid of trials on Ray Tune (the [sweep] extra)"),
    "inspect": ("velto_kit.cli.inspect_file", "sizes, settings and learned step sizes of a file"),
}

# The extra that brings each optional package a command imports.
EXTRAS = {"gymnasium": "gym", "matplotlib": "gym", "ray": "sweep"}


def usage() -> str:
    """The top-level help: the subcommands and what each does."""
    lines = [
        "usage: velto COMMAND [options]",
        "",
        "The velto_actor_critic learner from a shell. Commands:",
    ]
    lines += [f"  {name:<10}{summary}" for name, (_, summary) in COMMANDS.items()]
    lines += ["", "velto COMMAND --help shows a command's options."]
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the subcommand that `argv` names.

    Args:
        argv: The arguments after the program's name (None: the process's own).

    Returns:
        The exit status: the subcommand's, 2 for a usage error.
    """
    arguments = list(sys.argv[1:] if argv is None else argv)
    if not arguments or arguments[0] in ("-h", "--help"):
        print(usage())
        return 0 if arguments else 2
    if arguments[0] == "--version":
        from velto_kit import __version__

        print(f"velto {__version__}")
        return 0
    name = arguments[0]
    if name not in COMMANDS:
        print(usage(), file=sys.stderr)
        print(f"velto: error: no command {name!r}; choose one of {', '.join(COMMANDS)}",
              file=sys.stderr)  # fmt: skip
        return 2
    try:
        module = importlib.import_module(COMMANDS[name][0])
    except ModuleNotFoundError as error:
        extra = EXTRAS.get((error.name or "").partition(".")[0])
        if extra is None:
            raise
        print(f"velto {name}: error: {error.name} is not installed: pip install"
              f' "velto_actor_critic[{extra}]"', file=sys.stderr)  # fmt: skip
        return 1
    status = module.main(arguments[1:])
    return int(status or 0)


def console() -> None:
    """The console script's entry point: `main` with the process's arguments, as exit status.

    The folder it is started in is put on the module path, as ``python -m`` puts it, so that
    ``--env my_module:MyEnv`` finds a module of one's own there (after every installed module
    of the same name); worker processes inherit the path.
    """
    if os.getcwd() not in sys.path:
        sys.path.append(os.getcwd())
    sys.exit(main())
