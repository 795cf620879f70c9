"""The release's version is written once, in pyproject.toml, and everything that names a version
agrees with it: the citation file, the changelog, the site's footer and the C++ package's users
(the installed distribution and velto_kit: tests/python/test_distribution.py); the installed
distribution carries the licence."""

import importlib.util
import re
import tomllib
from pathlib import Path

import yaml

ROOT = Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def test_citation_names_the_version_and_licence_of_pyproject():
    citation = yaml.safe_load((ROOT / "CITATION.cff").read_text())
    assert citation["cff-version"] == "1.2.0"
    assert citation["version"] == PROJECT["version"]
    assert citation["license"] == PROJECT["license"]["text"] == "MIT"
    assert citation["authors"] and citation["title"]
    assert (ROOT / "LICENSE").read_text().startswith("MIT License\n")


def changelog_headings():
    return [
        line.removeprefix("## ")
        for line in (ROOT / "CHANGELOG.md").read_text().splitlines()
        if line.startswith("## ")
    ]


def test_changelog_has_a_dated_section_for_the_version():
    headings = changelog_headings()
    # What is merged since the version, if anything, heads the list; then the versions, newest
    # first, each with its date, the version being built first.
    released = headings[1:] if headings[0] == "Unreleased" else headings
    assert "Unreleased" not in released
    assert released[0].split()[0] == PROJECT["version"]
    for heading in released:
        assert re.fullmatch(r"\d+\.\d+\.\d+ \(\d{4}-\d{2}-\d{2}\)", heading), heading


def test_citation_is_dated_as_the_changelog_dates_the_version():
    citation = yaml.safe_load((ROOT / "CITATION.cff").read_text())
    dates = {h.split()[0]: h.split()[-1].strip("()") for h in changelog_headings()}
    assert str(citation["date-released"]) == dates[PROJECT["version"]]


def test_site_footer_and_release_page_show_the_pyproject_version():
    spec = importlib.util.spec_from_file_location("release", ROOT / "docs_hooks" / "release.py")
    hook = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(hook)
    config = hook.on_config({"copyright": None})
    assert PROJECT["version"] in config["copyright"]
    page = (ROOT / "docs" / "release.md").read_text()
    assert hook.VERSION_MARKER in page
    assert PROJECT["version"] in hook.on_page_markdown(page)
    # Every release file the hook publishes is one the repository has.
    assert all((ROOT / name).is_file() for name in hook.RELEASE_FILES)


def test_cpp_package_requests_name_the_pyproject_minor_version():
    # The C++ package accepts requests of its own minor version only (0.x may change between
    # minors), so a request left at an older minor fails the consumer's configure.
    minor = ".".join(PROJECT["version"].split(".")[:2])
    for path in [
        ROOT / "tests" / "cmake_consumer" / "CMakeLists.txt",
        ROOT / "docs" / "how-to" / "cpp.md",
    ]:
        requests = re.findall(r"find_package\(velto (\S+) CONFIG", path.read_text())
        assert requests == [minor], path
    assert "COMPATIBILITY SameMinorVersion" in (ROOT / "CMakeLists.txt").read_text()


def test_installed_distribution_carries_the_licence():
    from importlib.metadata import files

    licences = [path for path in files("velto_actor_critic") or [] if path.name == "LICENSE"]
    assert len(licences) == 1
    assert licences[0].read_text() == (ROOT / "LICENSE").read_text()
