"""What an install of the distribution holds, whichever way it was made (wheel, sdist or a
clone): its version as pyproject.toml gives it, both packages with their typing files, and
nothing of the C++ package."""

import importlib.metadata
import tomllib
from pathlib import Path

import velto_kit

ROOT = Path(__file__).resolve().parents[2]
DISTRIBUTION = "velto_actor_critic"


def test_version_is_the_one_in_pyproject_everywhere_it_is_read():
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert importlib.metadata.version(DISTRIBUTION) == declared
    assert velto_kit.__version__ == declared


def test_install_holds_both_packages_with_their_typing_files_and_no_cpp_package():
    files = {str(path) for path in importlib.metadata.files(DISTRIBUTION)}
    for wanted in ["velto_actor_critic.pyi", "velto_actor_critic-stubs/__init__.pyi",
                   "velto_kit/__init__.py", "velto_kit/py.typed"]:  # fmt: skip
        assert wanted in files
    extensions = sorted(name for name in files if name.endswith(".so"))
    assert [name.split(".")[0] for name in extensions] == [
        "velto_actor_critic",
        "velto_kit/_native",
    ]
    assert not [name for name in files if name.endswith((".a", ".hpp", ".cmake"))]


def test_installed_stubs_are_the_sources_stub():
    source = (ROOT / "src/bindings/velto_actor_critic.pyi").read_text()
    for name in ["velto_actor_critic.pyi", "velto_actor_critic-stubs/__init__.pyi"]:
        installed = next(p for p in importlib.metadata.files(DISTRIBUTION) if str(p) == name)
        assert installed.read_text() == source
