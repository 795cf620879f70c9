"""One writer per run folder: a second run or resume of a folder in use stops at once, naming the
folder and the process holding it; a fresh run into a folder holding a run stops unless told to
overwrite, and nothing is deleted without being told."""

import errno
import fcntl
import io
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import gymnasium as gym
import pytest
import velto_kit
from velto_kit import (
    AgentSettings,
    Population,
    action_mapping,
    features_for,
    latest_run,
    make_agent,
    make_vector_env,
    run_checkpoints,
    run_episodes,
    run_population,
)
from velto_kit.state import run_folder
from velto_kit.state.checkpoint import CheckpointError
from velto_kit.state.run_folder import (
    LOCK_NAME,
    RunFolderError,
    RunFolderHasRun,
    RunFolderInUse,
    RunFolderLock,
    remove_run_checkpoints,
)
from velto_kit.state.run_state import checkpoint_files, load_run

OPTIONS = dict(gamma=0.99, seed=0, checkpoint_every=2)


def parts():
    env = gym.make("CartPole-v1", max_episode_steps=60)
    coder = features_for(env)
    return env, coder, action_mapping("binary", 2)


def single_run(folder, episodes=4, **options):
    env, coder, mapping = parts()
    agent = make_agent(coder.num_features, 1, AgentSettings(), seed=0)
    return run_episodes(env, agent, coder, mapping, episodes=episodes, checkpoint_dir=folder,
                        log=folder / "log.csv", **OPTIONS, **options)  # fmt: skip


def resumed(folder, episodes=8, **options):
    env, coder, mapping = parts()
    run = latest_run(folder)
    return run_episodes(env, run.agent, coder, mapping, episodes=episodes, checkpoint_dir=folder,
                        log=folder / "log.csv", resume=run, **OPTIONS, **options)  # fmt: skip


def test_two_resumes_of_one_folder_at_once_stop_the_second_and_spare_the_first(tmp_path):
    whole = tmp_path / "whole"
    list(single_run(whole, episodes=8))
    folder = tmp_path / "run"
    list(single_run(folder))
    first = resumed(folder)
    next(first)
    log = (folder / "log.csv").read_bytes()
    with pytest.raises(RunFolderInUse, match=f"{folder} is in use .*process {os.getpid()}"):
        resumed(folder)
    assert (folder / "log.csv").read_bytes() == log  # the second wrote nothing
    list(first)  # the first goes on to the end, into the log it opened
    assert (folder / "log.csv").read_bytes() == (whole / "log.csv").read_bytes()
    list(resumed(folder, episodes=9))  # released: a later run goes on


