"""The site's strict build fails on an image or link that points at no file of the built site
(docs_hooks/missing_targets.py): MkDocs itself only mentions, at INFO level, a link to a file
that exclude_docs leaves out, and never looks into raw HTML."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

HOOK = Path(__file__).resolve().parents[2] / "docs_hooks" / "missing_targets.py"
PNG = bytes.fromhex("89504e470d0a1a0a")  # a PNG's signature: the build only copies it

CONFIG = f"""site_name: probe
docs_dir: docs
site_dir: site
strict: true
exclude_docs: |
  /data/**
  !/data/**/shown.png
hooks:
  - {HOOK}
"""


CASES = {
    "image there": ("![a figure](figures/plot.png)", None),
    "image missing": ("![a figure](figures/other.png)", "figures/other.png"),
    "image excluded": ("![left out](data/study/hidden.png)", "data/study/hidden.png"),
    "image re-included": ("![kept](data/study/shown.png)", None),
    "raw html image": ('<img src="figures/none.png" alt="raw">', "figures/none.png"),
    "raw html link": ('<a href="elsewhere/">raw link</a>', "elsewhere/"),
    "page links": ("[a page](second.md) and [its part](second.md#part)", None),
    "other sites and anchors": (
        "[outside](https://example.org/x.png) [here](#probe) <a href='mailto:a@b.c'>m</a>",
        None,
    ),
}


def build(root: Path, cases: list[str]) -> subprocess.CompletedProcess:
    """A strict build of a site with one page per case (page-N.md, N the case's position)."""
    docs = root / "docs"
    (docs / "figures").mkdir(parents=True)
    (docs / "data" / "study").mkdir(parents=True)
    for name in ["figures/plot.png", "data/study/hidden.png", "data/study/shown.png"]:
        (docs / name).write_bytes(PNG)
    (docs / "second.md").write_text("# Second\n\n## Part\n")
    (docs / "index.md").write_text("# Probe\n")
    for n, case in enumerate(cases):
        (docs / f"page-{n}.md").write_text(f"# Probe\n\n{CASES[case][0]}\n")
    (root / "mkdocs.yml").write_text(CONFIG)
    return subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict"],
        cwd=root,
        capture_output=True,
        text=True,
        env={"NO_MKDOCS_2_WARNING": "1", "PATH": ""},
        timeout=120,
    )


@pytest.fixture(scope="module")
def every_case(tmp_path_factory):
    return build(tmp_path_factory.mktemp("site"), list(CASES))


@pytest.mark.parametrize("case", list(CASES))
def test_each_target_the_site_lacks_is_a_warning(every_case, case):
    page, broken = f"page-{list(CASES).index(case)}.md", CASES[case][1]
    # The reference as the page's HTML holds it: MkDocs rewrites the ones it resolves.
    warned = re.findall(rf"WARNING - +{page}: '([^']*)' points at no file", every_case.stderr)
    assert len(warned) == (broken is not None), every_case.stderr
    assert all(reference.endswith(broken) for reference in warned)


def test_strict_build_fails_on_a_missing_target_and_passes_without(every_case, tmp_path):
    assert every_case.returncode != 0
    sound = build(tmp_path, [case for case, (_, broken) in CASES.items() if broken is None])
    assert sound.returncode == 0, sound.stderr
