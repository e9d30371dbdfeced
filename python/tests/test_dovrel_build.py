"""A database made through the module is dovrel's build of the same request,
byte for byte; paths and images go in every form the module takes."""

import json
import pathlib
import subprocess

import pytest

import vantrel_pdb
from conftest import PLAYLISTS, TRACKS, make_database

# The request's names for the fields add_track takes.
REQUEST_KEYS = dict(audio_path="audioPath", analysis_path="analysisPath", artwork_path="artworkPath",
                    sample_rate="sampleRate", file_size="fileSize", sample_depth="sampleDepth",
                    parent_id="parentId", is_folder="isFolder")


def request_form(record):
    return {REQUEST_KEYS.get(key, key): value for key, value in record.items()}


def test_module_build_is_dovrels_build(tmp_path, dovrel):
    request = dict(action="build", output=str(tmp_path / "dovrel.pdb"),
                   tracks=[request_form(t) for t in TRACKS], playlists=[request_form(p) for p in PLAYLISTS])
    subprocess.run([dovrel], input=json.dumps(request), capture_output=True, text=True, check=True)
    make_database().save(tmp_path / "module.pdb")
    assert (tmp_path / "module.pdb").read_bytes() == (tmp_path / "dovrel.pdb").read_bytes()


def test_playlists_in_any_order_make_the_same_image(image):
    db = vantrel_pdb.create()
    for track in TRACKS:
        db.add_track(**track)
    db.add_playlists(PLAYLISTS[1:] + PLAYLISTS[:1])  # the children wait for their folder
    assert db.to_bytes() == image


SOURCES = [
    ("str", lambda path: str(path)),
    ("PathLike", lambda path: path),
    ("bytes", lambda path: path.read_bytes()),
    ("bytearray", lambda path: bytearray(path.read_bytes())),
    ("memoryview", lambda path: memoryview(path.read_bytes())),
]


@pytest.mark.parametrize("source", [s[1] for s in SOURCES], ids=[s[0] for s in SOURCES])
def test_open_takes_a_path_or_an_image(image, tmp_path, source):
    path = tmp_path / "library.pdb"
    path.write_bytes(image)
    assert vantrel_pdb.open(source(path)).to_bytes() == image


TARGETS = [
    ("str", str),
    ("PathLike", pathlib.Path),
    ("bytes", lambda path: str(path).encode()),
]


@pytest.mark.parametrize("target", [t[1] for t in TARGETS], ids=[t[0] for t in TARGETS])
def test_save_takes_a_path(database, image, tmp_path, target):
    database.save(target(tmp_path / "saved.pdb"))
    assert (tmp_path / "saved.pdb").read_bytes() == image


def test_changes_in_place_reach_the_image(database):
    database.keep_only(tracks={11, 13}, playlists=[6], tempos={13: 9000})
    database.set_tempo(11, vantrel_pdb.tempo_from_bpm(127.5))
    reopened = vantrel_pdb.open(database.to_bytes())
    assert [(t.id, t.tempo) for t in reopened.tracks] == [(11, 12750), (13, 9000)]
    assert [(p.id, p.tracks) for p in reopened.playlists] == [(6, (13, 11, 11))]
