"""Every Python code block of the README and of the documentation site runs, in order, page by
page; the site's generated parts (command-line reference, velto_kit reference) stay complete."""

import ast
import doctest
import importlib
import importlib.util
import os
import pkgutil
import re
from pathlib import Path

import pytest
import velto_kit
from markdown_blocks import MarkerError, blocks, documents

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PACKAGE_STUB = Path("python") / "velto_kit" / "_native.pyi"
DOCUMENTS = documents(ROOT)


def _name(path: Path) -> str:
    return str(path.relative_to(ROOT))


@pytest.mark.parametrize("document", DOCUMENTS, ids=_name)
def test_code_blocks_of_page_run(document, tmp_path, monkeypatch):
    found = blocks(document.read_text(), document.relative_to(ROOT))
    runnable = [block for block in found if block.skip_reason is None]
    if not runnable:
        pytest.skip("no runnable Python block")
    # Blocks write their files where they run, and draw without a display.
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace: dict = {"__name__": "__main__"}
    for block in runnable:
        # The file name in the traceback points at the page and the block's line.
        code = compile("\n" * block.line + block.code, str(document), "exec")
        exec(code, namespace)


def markdown_under(docs: Path) -> set[Path]:
    """Every .md file below `docs` by a walk of its own, outside docs/results (data)."""
    found = set()
    for folder, subfolders, files in os.walk(docs):
        if Path(folder) == docs:
            subfolders[:] = [name for name in subfolders if name != "results"]
        found |= {Path(folder) / name for name in files if name.endswith(".md")}
    return found


def test_every_page_under_docs_is_collected_at_any_depth():
    walked = markdown_under(DOCS)
    # The site has pages in subfolders (tutorials/, how-to/, ...): a collector that took only
    # docs/*.md would leave them silently unrun.
    assert any(len(path.relative_to(DOCS).parts) > 1 for path in walked)
    assert set(DOCUMENTS) == {ROOT / "README.md"} | walked
    assert len(DOCUMENTS) == len(set(DOCUMENTS))


def test_the_collector_takes_nested_pages_and_leaves_data_folders(tmp_path):
    pages = ["docs/index.md", "docs/how-to/a.md", "docs/how-to/deeper/b.md", "docs/x/results/c.md"]
    left_out = ["docs/results/study.md", "docs/results/one/two.md", "docs/how-to/notes.txt"]
    for name in ["README.md", *pages, *left_out]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("```python\nx = 1\n```\n")
    (tmp_path / "docs" / "folder.md").mkdir()  # a folder named like a page is no page
    assert documents(tmp_path) == [tmp_path / "README.md"] + sorted(tmp_path / p for p in pages)


RUN = "```python\nx = 1\n```"
BASH = "```bash\nls\n```"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (RUN, [("x = 1", None)]),
        ("<!-- not run: needs a cluster -->\n" + RUN, [("x = 1", "needs a cluster")]),
        ("<!-- not run: long -->\n\n" + RUN, [("x = 1", "long")]),
        ("<!-- not run: long -->\n" + RUN + "\n" + RUN, [("x = 1", "long"), ("x = 1", None)]),
        (BASH + "\n```pycon\n>>> 1\n```\n```python3\nx\n```", []),
        ("````markdown\n" + RUN + "\n````", []),
    ],
    ids=[
        "plain",
        "marked",
        "blank-between",
        "marker-covers-one-block",
        "other-languages",
        "nested-fence-is-not-a-block",
    ],
)
def test_blocks_and_skip_reasons(text, expected):
    found = blocks(text, Path("page.md"))
    assert [(block.code, block.skip_reason) for block in found] == expected


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("<!-- not run: -->\n" + RUN, "needs its reason"),
        ("<!-- not run:    -->\n" + RUN, "needs its reason"),
        ("<!-- not run -->\n" + RUN, "needs its reason"),
        ("<!-- not run: slow -->\n" + BASH, "non-Python block"),
        ("<!-- not run: slow -->\nsome text\n" + RUN, "before no code block"),
        ("<!-- not run: slow -->\n", "end of the file"),
        ("```python\nx = 1\n", "never closed"),
    ],
    ids=["empty", "blank", "no-colon", "before-bash", "before-text", "at-end", "unclosed"],
)
def test_bad_markers_and_fences_are_errors(text, message):
    with pytest.raises(MarkerError, match=message):
        blocks(text, Path("page.md"))


def _cli_hook():
    spec = importlib.util.spec_from_file_location(
        "cli_reference", ROOT / "docs_hooks" / "cli_reference.py"
    )
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "script",
    [
        "velto train",
        "velto evaluate",
        "velto inspect",
        "velto sweep",
        "examples/studies/sensitivity.py",
        "examples/studies/three_tasks.py",
        "examples/studies/fair_study.py",
        "examples/studies/full_study.py",
        "examples/studies/step_size_anomaly.py",
    ],
)
def test_cli_reference_lists_every_option_of_the_parser(script):
    hook = _cli_hook()
    parser = hook.load_parser(script)
    page = hook.on_page_markdown(f"# x\n\n<!-- cli: {script} -->\n")
    assert "<!-- cli:" not in page
    # argparse's own --help is left out of the tables: every program has it.
    options = [
        name
        for action in parser._actions
        if action.dest != "help"
        for name in action.option_strings
    ]
    assert len(options) > 5
    missing = [name for name in options if f"`{name}" not in page]
    assert missing == []


def test_cli_reference_refuses_a_script_that_is_not_there():
    with pytest.raises(FileNotFoundError, match="examples/nothing.py"):
        _cli_hook().on_page_markdown("<!-- cli: examples/nothing.py -->")
    with pytest.raises(ValueError, match="velto has no command 'nothing'"):
        _cli_hook().on_page_markdown("<!-- cli: velto nothing -->")


def test_velto_kit_reference_has_exactly_the_public_names():
    page = (DOCS / "reference" / "velto_kit.md").read_text()
    documented = set(re.findall(r"^::: velto_kit\.(\w+)$", page, re.MULTILINE))
    assert sorted(set(velto_kit.__all__) - documented) == []
    assert sorted(documented - set(velto_kit.__all__)) == []


# Every module, the subpackages' included: their examples are what the API reference shows.
MODULES = sorted(info.name for info in pkgutil.walk_packages(velto_kit.__path__, "velto_kit."))


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_of_module_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    if result.attempted == 0:
        pytest.skip("no example in its docstrings")
    assert result.failed == 0


STUBS = [ROOT / "src" / "bindings" / "velto_actor_critic.pyi", ROOT / PACKAGE_STUB]


@pytest.mark.parametrize("stub", STUBS, ids=lambda path: path.name)
def test_docstring_examples_of_stub_run(stub):
    # A stub is never imported, so its examples run against the module it describes.
    import velto_actor_critic
    from velto_kit import _native

    names = {**vars(velto_actor_critic), **vars(_native)}
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    tree = ast.parse(stub.read_text())
    attempted = 0
    for node in ast.walk(tree):
        if isinstance(node, ast.Module | ast.ClassDef | ast.FunctionDef):
            text = ast.get_docstring(node)
            if text and ">>>" in text:
                name = getattr(node, "name", stub.name)
                test = parser.get_doctest(text, dict(names), name, str(stub), node.lineno)
                result = runner.run(test)
                assert result.failed == 0, name
                attempted += result.attempted
    assert attempted > 0
