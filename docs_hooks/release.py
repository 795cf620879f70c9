"""MkDocs hook: the release on every page.

The footer names the version that ``pyproject.toml`` holds, and the licence, changelog and citation
files, which live at the repository's root beside ``pyproject.toml``, are carried into the site
so that the release page links to the same files a clone has. There is no public repository
address to link to; these files are what a reader of the site needs to cite and check a release.
"""

from __future__ import annotations

import tomllib
from pathlib import Path
from typing import Any

from mkdocs.structure.files import File, Files

ROOT = Path(__file__).resolve().parent.parent
# Each root file and the site path it is published under.
RELEASE_FILES = {
    "CHANGELOG.md": "changelog.md",
    "LICENSE": "LICENSE.txt",
    "CITATION.cff": "CITATION.cff",
}
VERSION_MARKER = "<!-- release: version -->"


def version() -> str:
    """The version written once in ``pyproject.toml``."""
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]


def on_config(config: Any) -> Any:
    config["copyright"] = f"velto_actor_critic {version()} · MIT licence"
    return config


def on_files(files: Files, config: Any) -> Files:
    for name, site_path in RELEASE_FILES.items():
        files.append(File.generated(config, site_path, content=(ROOT / name).read_text()))
    return files


def on_page_markdown(markdown: str, **_: Any) -> str:
    return markdown.replace(VERSION_MARKER, version())
