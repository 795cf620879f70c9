"""The installed module and the C++ package on an emulated processor without AVX2 and FMA.

Runs the same agent (tests/dist/agent_digest.py through the installed module, and the consumer of
the C++ package) natively and under qemu's user-mode emulation of processors without AVX2 and
FMA (Nehalem, and qemu64 with nothing beyond the first x86-64 instruction set, which qemu holds
programs to) and, as the control, one with both (Haswell). It requires that

- the emulated processors report what they should (cpuid, as the dynamic loader reads it);
- every run prints the same digest of the agent's action lists;
- without AVX2 not one vector instruction of our extensions ran (qemu logs each block of guest
  code it translates), while with AVX2 some did: the dispatch takes the scalar sweep on the one
  and the vectorised sweep on the other, and the log shows which;
- the C++ consumer reports the scalar sweep without AVX2, the vectorised one with it natively.

    python tests/dist/emulated_cpu.py --python VENV/bin/python --consumer BUILD/agent_digest
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from vector_code import INSTRUCTION, is_vector_instruction

HERE = Path(__file__).resolve().parent
LOADER = "/lib64/ld-linux-x86-64.so.2"
WITHOUT_AVX2, WITH_AVX2 = "Nehalem", "Haswell"
BASELINE = "qemu64"
# Whether each emulated processor has AVX2 and FMA.
EMULATED = {BASELINE: False, WITHOUT_AVX2: False, WITH_AVX2: True}
CPUID_WORD = re.compile(
    r"x86\.cpu_features\.features\[(0x[01])\]\.cpuid\[(0x[0-3])\]=(0x[0-9a-f]+)"
)


def emulator(cpu: str, *options: str) -> list[str]:
    return [] if cpu == "native" else ["qemu-x86_64", "-cpu", cpu, *options]


# A kernel choice forced on OpenBLAS for the real processor (OPENBLAS_CORETYPE, with its cache
# size) is wrong on an emulated one: Haswell's kernels stop with SIGILL on a Nehalem. Under
# emulation OpenBLAS reads the emulated processor's cpuid and picks what runs there.
FOR_THE_REAL_PROCESSOR = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def run(command: list[str]) -> str:
    environment = None
    if command and command[0] == "qemu-x86_64":
        environment = {k: v for k, v in os.environ.items() if k not in FOR_THE_REAL_PROCESSOR}
    done = subprocess.run(command, capture_output=True, text=True, env=environment)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


def cpu_features(cpu: str) -> dict[str, bool]:
    """AVX2 and FMA as cpuid reports them to a program, from the dynamic loader's diagnostics.

    glibc 2.36 lists cpuid leaf 1 as features[0x0] and leaf 7 as features[0x1], each as the
    registers eax, ebx, ecx and edx: FMA is bit 12 of leaf 1's ecx, AVX2 bit 5 of leaf 7's ebx.
    """
    diagnostics = run([*emulator(cpu), LOADER, "--list-diagnostics"])
    words = {
        (leaf, register): int(value, 16)
        for leaf, register, value in CPUID_WORD.findall(diagnostics)
    }
    if ("0x0", "0x2") not in words or ("0x1", "0x1") not in words:
        raise SystemExit(f"{cpu}: the loader's diagnostics show no cpuid words:\n{diagnostics}")
    return {"avx2": bool(words["0x1", "0x1"] >> 5 & 1), "fma": bool(words["0x0", "0x2"] >> 12 & 1)}


def vector_instructions_run(log: Path, spans: list[list[int]]) -> int:
    """Vector instructions among the blocks qemu translated (its in_asm log) inside the spans."""
    count = 0
    with log.open() as lines:
        for line in lines:
            instruction = INSTRUCTION.match(line)
            if not instruction or not instruction[2]:
                continue
            address = int(line.split(":", 1)[0], 16)
            if any(start <= address < end for start, end in spans) and is_vector_instruction(
                *instruction.groups()
            ):
                count += 1
    return count


def module_run(python: str, cpu: str, scratch: Path) -> dict:
    """The module's digest on `cpu`, and how many of its vector instructions ran there."""
    log = scratch / f"{cpu}.log"
    tracing = ("-d", "in_asm", "-D", str(log))
    probe = [python, "-P", str(HERE / "agent_digest.py")]
    report = json.loads(run([*emulator(cpu, *tracing), *probe]))
    spans = list(report["extensions"].values())
    if not spans:
        raise SystemExit(f"{cpu}: the module's mappings were not found")
    vector = vector_instructions_run(log, spans) if cpu != "native" else None
    return {"digest": report["digest"], "vector instructions run": vector}


def consumer_run(consumer: str, cpu: str) -> dict:
    output = run([*emulator(cpu), consumer])
    fields = dict(line.rsplit(" ", 1) for line in output.splitlines())
    return {"digest": fields["digest"], "vectorised sweep": fields["vectorised sweep"]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="interpreter of the environment to check")
    parser.add_argument("--consumer", required=True, help="the C++ consumer's agent_digest")
    arguments = parser.parse_args()

    problems = []

    def expect(condition: bool, problem: str) -> None:
        if not condition:
            problems.append(problem)

    native = cpu_features("native")
    for cpu, has in EMULATED.items():
        features = cpu_features(cpu)
        print(f"{cpu}: cpuid reports AVX2 {features['avx2']}, FMA {features['fma']}")
        expect(features == {"avx2": has, "fma": has}, f"{cpu} reports {features}")

    with tempfile.TemporaryDirectory() as scratch:
        runs = {
            f"module, {cpu}": module_run(arguments.python, cpu, Path(scratch))
            for cpu in ("native", *EMULATED)
        }
    runs.update(
        {
            f"C++ package, {cpu}": consumer_run(arguments.consumer, cpu)
            for cpu in ("native", WITHOUT_AVX2)
        }
    )
    for name, result in runs.items():
        print(f"{name}: {result}")

    digests = {result["digest"] for result in runs.values()}
    expect(len(digests) == 1, f"the runs disagree: {sorted(digests)}")
    for cpu, has in EMULATED.items():
        ran = runs[f"module, {cpu}"]["vector instructions run"]
        if has:
            expect(ran > 0, f"no vector instruction ran on {cpu}: the log cannot show the path")
        else:
            expect(ran == 0, f"{ran} vector instructions ran on {cpu}")
    expect(
        runs[f"C++ package, {WITHOUT_AVX2}"]["vectorised sweep"] == "no",
        f"the C++ package takes the vectorised sweep on {WITHOUT_AVX2}",
    )
    host_has_both = native["avx2"] and native["fma"]
    expect(
        runs["C++ package, native"]["vectorised sweep"] == ("yes" if host_has_both else "no"),
        f"natively (AVX2 and FMA: {host_has_both}) the C++ package's sweep is the other one",
    )

    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
