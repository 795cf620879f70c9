"""Every repository path that the README and the documentation cite is in git.

A path is cited by a relative link (``[text](path)``, images too) or by inline code that names a
file or folder under one of the repository's top-level entries (``docs/results/...``,
``examples/train.py``). A path that git ignores is a command's output (``examples/output/``), not a
cited file, except under ``docs/``: everything there is part of the site or of its evidence."""

import fnmatch
import importlib.util
import re
import shutil
import subprocess
from pathlib import Path, PurePosixPath

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = [ROOT / "README.md", ROOT / "CHANGELOG.md"] + sorted(
    path for path in DOCS.rglob("*.md") if DOCS / "results" not in path.parents
)

FENCE = re.compile(r"^(```|~~~)")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
CODE_SPAN = re.compile(r"(?<!`)`([^`\n]+)`(?!`)")
# Inline code that could be a path: no spaces, no options, no call syntax.
PATH_LIKE = re.compile(r"^[\w.\-/*]+$")


def _git_files() -> list[str]:
    listed = subprocess.run(
        ["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True
    ).stdout
    return [name for name in listed.decode().split("\0") if name]


def _ignored(paths: list[str]) -> set[str]:
    if not paths:
        return set()
    result = subprocess.run(
        ["git", "check-ignore", "--no-index", "--stdin", "-z"],
        cwd=ROOT,
        input="\0".join(paths).encode(),
        capture_output=True,
    )
    # Exit 1 means that none is ignored.
    assert result.returncode in (0, 1), result.stderr
    return {name for name in result.stdout.decode().split("\0") if name}


def _release_pages() -> dict[str, str]:
    """Site paths the site's release hook publishes from root files, to the root file's name."""
    spec = importlib.util.spec_from_file_location("release", ROOT / "docs_hooks" / "release.py")
    hook = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(hook)
    return {f"docs/{site}": root for root, site in hook.RELEASE_FILES.items()}


def prose(text: str) -> str:
    """`text` without its fenced code blocks (commands there name outputs they are to write)."""
    kept, fenced = [], False
    for line in text.splitlines():
        if FENCE.match(line.strip()):
            fenced = not fenced
            continue
        if not fenced:
            kept.append(line)
    return "\n".join(kept)


def cited_paths(text: str, page: PurePosixPath, top_level: set[str]) -> list[str]:
    """Repository paths (from the root) that `text`, the page at `page`, links to or names."""
    text = prose(text)
    base = page.parent
    found = []
    for target in LINK.findall(text):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target) or target.startswith(("#", "/")):
            continue  # another site, a mail address, an anchor on the page
        target = target.split("#")[0]
        if target:
            found.append(_normal(base / target))
    for code in CODE_SPAN.findall(text):
        code = re.sub(r":\d+$", "", code.strip())  # file:line
        if not PATH_LIKE.match(code) or code.startswith("-"):
            continue
        first = code.split("/")[0]
        if first in top_level and ("/" in code or (ROOT / code).is_file()):
            found.append(code.rstrip("/"))
    return found


def _normal(path: PurePosixPath) -> str:
    parts: list[str] = []
    for part in path.parts:
        if part == "..":
            parts.pop()
        elif part != ".":
            parts.append(part)
    return "/".join(parts)


def missing_from_git(paths: list[str], tracked: list[str]) -> list[str]:
    """The paths that are neither a tracked file, a tracked folder, nor a pattern matching one."""
    files = set(tracked)
    folders = {str(PurePosixPath(name).parent) for name in tracked}
    folders |= {str(parent) for name in folders for parent in PurePosixPath(name).parents}
    missing = []
    for path in paths:
        if "*" in path:
            if not fnmatch.filter(tracked, path) and not fnmatch.filter(folders, path):
                missing.append(path)
        elif path not in files and path not in folders:
            missing.append(path)
    return missing


# The distribution stage runs these suites against the installed wheel with a PATH that holds
# no compiler and no git; what the checkout tracks is checked by the test command.
if shutil.which("git") is None or not (ROOT / ".git").exists():
    pytest.skip("no git checkout to ask what is tracked", allow_module_level=True)
TRACKED = _git_files()
TOP_LEVEL = {name.split("/")[0] for name in TRACKED}


@pytest.mark.parametrize("page", PAGES, ids=lambda path: str(path.relative_to(ROOT)))
def test_every_cited_repository_path_is_tracked(page):
    release = _release_pages()
    where = PurePosixPath(page.relative_to(ROOT).as_posix())
    cited = [release.get(path, path) for path in cited_paths(page.read_text(), where, TOP_LEVEL)]
    ignored = _ignored([path for path in cited if "*" not in path])
    # The site and its evidence are never a command's untracked output.
    assert sorted(path for path in ignored if path.startswith("docs/")) == []
    untracked = missing_from_git([path for path in cited if path not in ignored], TRACKED)
    assert untracked == []


def test_studies_default_outputs_are_ignored_and_their_recorded_outputs_are_not():
    ignored = _ignored(
        ["results/fair_study/trials.jsonl", "results/step_size_anomaly/looks.json.gz"]
        + ["docs/results/fair_study/trials.jsonl", "docs/results/step_size_anomaly/x/looks.json.gz"]
    )
    assert ignored == {"results/fair_study/trials.jsonl", "results/step_size_anomaly/looks.json.gz"}


def test_collector_finds_links_and_code_paths_and_passes_over_the_rest():
    text = (
        "See [the guide](../tutorials/first-agent.md#install), ![a figure](../learning_curve.png)\n"
        "[elsewhere](https://example.org/x.md), [here](#top), `examples/train.py:12`,\n"
        "`scripts/test.sh`, `--out docs/results/x`, `velto_kit.save`, `OUT/trials.jsonl`,\n"
        "`README.md`, `dist/velto_actor_critic-*.whl`, [gone](../results/none/table.md).\n"
        "```bash\npython examples/nothing.py --out docs/results/none\n```\n"
    )
    found = cited_paths(text, PurePosixPath("docs/how-to/example.md"), TOP_LEVEL)
    assert found == [
        "docs/tutorials/first-agent.md",
        "docs/learning_curve.png",
        "docs/results/none/table.md",
        "examples/train.py",
        "scripts/test.sh",
        "README.md",
    ]
    assert missing_from_git(found + ["examples/*.py", "src/kit", "docs/results"], TRACKED) == [
        "docs/results/none/table.md"
    ]
