"""What an install of the distribution holds, whichever way it was made (wheel, sdist or a
clone): its version as pyproject.toml gives it, both packages with their typing files, and
nothing of the C++ package. And that the docs name the platform tag the wheel is built for."""

import importlib.metadata
import re
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


def wheel_target():
    """The glibc the wheel's toolchain targets, and that build_dist.sh turns it into the tag."""
    toolchain = (ROOT / "scripts/wheel_toolchain.sh").read_text()
    glibc = re.findall(r"^WHEEL_GLIBC=(\d+)\.(\d+)$", toolchain, re.MULTILINE)
    assert len(glibc) == 1, "wheel_toolchain.sh sets WHEEL_GLIBC once"
    assert "x86_64-linux-gnu.$WHEEL_GLIBC" in toolchain
    build_dist = (ROOT / "scripts/build_dist.sh").read_text()
    assert "platform=manylinux_${wheel_glibc/./_}_x86_64" in build_dist
    assert re.search(r'auditwheel repair --plat "\$platform" --only-plat', build_dist)
    return glibc[0]


def test_readme_and_install_page_name_the_tag_and_glibc_the_wheel_is_built_for():
    major, minor = wheel_target()
    for page in ["README.md", "docs/tutorials/first-agent.md"]:
        text = (ROOT / page).read_text()
        tags = set(re.findall(r"-cp313-cp313-(manylinux_\d+_\d+_x86_64)\.whl", text))
        assert tags == {f"manylinux_{major}_{minor}_x86_64"}, page
        stated = set(re.findall(r"glibc (\d+\.\d+) or later", text))
        assert stated == {f"{major}.{minor}"}, page
