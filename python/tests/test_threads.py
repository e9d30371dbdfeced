"""The GIL is released while the library works on a whole image, and calls
on one database from several threads take turns."""

import os
import subprocess
import sys
import threading
import textwrap

import vantrel_pdb

# Bounds the waits of a test that would otherwise hang; not a measure of speed.
DEADLINE_SECONDS = 60

# Two threads open a FIFO each; each waits inside open() until its FIFO is
# written. Feeding the second before the first needs both threads, and the
# main one, to run while the other is still in open(): none may hold the
# GIL there. Run in a child, which hangs instead when one does.
TWO_OPENS = textwrap.dedent("""
    import os, sys, threading
    import vantrel_pdb
    image = sys.stdin.buffer.read()
    fifos = sys.argv[1:]
    opened = {}
    def open_one(fifo):
        opened[fifo] = vantrel_pdb.open(fifo)
    threads = [threading.Thread(target=open_one, args=(fifo,)) for fifo in fifos]
    for thread in threads:
        thread.start()
    for fifo in reversed(fifos):
        with open(fifo, "wb") as pipe:
            pipe.write(image)
    for thread in threads:
        thread.join()
    print([[t.title for t in opened[fifo].tracks] for fifo in fifos])
""")


def test_two_threads_open_at_once(image, tmp_path):
    fifos = [tmp_path / "first", tmp_path / "second"]
    for fifo in fifos:
        os.mkfifo(fifo)
    child = subprocess.run([sys.executable, "-c", TWO_OPENS, *map(str, fifos)], input=image, capture_output=True,
                           timeout=DEADLINE_SECONDS, check=True)
    titles = [t.title for t in vantrel_pdb.open(image).tracks]
    assert child.stdout.decode().strip() == repr([titles, titles])


def test_threads_sharing_a_database_take_turns(database):
    tempos = {13000 + i for i in range(4)}
    seen = []
    failures = []

    def retune_and_read(tempo):
        try:
            for _ in range(25):
                database.set_tempo(12, tempo)
                seen.append(database.tracks[1].tempo)
                vantrel_pdb.open(database.to_bytes())
        except Exception as error:  # reported below, with the thread's own error
            failures.append(error)

    threads = [threading.Thread(target=retune_and_read, args=(tempo,)) for tempo in sorted(tempos)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE_SECONDS)
    assert failures == []
    assert len(seen) == 100 and set(seen) <= tempos
    assert database.tracks[1].tempo in tempos
