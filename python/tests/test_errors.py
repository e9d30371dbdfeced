"""The library's errors as vantrel_pdb.Error with its exact message, Python's
own errors for arguments the library's types cannot hold, and a database
that stays usable after either."""

import subprocess

import pytest

import vantrel_pdb

# One failure of each call that can fail.
LIBRARY_ERRORS = [
    # name, call on the small database (or a path in tmp_path), message
    ("missing file", lambda db, tmp: vantrel_pdb.open(tmp / "absent.pdb"),
     "No such file or directory (os error 2)"),
    ("empty image", lambda db, tmp: vantrel_pdb.open(b""), "Invalid PDB page size/length"),
    # Judged by its first page, not read without end.
    ("device", lambda db, tmp: vantrel_pdb.open("/dev/zero"),
     "character device that holds no database (Invalid PDB page size/length)"),
    ("duplicate track", lambda db, tmp: db.add_track(id=11, audio_path="/a.mp3"), "Duplicate track ID"),
    ("missing parent", lambda db, tmp: db.add_playlist(id=8, name="x", parent_id=99),
     "Playlist parent cycle or missing parent"),
    ("parent in no pass", lambda db, tmp: db.add_playlists([dict(id=8, name="x", parent_id=9),
                                                            dict(id=9, name="y", parent_id=8)]),
     "Playlist parent cycle or missing parent"),
    ("extension", lambda db, tmp: (db.add_track(id=20, audio_path="/a.ogg"), db.commit()),
     "Unsupported audio extension"),
    ("no such track", lambda db, tmp: db.set_tempo(99, 1), "no track with id 99"),
    ("unwritable output", lambda db, tmp: db.save(tmp / "absent" / "out.pdb"),
     "cannot write {tmp}/absent/out.pdb: No such file or directory (os error 2)"),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in LIBRARY_ERRORS], ids=[c[0] for c in LIBRARY_ERRORS])
def test_library_error_raises_error_with_its_message(database, tmp_path, call, message):
    with pytest.raises(vantrel_pdb.Error) as raised:
        call(database, tmp_path)
    assert str(raised.value) == message.format(tmp=tmp_path)
    assert type(raised.value) is vantrel_pdb.Error and isinstance(raised.value, Exception)


def test_database_stays_usable_after_an_error(database):
    before = [t.id for t in database.tracks]
    database.add_track(id=30, audio_path="/b.mp3")
    with pytest.raises(vantrel_pdb.Error):
        database.add_track(id=30, audio_path="/c.mp3")  # drops the edit, track 30 too
    assert [t.id for t in database.tracks] == before
    database.add_track(id=31, audio_path="/d.mp3")
    assert [t.id for t in database.tracks] == before + [31]


# Damaged images: cut short, a page header overwritten.
DAMAGE = [
    ("cut short", lambda image: image[: 3 * 4096]),
    ("page header", lambda image: image[:4096] + b"\xff" * 32 + image[4096 + 32 :]),
]


@pytest.mark.parametrize("damage", [d[1] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_image_raises_what_dovrel_says(image, tmp_path, dovrel, damage):
    path = tmp_path / "damaged.pdb"
    path.write_bytes(damage(image))
    read = subprocess.run([dovrel], input=f'{{"action": "read", "input": "{path}"}}', capture_output=True,
                          text=True, check=False)
    assert read.returncode == 1
    with pytest.raises(vantrel_pdb.Error) as raised:
        vantrel_pdb.open(path)
    assert str(raised.value) == read.stderr.rstrip("\n")


PYTHON_ERRORS = [
    # name, call, exception
    ("bpm and tempo", lambda db: db.add_track(id=40, audio_path="/a.mp3", bpm=120.0, tempo=12000), TypeError),
    # No tempo stands for these (they were stored as 0 and 2**32 - 1).
    ("bpm NaN", lambda db: db.add_track(id=40, audio_path="/a.mp3", bpm=float("nan")), ValueError),
    ("bpm infinite", lambda db: db.add_track(id=40, audio_path="/a.mp3", bpm=float("inf")), ValueError),
    ("bpm minus infinity", lambda db: db.add_track(id=40, audio_path="/a.mp3", bpm=float("-inf")), ValueError),
    ("tempo of NaN bpm", lambda db: vantrel_pdb.tempo_from_bpm(float("nan")), ValueError),
    ("tempo of infinite bpm", lambda db: vantrel_pdb.tempo_from_bpm(float("inf")), ValueError),
    ("tempo not a number", lambda db: db.set_tempo(11, float("nan")), TypeError),
    ("id of 33 bits", lambda db: db.set_tempo(2**32, 1), TypeError),
    ("kept id of 33 bits", lambda db: db.keep_only(tracks=[11, 2**32]), OverflowError),
    ("kept id below zero", lambda db: db.keep_only(tracks=[-11]), OverflowError),
    ("kept id not an int", lambda db: db.keep_only(playlists=["6"]), TypeError),
    ("tempo not an int", lambda db: db.keep_only(tempos={11: 120.5}), TypeError),
    ("playlist tracks not iterable", lambda db: db.add_playlist(id=8, name="x", tracks=11), TypeError),
    ("playlist mapping without a name", lambda db: db.add_playlists([dict(id=8)]), TypeError),
    ("playlist mapping with an unknown key", lambda db: db.add_playlists([dict(id=8, name="x", colour=2)]),
     TypeError),
    ("playlist not a mapping", lambda db: db.add_playlists([8]), TypeError),
    ("path not a path", lambda db: vantrel_pdb.open(3), TypeError),
    ("image not contiguous", lambda db: vantrel_pdb.open(memoryview(db.to_bytes())[::2]), BufferError),
]


@pytest.mark.parametrize("call, exception", [c[1:] for c in PYTHON_ERRORS], ids=[c[0] for c in PYTHON_ERRORS])
def test_unfit_argument_raises_pythons_error_and_changes_nothing(database, call, exception):
    before = database.to_bytes()
    with pytest.raises(exception):
        call(database)
    assert database.to_bytes() == before
