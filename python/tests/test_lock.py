"""The writers' lock: Library.save() and vantrel_pdb.lock() take the advisory
lock that dovrel takes, so that a change in place by one waits for the other
instead of undoing it."""

import errno
import fcntl
import json
import os
import subprocess
import threading
import time

import vantrel_pdb


def held_by_another(path):
    """Whether another open file holds the writers' flock of path."""
    with open(path, "rb") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            assert e.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
            return True
        fcntl.flock(f, fcntl.LOCK_UN)
        return False


def patch(dovrel, input_path, output, tempos):
    run = subprocess.Popen([dovrel], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
    run.stdin.write(json.dumps({"action": "patch", "input": str(input_path), "output": str(output),
                                "report": "summary", "tempos": tempos}))
    run.stdin.close()
    return run


def tempos(path):
    return {t.id: t.tempo for t in vantrel_pdb.open(path).tracks}


def test_save_waits_while_dovrel_writes_the_file(image, tmp_path, dovrel):
    target = tmp_path / "lib.pdb"
    target.write_bytes(image)
    # dovrel holds its output's lock from before it reads its input: a FIFO
    # that nobody writes yet keeps it holding.
    fifo = tmp_path / "input"
    os.mkfifo(fifo)
    run = patch(dovrel, fifo, target, {"11": 13000})
    deadline = time.monotonic() + 30
    while not held_by_another(target):
        assert time.monotonic() < deadline and run.poll() is None, run.stderr.read()
        time.sleep(0.01)
    db = vantrel_pdb.open(image)
    db.set_tempo(12, 9000)
    saver = threading.Thread(target=db.save, args=(target,))
    saver.start()
    saver.join(0.5)
    assert saver.is_alive()  # waiting for dovrel
    fifo.write_bytes(image)
    assert run.wait(30) == 0, run.stderr.read()
    saver.join(30)
    assert not saver.is_alive()
    assert tempos(target)[12] == 9000  # the save came after dovrel's


def test_dovrel_waits_while_a_program_holds_the_lock(image, tmp_path, dovrel):
    target = tmp_path / "lib.pdb"
    target.write_bytes(image)
    with vantrel_pdb.lock(target):
        db = vantrel_pdb.open(target)
        run = patch(dovrel, target, target, {"11": 13000})
        time.sleep(0.5)
        assert run.poll() is None  # waiting for this program
        db.set_tempo(12, 9000)
        db.save(target)  # does not wait for the lock this thread holds
    assert run.wait(30) == 0, run.stderr.read()
    # Both changes are there: dovrel read the file as this program saved it.
    after = tempos(target)
    assert after[11] == 13000 and after[12] == 9000


def test_a_lock_is_taken_once_at_a_time(tmp_path):
    lock = vantrel_pdb.lock(tmp_path / "new.pdb")
    with lock:
        try:
            with lock:
                raise AssertionError("entered twice")
        except ValueError:
            pass
    with lock:  # and again once let go
        pass