def test_a_folder_locked_by_another_process_names_that_process(tmp_path):
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys
            from velto_kit.state.run_folder import RunFolderLock
            lock = RunFolderLock({str(tmp_path)!r})
            print("held", flush=True)
            sys.stdin.read()
        """)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(RunFolderInUse, match=f"process {holder.pid} holds"):
            single_run(tmp_path)
    finally:
        holder.communicate("")
    # Its lock ended with it.
    assert len(list(single_run(tmp_path))) == 4


def population(folder, **options):
    envs = make_vector_env("FrozenLake-v1", 2, seed=0)
    coder = features_for(envs)
    mapping = action_mapping("binary", 4)
    agents = [make_agent(coder.num_features, 2, AgentSettings(), seed=s) for s in (0, 1)]
    return run_population(envs, Population(agents), coder, mapping, episodes=4, gamma=0.9,
                          seed=0, checkpoint_every=2, checkpoint_dir=folder,
                          log=folder / "log.csv", **options)  # fmt: skip


# (a run, started fresh twice into one folder)
FRESH_RUNS = [
    ("single", lambda folder, **options: single_run(folder, **options)),
    ("population", population),
]


@pytest.mark.parametrize(("kind", "start"), FRESH_RUNS)
def test_a_fresh_run_into_a_folder_holding_a_run_stops_unless_told_to_overwrite(
    kind, start, tmp_path
):
    list(start(tmp_path))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert run_checkpoints(tmp_path)
    with pytest.raises(
        RunFolderHasRun, match=f"{tmp_path} holds another run's .*overwrite=True"
    ) as refused:
        list(start(tmp_path))
    RunFolderLock(tmp_path).release()  # the refused run let the folder go, its error still held
    del refused  # held until here
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    # Told to, it removes the earlier checkpoints and starts afresh: the same run, the same files.
    list(start(tmp_path, overwrite=True))
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert after == before
    # Concurrently, a second run into the same folder stops at once.
    running = start(tmp_path, overwrite=True)
    next(running)
    with pytest.raises(RunFolderInUse, match=f"process {os.getpid()}"):
        next(iter(start(tmp_path, overwrite=True)))
    running.close()


def test_removing_a_folders_run_checkpoints_removes_their_files_only(tmp_path):
    list(single_run(tmp_path))
    (tmp_path / "notes.txt").write_text("mine")
    removed = remove_run_checkpoints(tmp_path)
    assert [p.name for p in removed] == ["run-000002.json", "agent-000002.npz",
                                        "run-000004.json", "agent-000004.npz"]  # fmt: skip
    assert sorted(p.name for p in tmp_path.iterdir()) == [".run.lock", "log.csv", "notes.txt"]


EXAMPLE = ["--env", "FrozenLake-v1", "--episodes", "4", "--seeds", "0", "1", "--workers", "1",
           "--random-episodes", "1", "--no-inspect-plot", "--no-progress"]  # fmt: skip


def test_the_example_runs_twice_in_a_row_and_never_overwrites_a_run_unasked(tmp_path, capsys):
    from velto_kit.cli import train

    out = ["--output-dir", str(tmp_path)]
    # The README's command keeps no checkpoints: it runs again into the same folder.
    train.main([*EXAMPLE, *out])
    train.main([*EXAMPLE, *out])
    checkpointed = [*EXAMPLE, *out, "--checkpoint-every", "2"]
    train.main(checkpointed)
    manifests = sorted((tmp_path / "checkpoints").rglob("run-*.json"))
    kept = {p: p.read_bytes() for p in manifests}
    for again in ([*EXAMPLE, *out], checkpointed):
        with pytest.raises(SystemExit, match="hold.* an earlier run's checkpoints.*--overwrite"):
            train.main(again)
        assert {p: p.read_bytes() for p in manifests} == kept
    train.main([*checkpointed, "--overwrite", "--alpha", "0.2"])
    run = velto_kit.latest_run(tmp_path / "checkpoints" / "seed-0")
    assert run.description["settings"]["agent"]["alpha"] == 0.2
    # While one run holds the output folder, another stops at once.
    with RunFolderLock(tmp_path):
        with pytest.raises(SystemExit, match=f"in use by another run .*process {os.getpid()}"):
            train.main([*checkpointed, "--resume"])


def names(folder):
    return sorted(p.name for p in folder.iterdir() if p.is_file() and p.name != ".run.lock")


def test_keep_last_prunes_older_run_checkpoints_and_a_resume_after_it_goes_on(tmp_path):
    whole = list(single_run(tmp_path / "whole", episodes=10))
    folder = tmp_path / "run"
    list(single_run(folder, episodes=4))
    # A damaged manifest numbered above the run's own, as a killed run may leave: kept, and
    # never taken for "the last" in place of the one just written.
    (folder / "run-000099.json").write_text("{}")
    with pytest.warns(UserWarning, match="passing over"):
        list(resumed(folder, episodes=8, keep_last=2))
    assert names(folder) == ["agent-000006.npz", "agent-000008.npz", "log.csv",
                             "run-000006.json", "run-000008.json", "run-000099.json"]  # fmt: skip
    with pytest.warns(UserWarning, match="passing over"):
        rest = list(resumed(folder, episodes=10, keep_last=1))
    assert [r.return_ for r in rest] == [r.return_ for r in whole[8:]]
    assert (folder / "log.csv").read_bytes() == (tmp_path / "whole" / "log.csv").read_bytes()
    assert names(folder) == ["agent-000010.npz", "log.csv", "run-000010.json", "run-000099.json"]
    with pytest.raises(ValueError, match="keep_last must be at least 1, not 0"):
        single_run(tmp_path / "other", keep_last=0)


def test_keep_last_keeps_a_populations_last_run_checkpoint_and_every_agents_own_files(tmp_path):
    list(population(tmp_path, keep_last=1))
    assert names(tmp_path) == ["agent-000004-000.npz", "agent-000004-001.npz", "log.csv",
                               "run-000004.json"]  # fmt: skip
    for agent in (0, 1):
        assert names(tmp_path / f"agent-{agent}") == ["agent-000002.npz", "agent-000004.npz"]
    assert latest_run(tmp_path).next_episode == 4


def run_in(folder, script):
    """A process running `script` (given `folder`), its stdout a pipe, after its first line."""
    code = "from pathlib import Path\nfolder = Path(" + repr(str(folder)) + ")\n"
    process = subprocess.Popen([sys.executable, "-c", code + textwrap.dedent(script)],
                               stdout=subprocess.PIPE, text=True)  # fmt: skip
    return process, process.stdout.readline().split()


def wait_for(path, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} did not appear"
        time.sleep(0.05)
    return path.read_text()


def test_a_child_forked_by_a_killed_run_never_holds_its_folder(tmp_path):
    folder = tmp_path / "run"
    # The run forks a child (multiprocessing's fork start) that outlives it; then it is killed.
    # The child takes the folder itself once told to, lets the parent's lock objects it inherited
    # go as garbage collection would, and still holds the folder until told to release it.
    script = f"""
        import gc, multiprocessing, sys, time
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from test_run_folder_lock import single_run
        from velto_kit.state.run_folder import RunFolderLock

        def child(folder):
            while not (folder.parent / "go").exists():
                time.sleep(0.05)
            try:
                own = RunFolderLock(folder)
            except Exception as error:
                (folder.parent / "took").write_text(repr(error))
                time.sleep(60)
            for inherited in gc.get_objects():
                if isinstance(inherited, RunFolderLock) and inherited is not own:
                    inherited.release()
            (folder.parent / "took").write_text("took")
            while not (folder.parent / "release").exists():
                time.sleep(0.05)
            own.release()
            (folder.parent / "released").write_text("released")
            time.sleep(60)

        running = single_run(folder, episodes=8)
        next(running), next(running), next(running)
        forked = multiprocessing.get_context("fork").Process(target=child, args=(folder,))
        forked.start()
        print(forked.pid, flush=True)
        time.sleep(60)
    """
    run, (child,) = run_in(folder, script)
    child = int(child)
    try:
        run.kill()
        run.wait()
        run.stdout.close()
        (tmp_path / "go").touch()
        assert wait_for(tmp_path / "took") == "took"
        with pytest.raises(RunFolderInUse, match=f"process {child} holds"):
            RunFolderLock(folder)
        (tmp_path / "release").touch()
        wait_for(tmp_path / "released")
        assert len(list(resumed(folder))) == 6  # from the checkpoint after episode 2
        os.kill(child, 0)  # the child lives on
    finally:
        os.kill(child, signal.SIGKILL)


def test_a_refused_claim_in_the_holding_process_leaves_the_folder_held(tmp_path):
    with RunFolderLock(tmp_path):
        with pytest.raises(RunFolderInUse, match=f"process {os.getpid()}"):
            RunFolderLock(tmp_path)
        other, answer = run_in(tmp_path, """
            from velto_kit.state.run_folder import RunFolderInUse, RunFolderLock
            try:
                RunFolderLock(folder)
                print("took")
            except RunFolderInUse as error:
                print("refused", error)
        """)  # fmt: skip
        other.communicate()
        assert answer[:1] == ["refused"] and str(os.getpid()) in " ".join(answer)


@pytest.mark.parametrize("target", ["outside.txt", "missing.txt"])
def test_a_lock_file_that_is_a_symbolic_link_is_refused_and_not_followed(target, tmp_path):
    folder = tmp_path / "run"
    folder.mkdir()
    if target == "outside.txt":
        (tmp_path / target).write_text("mine")
    (folder / LOCK_NAME).symlink_to(tmp_path / target)
    with pytest.raises(RunFolderError, match=f"{LOCK_NAME} is a symbolic link"):
        RunFolderLock(folder)
    assert {p.name: p.is_file() and p.read_text() for p in tmp_path.iterdir()} == {
        "run": False, **({target: "mine"} if target == "outside.txt" else {})}  # fmt: skip


def test_a_lock_that_fails_for_another_reason_is_no_folder_in_use(tmp_path, monkeypatch):
    def no_locks(descriptor, operation):
        raise OSError(errno.ENOLCK, "No locks available")

    monkeypatch.setattr(fcntl, "lockf", no_locks)
    with pytest.raises(OSError, match="No locks available") as raised:
        RunFolderLock(tmp_path)
    assert not isinstance(raised.value, RunFolderInUse)


# (a line of the system's table of locks, the holder it names for the lock file); {file} is the
# file's device and inode as the table writes them.
LOCK_TABLE = [
    ("1: POSIX  ADVISORY  WRITE 4321 {file} 0 EOF", 4321),
    ("1: FLOCK  ADVISORY  WRITE 4321 {file} 0 EOF", None),  # another kind of lock
    ("1: POSIX  ADVISORY  WRITE 4321 {file}9 0 EOF", None),  # another file
    ("1: POSIX  ADVISORY  WRITE ? {file} 0 EOF", None),
    ("1: POSIX  ADVISORY  WRITE", None),
    (OSError, None),  # no table to read
]


@pytest.mark.parametrize(("line", "holder"), LOCK_TABLE)
def test_the_holder_is_read_from_the_systems_table_of_its_own_lock_file(
    line, holder, tmp_path, monkeypatch
):
    (tmp_path / LOCK_NAME).touch()
    info = os.stat(tmp_path / LOCK_NAME)
    file = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"

    def table(path, **options):
        assert path == "/proc/locks"
        if line is OSError:
            raise OSError(errno.EACCES, "no")
        return io.StringIO("0: POSIX  ADVISORY  READ 1 00:00:1 0 EOF\n" + line.format(file=file))

    monkeypatch.setattr(run_folder, "open", table, raising=False)
    assert run_folder._lock_holder(info) == holder


def test_a_manifest_naming_the_lock_file_leaves_the_folder_held(tmp_path):
    # The holding process reads a damaged checkpoint whose agent entry names .run.lock: opening
    # and closing that file there would drop the record lock, so it is never opened.
    list(single_run(tmp_path))
    manifest = velto_kit.run_checkpoints(tmp_path)[-1]
    data = json.loads(manifest.read_text())
    data["members"][0]["agent"]["file"] = LOCK_NAME
    manifest.write_text(json.dumps(data))
    with RunFolderLock(tmp_path):
        with pytest.raises(CheckpointError, match="names no file in its folder"):
            load_run(manifest)
        assert LOCK_NAME not in {path.name for path in checkpoint_files(manifest)}
        other, answer = run_in(tmp_path, """
            from velto_kit.state.run_folder import RunFolderInUse, RunFolderLock
            try:
                RunFolderLock(folder)
                print("took")
            except RunFolderInUse:
                print("refused")
        """)  # fmt: skip
        other.communicate()
        assert answer[:1] == ["refused"]
