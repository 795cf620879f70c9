"""The check of what the wheel's extensions need, against libraries built to need too much
(needs gcc and g++: they link against this machine's glibc 2.36 and libstdc++)."""

import shutil
import subprocess
import zipfile

import platform_needs
import pytest
from platform_needs import check_wheel, problems, stated_tag

pytestmark = pytest.mark.skipif(
    shutil.which("gcc") is None or shutil.which("g++") is None, reason="needs gcc and g++"
)
OLD_GLIBC = (2, 28)

PLATFORM_MATH = r"""
#include <math.h>
float squash(float x) { return expf(x) + logf(x); }
"""


def build(tmp_path, source, *flags, compiler="gcc", suffix=".c"):
    path = tmp_path / f"lib{len(list(tmp_path.iterdir()))}{suffix}"
    path.write_text(source)
    library = path.with_suffix(".so")
    subprocess.run(
        [compiler, "-O2", "-shared", "-fPIC", "-fno-builtin", "-o", library, path, *flags, "-lm"],
        check=True,
    )
    return library


def test_a_library_calling_the_system_expf_and_logf_with_old_symbols_passes(tmp_path):
    assert problems(build(tmp_path, PLATFORM_MATH), OLD_GLIBC) == []


def test_a_library_needing_the_systems_libstdcxx_is_caught(tmp_path):
    source = "#include <string>\n" + PLATFORM_MATH.replace("#include <math.h>", "#include <cmath>")
    source += 'extern "C" unsigned long text(const char* s) { return std::string(s).size(); }\n'
    found = problems(build(tmp_path, source, compiler="g++", suffix=".cpp"), OLD_GLIBC)
    assert "links against libstdc++.so.6" in found
    assert [problem for problem in found if "@GLIBCXX_" in problem]


def test_a_symbol_newer_than_the_stated_glibc_is_caught(tmp_path):
    # arc4random came with glibc 2.36, this machine's.
    source = PLATFORM_MATH + "#include <stdlib.h>\nunsigned draw(void) { return arc4random(); }\n"
    library = build(tmp_path, source)
    assert problems(library, OLD_GLIBC) == ["needs arc4random@GLIBC_2.36, newer than glibc 2.28"]
    assert problems(library, (2, 36)) == []


def test_an_expf_of_its_own_or_none_at_all_is_caught(tmp_path):
    own = PLATFORM_MATH.replace(
        "#include <math.h>", "float expf(float x) { return x; }\nfloat logf(float);"
    )
    found = problems(build(tmp_path, own), OLD_GLIBC)
    assert found == [
        "defines its own expf instead of calling the system's",
        "does not take expf from the system's glibc",
    ]
    found = problems(build(tmp_path, "int one(void) { return 1; }\n"), OLD_GLIBC)
    assert found == [f"does not take {name} from the system's glibc" for name in ("expf", "logf")]


def test_a_stripped_library_is_refused_rather_than_passed(tmp_path):
    found = problems(build(tmp_path, PLATFORM_MATH, "-s"), OLD_GLIBC)
    assert "has no symbol table: cannot tell which expf and logf it calls" in found


def readme(tmp_path, *tags):
    path = tmp_path / "README.md"
    path.write_text(
        "".join(f"`dist/velto_actor_critic-<version>-cp313-cp313-{t}.whl`\n" for t in tags)
    )
    return path


def test_the_readme_must_name_one_tag(tmp_path):
    assert stated_tag(readme(tmp_path, "manylinux_2_28_x86_64")) == (
        "manylinux_2_28_x86_64",
        (2, 28),
    )
    with pytest.raises(SystemExit, match="2 wheel tags"):
        stated_tag(readme(tmp_path, "manylinux_2_28_x86_64", "manylinux_2_34_x86_64"))
    with pytest.raises(SystemExit, match="0 wheel tags"):
        stated_tag(readme(tmp_path))


def wheel(tmp_path, name, library):
    path = tmp_path / name
    with zipfile.ZipFile(path, "w") as archive:
        archive.write(library, "velto_actor_critic.cpython-313-x86_64-linux-gnu.so")
    return path


@pytest.mark.parametrize(
    ("name", "shown", "wanted"),
    [
        ("v-0.1.0-cp313-cp313-manylinux_2_28_x86_64.whl", (2, 27), []),
        ("v-0.1.0-cp313-cp313-manylinux_2_28_x86_64.whl", (2, 28), []),  # the README's, exactly
        ("v-0.1.0-cp313-cp313-manylinux_2_28_x86_64.whl", (2, 29), ["consistent with"]),
        ("v-0.1.0-cp313-cp313-manylinux_2_28_x86_64.whl", (2, 35), ["consistent with"]),
        (
            "v-0.1.0-cp313-cp313-manylinux_2_27_x86_64.manylinux_2_28_x86_64.whl",
            (2, 27),
            ["does not carry the README's tag"],
        ),  # fmt: skip
    ],
)
def test_the_wheel_carries_the_readmes_tag_and_auditwheel_agrees(
    tmp_path, monkeypatch, name, shown, wanted
):
    shown_tag = f"manylinux_{shown[0]}_{shown[1]}_x86_64"
    monkeypatch.setattr(platform_needs, "auditwheel_tag", lambda _: (shown_tag, shown))
    library = build(tmp_path, PLATFORM_MATH)
    found = check_wheel(wheel(tmp_path, name, library), readme(tmp_path, "manylinux_2_28_x86_64"))
    assert len(found) == len(wanted)
    assert all(part in problem for part, problem in zip(wanted, found, strict=True))


def test_auditwheels_report_is_read_across_its_line_breaks(monkeypatch, tmp_path):
    report = (
        "\nv.whl\nis consistent with the following platform tag:\n"
        '"manylinux_2_27_x86_64".\n\nThe wheel references external versioned symbols'
    )
    monkeypatch.setattr(platform_needs, "_run", lambda *command: report)
    assert platform_needs.auditwheel_tag(tmp_path / "v.whl") == ("manylinux_2_27_x86_64", (2, 27))
