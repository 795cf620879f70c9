"""Every public name of velto_kit documents its arguments, what it returns and what it raises, in
the Google style that the documentation site renders (ruff's D rules check the form)."""

import ast
import re
import inspect
import textwrap
import tomllib
from pathlib import Path

import pytest
import velto_kit

ROOT = Path(__file__).resolve().parents[2]


PACKAGE = "python/velto_kit/"


def _unchecked_modules() -> set[str]:
    """File names of the package modules that pyproject.toml still exempts from the D rules."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())
    ignores = config["tool"]["ruff"]["lint"]["per-file-ignores"]
    return {
        name.removeprefix(PACKAGE)
        for name, rules in ignores.items()
        if "D" in rules and name.startswith(PACKAGE)
    }


def docstring_gaps(function) -> list[str]:
    """What the docstring of `function` leaves out: an argument, its return value or a raise."""
    doc = inspect.getdoc(function) or ""
    gaps = []
    parameters = [
        name
        for name, parameter in inspect.signature(function).parameters.items()
        if name not in ("self", "cls") and parameter.kind is not parameter.VAR_KEYWORD
    ]
    args = doc.partition("Args:")[2]
    gaps += [f"argument {name}" for name in parameters if f"\n    {name}:" not in "\n" + args]
    annotation = inspect.signature(function).return_annotation
    if annotation not in (None, "None", inspect.Signature.empty) and not (
        "Returns:" in doc or "Yields:" in doc
    ):
        gaps.append("Returns")
    tree = ast.parse(textwrap.dedent(inspect.getsource(function)))
    if any(isinstance(node, ast.Raise) for node in ast.walk(tree)) and "Raises:" not in doc:
        gaps.append("Raises")
    return gaps


def _public_functions():
    unchecked = _unchecked_modules()
    for name in velto_kit.__all__:
        value = getattr(velto_kit, name)
        source = inspect.getsourcefile(value) if callable(value) else None
        # The tests run against the installed package: modules are matched by their path inside
        # the package.
        inside = None if source is None else Path(source).as_posix().rpartition("velto_kit/")[2]
        if source is None or not source.endswith(".py") or inside in unchecked:
            continue
        if inspect.isclass(value):
            methods = [
                member
                for member_name, member in vars(value).items()
                if inspect.isfunction(member) and not member_name.startswith("_")
            ]
            yield from ((f"{name}.{method.__name__}", method) for method in methods)
        else:
            yield name, value


@pytest.mark.parametrize(
    ("name", "function"), [pytest.param(n, f, id=n) for n, f in _public_functions()]
)
def test_public_function_documents_arguments_returns_and_raises(name, function):
    assert docstring_gaps(function) == []


def _documented(x: int) -> int:
    """Doubles.

    Args:
        x: A number.

    Returns:
        Twice `x`.

    Raises:
        ValueError: A negative `x`.
    """
    if x < 0:
        raise ValueError(x)
    return 2 * x


def _bare(x: int) -> int:
    """Doubles."""
    if x < 0:
        raise ValueError(x)
    return 2 * x


def _procedure(x: int) -> None:
    """Does nothing.

    Args:
        x: A number.
    """


@pytest.mark.parametrize(
    ("function", "gaps"),
    [
        (_documented, []),
        (_procedure, []),  # returns None and raises nothing: Args alone is complete
        (_bare, ["argument x", "Returns", "Raises"]),
    ],
)
def test_docstring_gaps_finds_what_is_missing(function, gaps):
    assert docstring_gaps(function) == gaps


def test_no_package_module_is_exempt():
    # Every module of the package is held to the D rules and to the test above: an exemption
    # would hide its public functions from both.
    assert sorted(_unchecked_modules()) == []


# Sphinx's cross-reference roles: the site renders docstrings as Markdown, where a role stays raw
# text (links there are written [name][velto_kit.name]).
SPHINX_ROLE = re.compile(r":(?:func|class|meth|mod|attr|obj|exc|data|ref):`")


def test_no_docstring_or_stub_holds_a_sphinx_role():
    sources = sorted((ROOT / "python" / "velto_kit").rglob("*.py")) + sorted(
        (ROOT / "python" / "velto_kit").rglob("*.pyi")
    )
    sources.append(ROOT / "src" / "bindings" / "velto_actor_critic.pyi")
    found = [
        f"{path.relative_to(ROOT)}:{line}"
        for path in sources
        for line, text in enumerate(path.read_text().splitlines(), 1)
        if SPHINX_ROLE.search(text)
    ]
    assert found == []
