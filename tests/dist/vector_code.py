"""Where the shipped extensions hold AVX code: only in the functions built for AVX2.

The extensions are built for any x86-64 processor; the vector kernels carry the AVX2 target in
their own definitions (the VELTO_AVX2 macro) and run only after the run-time check of the
processor. A stray -march=native or -mavx2 on a whole file would put VEX-encoded instructions into
ordinary functions, which a processor without AVX faults on. This reads the disassembly of each
extension (objdump, which needs the symbol table the build keeps) and fails on any VEX- or
EVEX-encoded instruction, or any ymm/zmm operand, outside the allowed functions: those whose name
contains "avx2" and those defined with VELTO_AVX2 in the sources (with the lambdas and compiler
clones inside them).

    python tests/dist/vector_code.py --sources src path/to/extension.so ...
"""

import argparse
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

# In 64-bit mode these first bytes always begin a VEX (c4, c5) or EVEX (62) prefix.
VECTOR_PREFIXES = {"c4", "c5", "62"}
WIDE_REGISTER = re.compile(r"%[yz]mm\d")
INSTRUCTION = re.compile(r"^\s*(?:0x)?[0-9a-f]+:\s+((?:[0-9a-f]{2} )+)\s*(\S.*)?$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
DECLARED_AVX2 = re.compile(r"\bVELTO_AVX2\s+([A-Za-z_][\w:]*)\s*\(")


def is_vector_instruction(hex_bytes: str, text: str) -> bool:
    """True for an instruction that needs AVX: a VEX or EVEX encoding, or a ymm/zmm register.

    >>> is_vector_instruction("c5 fd 74 f1", "vpcmpeqb %ymm1,%ymm0,%ymm6")
    True
    >>> is_vector_instruction("f3 0f 58 c1", "addss %xmm1,%xmm0")
    False
    """
    return hex_bytes.split()[0] in VECTOR_PREFIXES or bool(WIDE_REGISTER.search(text))


def allowed_names(sources: Path) -> set[str]:
    """The functions that the sources define with the AVX2 target (VELTO_AVX2)."""
    names = set()
    for path in sorted(sources.rglob("*")):
        if path.suffix in (".cpp", ".hpp"):
            names.update(DECLARED_AVX2.findall(path.read_text()))
    return {name for name in names if not name.startswith("__")}


def is_allowed(function: str, names: set[str]) -> bool:
    """Whether a demangled function name is one built for AVX2, or lies inside one."""
    if "avx2" in function:
        return True
    return any(re.search(rf"(^|::){re.escape(name)}[(<]", function) for name in names)


def vector_instructions_by_function(disassembly: str) -> Counter:
    """Counts the vector instructions of each function in `objdump -d -C` output."""
    counts: Counter = Counter()
    function = None
    for line in disassembly.splitlines():
        label = FUNCTION.match(line)
        if label:
            function = label[1]
            continue
        instruction = INSTRUCTION.match(line)
        if instruction and instruction[2] and is_vector_instruction(*instruction.groups()):
            counts[function] += 1
    return counts


def short_name(function: str) -> str:
    """The function's name without its parameters."""
    name = re.match(r"(.*?\w)\(", function)
    return name[1] if name else function


def objdump(*arguments) -> str:
    command = ["objdump", *map(str, arguments)]
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check(extension: Path, names: set[str]) -> tuple[list[str], Counter]:
    """The functions of `extension` that hold vector instructions they should not (with their
    counts), and the AVX2 functions' counts."""
    # Without its symbol table objdump knows only the exported functions, and every other
    # instruction would be charged to whichever of them precedes it.
    if "no symbols" in objdump("-t", extension):
        raise SystemExit(f"{extension} has no symbol table: cannot tell its functions apart")
    counts = vector_instructions_by_function(objdump("-d", "-C", "--section=.text", extension))
    stray = [
        f"{function} ({count})"
        for function, count in counts.items()
        if function is None or not is_allowed(function, names)
    ]
    allowed = Counter({f: n for f, n in counts.items() if f is not None and is_allowed(f, names)})
    return stray, allowed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sources", type=Path, required=True, help="the C++ sources (src)")
    parser.add_argument("extensions", type=Path, nargs="+")
    arguments = parser.parse_args()
    names = allowed_names(arguments.sources)
    if not names:
        raise SystemExit(f"no function declared with VELTO_AVX2 under {arguments.sources}")
    failed = False
    kernels = Counter()
    for extension in arguments.extensions:
        stray, allowed = check(extension, names)
        kernels += allowed
        if stray:
            print(f"{extension.name}: vector instructions outside the AVX2 functions: {stray}")
        else:
            where = ", ".join(f"{short_name(name)} ({count})" for name, count in allowed.items())
            print(
                f"{extension.name}: {allowed.total()} vector instructions, all in AVX2 "
                f"functions: {where or 'none'}"
            )
        failed = failed or bool(stray)
    # The kernels ship in the learners' module: finding none means the check saw nothing.
    if not kernels:
        print("no vector instructions in any AVX2 function: the check cannot see them")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
