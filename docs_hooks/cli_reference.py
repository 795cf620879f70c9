"""MkDocs hook: the command-line reference, generated from the programs' own parsers.

A page line ``<!-- cli: examples/studies/full_study.py -->`` becomes the options of that script,
and ``<!-- cli: velto train -->`` those of a ``velto`` command (its module in velto_kit.cli), read
from ``build_parser()`` at build time, so the reference cannot drift from what a program accepts.
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import sys
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
MARKER = re.compile(r"^<!-- cli: (?P<script>velto \S+|\S+) -->$", re.MULTILINE)


def load_parser(script: str) -> argparse.ArgumentParser:
    """Imports `script` (a path from the repository root, or ``velto COMMAND``) and returns its
    ``build_parser()``."""
    if script.startswith("velto "):
        from velto_kit.cli import COMMANDS

        command = script.removeprefix("velto ")
        if command not in COMMANDS:
            raise ValueError(f"cli reference: velto has no command {command!r}")
        built = importlib.import_module(COMMANDS[command][0]).build_parser()
        if not isinstance(built, argparse.ArgumentParser):
            raise TypeError(f"cli reference: {script!r}: build_parser() gave {type(built)!r}")
        return built
    path = ROOT / script
    if not path.is_file():
        raise FileNotFoundError(f"cli reference: no script {script!r} under {ROOT}")
    # The studies import their sibling module by name, and train.py its figure module.
    sys.path.insert(0, str(path.parent))
    try:
        spec = importlib.util.spec_from_file_location(f"_cli_{path.stem}", path)
        if spec is None or spec.loader is None:
            raise ImportError(f"cli reference: cannot import {script!r}")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(path.parent))
    build = getattr(module, "build_parser", None)
    if build is None:
        raise AttributeError(f"cli reference: {script!r} has no build_parser()")
    parser = build()
    if not isinstance(parser, argparse.ArgumentParser):
        raise TypeError(f"cli reference: {script!r}: build_parser() gave {type(parser)!r}")
    return parser


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def _default(action: argparse.Action) -> str:
    if action.default is None or action.default is argparse.SUPPRESS or action.nargs == 0:
        return ""
    if isinstance(action.default, list | tuple):
        return "`" + " ".join(str(value) for value in action.default) + "`"
    if isinstance(action.default, Path):
        # Absolute defaults depend on where the project lies; show them from the root.
        try:
            return f"`{action.default.relative_to(ROOT)}`"
        except ValueError:
            return f"`{action.default}`"
    return f"`{action.default}`"


def _usage(action: argparse.Action) -> str:
    names = action.option_strings or [action.dest]
    if action.nargs == 0:
        return ", ".join(f"`{name}`" for name in names)
    metavar = action.metavar or (action.dest.upper() if action.option_strings else "")
    if isinstance(metavar, tuple):
        metavar = " ".join(metavar)
    if action.nargs in ("+", "*"):
        metavar = f"{metavar} ..."
    if action.choices:
        metavar = "{" + ",".join(str(choice) for choice in action.choices) + "}"
    # One code span per spelling (an option's older name too), each as it is typed.
    return ", ".join(f"`{name} {metavar}`".replace(" `", "`") for name in names)


def parser_markdown(parser: argparse.ArgumentParser) -> str:
    """The parser's description and one table of options per argument group."""
    lines = [_cell(parser.description or ""), ""]
    # Groups are argparse's own record of how the options are arranged; no public accessor exists.
    groups: list[Any] = parser._action_groups  # noqa: SLF001
    for group in groups:
        # --help is every program's; options hidden with SUPPRESS stay hidden here too.
        actions = [
            action
            for action in group._group_actions
            if not isinstance(action, argparse._HelpAction) and action.help != argparse.SUPPRESS
        ]
        if not actions:
            continue
        if group.title not in ("options", "optional arguments", "positional arguments"):
            lines += [f"**{group.title}**", ""]
        lines += ["| option | default | meaning |", "|---|---|---|"]
        for action in actions:
            help_text = (action.help or "").replace("%(default)s", str(action.default))
            lines.append(f"| {_usage(action)} | {_default(action)} | {_cell(help_text)} |")
        lines.append("")
    return "\n".join(lines)


def on_page_markdown(markdown: str, **_: Any) -> str:
    """Replaces every cli marker of a page with the options of the script it names."""
    return MARKER.sub(lambda match: parser_markdown(load_parser(match["script"])), markdown)
