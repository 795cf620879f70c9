"""Removing a run's checkpoints (overwrite, keep_last): each manifest read once, checkpoints
ordered by their number past six digits, one line saying what goes, and nothing removed that a
damaged manifest names but no checkpoint owns: the lock file, another manifest, a kept file, a
symbolic link, a folder."""

import collections
import json
import os

import numpy as np
import pytest
from velto_kit import AgentSettings, make_agent
from velto_kit.state import run_folder
from velto_kit.state.run_folder import prune_run_checkpoints, remove_run_checkpoints
from velto_kit.state.run_state import MemberState, RunState, manifest_path, save_run


def checkpoints(folder, numbers, agents=1):
    """Run checkpoints after each episode number of `numbers` (no episodes kept in them)."""
    made = [make_agent(4, 1, AgentSettings(), seed=i) for i in range(agents)]
    for number in numbers:
        members = [MemberState(a, [], np.random.default_rng(0), None) for a in made]
        save_run(folder, RunState({}, number, number, 0.0, members))
    return [manifest_path(folder, number) for number in numbers]


def listing(folder):
    return sorted(path.name for path in folder.iterdir())


@pytest.mark.parametrize(
    "remove",
    [
        remove_run_checkpoints,
        # keep_last=3 at 24: 2 to 18 go, 20 to 24 stay; each is read once all the same.
        lambda folder: prune_run_checkpoints(manifest_path(folder, 24), 3),
    ],
    ids=["overwrite", "prune"],
)
def test_removal_reads_each_manifest_once_and_lists_the_folder_once(remove, tmp_path, monkeypatch):
    checkpoints(tmp_path, range(2, 26, 2), agents=3)
    reads, listings = collections.Counter(), []
    files, listed = run_folder.checkpoint_files, run_folder.run_checkpoints

    def counted_files(manifest):
        reads[manifest.name] += 1
        return files(manifest)

    def counted_listing(directory):
        listings.append(directory)
        return listed(directory)

    monkeypatch.setattr(run_folder, "checkpoint_files", counted_files)
    monkeypatch.setattr(run_folder, "run_checkpoints", counted_listing)
    remove(tmp_path)
    assert reads == {manifest_path(tmp_path, n).name: 1 for n in range(2, 26, 2)}
    assert len(listings) == 1


@pytest.mark.parametrize(
    ("numbers", "agents", "line"),
    [
        ([3], 1, "removing 1 checkpoint (2 files) from {}\n"),
        (range(1, 13), 3, "removing 12 checkpoints (48 files) from {}\n"),
    ],
)
def test_overwrite_says_in_one_line_what_it_removes(numbers, agents, line, tmp_path, capsys):
    checkpoints(tmp_path, numbers, agents)
    capsys.readouterr()
    removed = remove_run_checkpoints(tmp_path)
    assert capsys.readouterr().err == line.format(tmp_path)
    assert len(removed) == len(numbers) * (1 + agents) and listing(tmp_path) == []
    assert remove_run_checkpoints(tmp_path) == [] and capsys.readouterr().err == ""


@pytest.mark.parametrize(
    ("numbers", "keep_last", "left"),
    [
        # Past six digits the names grow a digit: run-1000002.json sorts before run-999998.json
        # as text, but comes after it.
        ([999_998, 999_999, 1_000_000, 1_000_002], 2, [1_000_000, 1_000_002]),
        ([999_998, 999_999, 1_000_000, 1_000_002], 1, [1_000_002]),
        # A checkpoint numbered above the current one (a killed run's) is left alone.
        ([999_999, 1_000_001, 10_000_000, 1_000_000], 1, [1_000_000, 1_000_001, 10_000_000]),
        # Fewer than keep_last: none goes.
        ([1, 2, 3, 4], 6, [1, 2, 3, 4]),
        ([1, 2], 0, "keep_last must be at least 1, not 0"),
    ],
)
def test_keep_last_keeps_the_newest_by_number_up_to_the_current_one(
    numbers, keep_last, left, tmp_path
):
    made = checkpoints(tmp_path, numbers)
    if isinstance(left, str):
        with pytest.raises(ValueError, match=left):
            prune_run_checkpoints(made[-1], keep_last)
        left = numbers
    else:
        prune_run_checkpoints(made[-1], keep_last)
    agents = [f"agent-{n:06d}.npz" for n in left]
    assert listing(tmp_path) == sorted(agents + [manifest_path(tmp_path, n).name for n in left])


def names(kind, name):
    """Makes checkpoint 2's manifest name `name` as its agent's file, made as `kind`."""

    def damage(folder):
        path = manifest_path(folder, 2)
        manifest = json.loads(path.read_text())
        manifest["members"][0]["agent"]["file"] = name
        path.write_text(json.dumps(manifest))
        if kind == "file":
            (folder / name).touch()
        elif kind == "link":
            (folder / "outside.txt").write_text("mine")
            (folder / name).symlink_to(folder / "outside.txt")
        elif kind == "folder":
            (folder / name).mkdir()

    return damage


PRUNE = "prune"  # keep_last=1 at checkpoint 6
OVERWRITE = "overwrite"

# (operation, damage to checkpoint 2 of checkpoints 2, 4 and 6, the files removed in order).
# agent-000002.npz is named by no manifest once checkpoint 2 names another file: it stays.
DAMAGED = [
    (PRUNE, names("file", ".run.lock"), ["run-000002.json", "run-000004.json", "agent-000004.npz"]),
    (OVERWRITE, names("file", ".run.lock"), ["run-000002.json", "run-000004.json",
     "agent-000004.npz", "run-000006.json", "agent-000006.npz"]),
    (PRUNE, names("kept", "run-000006.json"), ["run-000002.json", "run-000004.json",
     "agent-000004.npz"]),
    (OVERWRITE, names("kept", "run-000004.json"), ["run-000002.json", "run-000004.json",
     "agent-000004.npz", "run-000006.json", "agent-000006.npz"]),
    (PRUNE, names("kept", "agent-000006.npz"), ["run-000002.json", "run-000004.json",
     "agent-000004.npz"]),
    (PRUNE, names("link", "link.npz"), ["run-000002.json", "run-000004.json", "agent-000004.npz"]),
    (PRUNE, names("folder", "sub.npz"), ["run-000002.json", "run-000004.json", "agent-000004.npz"]),
    # A file two removed checkpoints name goes once, after the later one's manifest.
    (PRUNE, names("kept", "agent-000004.npz"), ["run-000002.json", "run-000004.json",
     "agent-000004.npz"]),
]  # fmt: skip


@pytest.mark.parametrize(("operation", "damage", "removed"), DAMAGED)
def test_removal_spares_what_a_damaged_manifest_names_but_no_checkpoint_owns(
    operation, damage, removed, tmp_path
):
    made = checkpoints(tmp_path, [2, 4, 6])
    damage(tmp_path)
    before = listing(tmp_path)
    if operation == PRUNE:
        done = prune_run_checkpoints(made[-1], 1)
    else:
        done = remove_run_checkpoints(tmp_path)
    assert [path.name for path in done] == removed
    assert listing(tmp_path) == sorted(set(before) - set(removed))
    if os.path.lexists(tmp_path / "link.npz"):
        assert (tmp_path / "outside.txt").read_text() == "mine"
