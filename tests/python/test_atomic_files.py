"""Atomic replacement as the system calls show it: the order that makes a file durable, and what
is done with a symbolic link or a set-ID file at the target path."""

import errno
import os
import stat

import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic
from velto_kit.state.atomic_files import write_atomically


def small_agent():
    agent = VeltoActorCritic(40, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 3)
    for t in range(20):
        agent.step([t % 40, (3 * t) % 40], 1.0, 0.9)
    return agent


WRITERS = {
    "write_atomically": lambda path: write_atomically(path, b"the whole content\n" * 500),
    "save": lambda path: velto_kit.save(small_agent(), path),
}


class CallRecorder:
    """Records os.open, os.fsync and os.replace while installed; each fsync notes what the
    descriptor is (file or directory, by path) and how many bytes the file held then."""

    def __init__(self, monkeypatch):
        self.events = []
        self.opened = {}
        real_open, real_fsync, real_replace = os.open, os.fsync, os.replace

        def recording_open(path, flags, *args, **kwargs):
            descriptor = real_open(path, flags, *args, **kwargs)
            self.opened[descriptor] = os.path.abspath(os.fsdecode(path))
            return descriptor

        def recording_fsync(descriptor):
            info = os.fstat(descriptor)
            kind = "directory" if stat.S_ISDIR(info.st_mode) else "file"
            path = self.opened.get(descriptor, f"<descriptor {descriptor}>")
            self.events.append(("fsync", kind, path, info.st_size))
            return real_fsync(descriptor)

        def recording_replace(source, target, *args, **kwargs):
            self.events.append(
                ("replace", os.path.abspath(os.fsdecode(source)), os.path.abspath(target))
            )
            return real_replace(source, target, *args, **kwargs)

        monkeypatch.setattr(os, "open", recording_open)
        monkeypatch.setattr(os, "fsync", recording_fsync)
        monkeypatch.setattr(os, "replace", recording_replace)


@pytest.mark.parametrize("writer", WRITERS)
def test_data_is_fsynced_then_renamed_then_the_directory_fsynced(tmp_path, monkeypatch, writer):
    path = tmp_path / "target.bin"
    path.write_bytes(b"earlier")
    recorder = CallRecorder(monkeypatch)
    WRITERS[writer](path)
    monkeypatch.undo()
    final_size = path.stat().st_size
    events = recorder.events

    replaces = [k for k, event in enumerate(events) if event[0] == "replace"]
    assert len(replaces) == 1, events
    at = replaces[0]
    _, temporary, target = events[at]
    assert target == str(path) and os.path.dirname(temporary) == str(tmp_path)
    # Before the rename: the temporary file fsynced holding every byte it ends with.
    data_syncs = [k for k, e in enumerate(events) if e[:3] == ("fsync", "file", temporary)]
    assert data_syncs and data_syncs[0] < at, f"no fsync of the data before the rename: {events}"
    assert events[data_syncs[-1]][3] == final_size, f"fsynced before the last write: {events}"
    # After the rename: the directory that holds the new entry.
    directory_syncs = [
        k for k, e in enumerate(events) if e[:3] == ("fsync", "directory", str(tmp_path))
    ]
    assert any(k > at for k in directory_syncs), f"directory not fsynced after: {events}"


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("dangling", [False, True], ids=["to a file", "dangling"])
def test_a_symlinked_target_is_refused_and_left_as_it_was(tmp_path, writer, dangling):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    pointed = elsewhere / "real.bin"
    if not dangling:
        pointed.write_bytes(b"not yours")
    folder = tmp_path / "folder"
    folder.mkdir()
    link = folder / "target.bin"
    link.symlink_to(pointed)
    with pytest.raises(OSError) as raised:
        WRITERS[writer](link)
    assert raised.value.errno == errno.ELOOP and str(link) in str(raised.value)
    assert link.is_symlink() and os.readlink(link) == str(pointed)
    assert pointed.read_bytes() == b"not yours" if not dangling else not pointed.exists()
    assert sorted(p.name for p in folder.iterdir()) == ["target.bin"]  # no temporary left


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize(
    ("before", "after"),
    [(0o4755, 0o755), (0o2750, 0o750), (0o6711, 0o711), (0o1644, 0o644), (0o600, 0o600)],
    ids=oct,
)
def test_permissions_are_kept_but_set_id_bits_never_carried(tmp_path, writer, before, after):
    path = tmp_path / "target.bin"
    path.write_bytes(b"earlier")
    path.chmod(before)
    assert stat.S_IMODE(path.stat().st_mode) == before  # root may set every bit here
    WRITERS[writer](path)
    assert stat.S_IMODE(path.stat().st_mode) == after
    assert path.read_bytes() != b"earlier"
