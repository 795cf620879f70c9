"""What the wheel's extensions need of the system they load on, against what the README promises.

The README names the wheel's platform tag, manylinux_X_Y: any x86-64 Linux with glibc X.Y or
later. That holds only if every extension

- links against no shared library but glibc's own (no libstdc++, no libgcc_s: the C++ runtime is
  linked in),
- needs no symbol version but glibc's (no GLIBCXX_, CXXABI_ or GCC_), and none newer than X.Y,
- and takes expf and logf from the system's glibc at run time, defining neither itself: the
  learners' results are the bits of the platform's expf and logf (the vectorised sweep reproduces
  them), and a toolchain that links its own would silently change them.

It also runs `auditwheel show` on the wheel and requires the tag it reports to be no newer than
the README's, and the wheel's file name to carry the README's tag alone.

    python tests/dist/platform_needs.py --readme README.md dist/velto_actor_critic-*.whl
"""

import argparse
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# glibc's libraries, which every manylinux system has; anything else would have to ship inside.
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
}
PLATFORM_MATH = ("expf", "logf")
STATED_TAG = re.compile(r"-cp313-cp313-(manylinux_(\d+)_(\d+)_x86_64)\.whl")
AUDITWHEEL_TAG = re.compile(
    r'consistent with the following platform tag:\s*"(manylinux_(\d+)_(\d+)_x86_64)"'
)


def stated_tag(readme: Path) -> tuple[str, tuple[int, int]]:
    """The platform tag that the README's wheel file name carries, with its glibc version.

    Every wheel file name in the README must carry the same tag.
    """
    found = {(m[1], (int(m[2]), int(m[3]))) for m in STATED_TAG.finditer(readme.read_text())}
    if len(found) != 1:
        raise SystemExit(f"{readme} names {len(found)} wheel tags, not one: {sorted(found)}")
    return found.pop()


def _run(*command: str) -> str:
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


def glibc_version(version: str) -> tuple[int, ...]:
    """(2, 27) for GLIBC_2.27.

    >>> glibc_version("GLIBC_2.2.5") < glibc_version("GLIBC_2.27") < glibc_version("GLIBC_2.34")
    True
    """
    return tuple(int(part) for part in version.removeprefix("GLIBC_").split("."))


def dynamic_symbols(library: Path) -> list[tuple[str, str, str]]:
    """(section, version, name) of each dynamic symbol; the version of a reference that names one
    (shown in parentheses by `objdump -T`), else "".

    A defined symbol's version shows without parentheses ("Base" for the library's own).
    """
    symbols = []
    for line in _run("objdump", "-T", str(library)).splitlines():
        fields = line.split()
        if len(fields) < 4 or not re.fullmatch(r"[0-9a-f]{16}", fields[0]):
            continue
        section = "*UND*" if "*UND*" in fields else ""
        version = fields[-2][1:-1] if fields[-2].startswith("(") else ""
        symbols.append((section, version, fields[-1]))
    return symbols


def problems(library: Path, newest_glibc: tuple[int, int]) -> list[str]:
    """Everything in one shared library that the README's tag does not allow."""
    found = []
    dynamic = _run("objdump", "-p", str(library))
    needed = re.findall(r"^\s*NEEDED\s+(\S+)$", dynamic, re.MULTILINE)
    found += [f"links against {name}" for name in needed if name not in SYSTEM_LIBRARIES]

    imported: dict[str, str] = {}
    for section, version, name in dynamic_symbols(library):
        if not version:
            continue
        if not version.startswith("GLIBC_"):
            found.append(f"needs {name}@{version}")
        elif glibc_version(version) > newest_glibc:
            found.append(
                f"needs {name}@{version}, newer than glibc {'.'.join(map(str, newest_glibc))}"
            )
        if section == "*UND*":
            imported[name] = version

    defined = set(re.findall(r"^[0-9a-f]+ [A-Za-z] (\S+)$", _run("nm", str(library)), re.MULTILINE))
    if not defined:
        found.append("has no symbol table: cannot tell which expf and logf it calls")
    for name in PLATFORM_MATH:
        if name in defined:
            found.append(f"defines its own {name} instead of calling the system's")
        if not imported.get(name, "").startswith("GLIBC_"):
            found.append(f"does not take {name} from the system's glibc")
    return found


def auditwheel_tag(wheel: Path) -> tuple[str, tuple[int, int]]:
    """The tag `auditwheel show` finds the wheel consistent with."""
    shown = _run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    tag = AUDITWHEEL_TAG.search(" ".join(shown.split()))
    if not tag:
        raise SystemExit(f"auditwheel show gives no manylinux tag for {wheel.name}:\n{shown}")
    return tag[1], (int(tag[2]), int(tag[3]))


def check_wheel(wheel: Path, readme: Path) -> list[str]:
    """Every way the wheel needs more than the README says, with the extensions' names."""
    tag, newest = stated_tag(readme)
    found = []
    if not wheel.name.endswith(f"-cp313-cp313-{tag}.whl"):
        found.append(f"{wheel.name} does not carry the README's tag {tag} alone")
    with tempfile.TemporaryDirectory() as unpacked:
        with zipfile.ZipFile(wheel) as archive:
            names = [name for name in archive.namelist() if name.endswith(".so")]
            archive.extractall(unpacked, members=names)
        if not names:
            found.append(f"{wheel.name} holds no extension")
        for name in names:
            found += [f"{name}: {problem}" for problem in problems(Path(unpacked, name), newest)]
    shown, shown_glibc = auditwheel_tag(wheel)
    if shown_glibc > newest:
        found.append(f"auditwheel finds the wheel consistent with {shown} only, not {tag}")
    print(f"{wheel.name}: README says {tag}; auditwheel show finds {shown}")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("wheel", type=Path)
    arguments = parser.parse_args()
    found = check_wheel(arguments.wheel, arguments.readme)
    for problem in found:
        print(problem, file=sys.stderr)
    if found:
        raise SystemExit(f"{arguments.wheel.name} needs more than {arguments.readme} says")
    print(
        "the extensions need glibc's libraries alone, no newer than the README says, and call "
        "the system's expf and logf"
    )


if __name__ == "__main__":
    main()
