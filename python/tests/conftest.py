"""Shared data of the binding's tests: one small database made through the
module, and the dovrel binary that the build's test run names."""

import os

import pytest

import vantrel_pdb

# Tracks as add_track takes them, every field given; names mix scripts.
TRACKS = [
    dict(id=11, title="Harbour Lights", artist="Mira Solberg", album="Low Tide", genre="Deep House",
         key="Dm", audio_path="/music/mira/harbour-lights.flac", analysis_path="/scans/11.dat",
         artwork_path="/art/11.jpg", comment="first", bpm=121.25, bitrate=1411, sample_rate=48000,
         file_size=31_457_280, duration=372, sample_depth=24, rating=4),
    dict(id=12, title="Café Ñandú 夜明け 🎧", artist="Tomasz Wren", album="Øresund", genre="Techno",
         key="8A", audio_path="/music/tomasz/cafe.mp3", analysis_path="/scans/12.dat",
         artwork_path="", comment="", bpm=128.0, bitrate=320, sample_rate=44100,
         file_size=7_340_032, duration=301, sample_depth=16, rating=0),
    dict(id=13, title="Slow Rain", artist="Mira Solberg", album="Low Tide", genre="Ambient",
         key="F#m", audio_path="/music/mira/slow-rain.wav", analysis_path="/scans/13.dat",
         artwork_path="/art/13.png", comment="closing", bpm=87.5, bitrate=1536, sample_rate=96000,
         file_size=120_000_000, duration=600, sample_depth=32, rating=5),
]
# Parents before children, as add_playlist needs them.
PLAYLISTS = [
    dict(id=5, name="Sets", parent_id=0, is_folder=True, tracks=[]),
    dict(id=6, name="Evening", parent_id=5, is_folder=False, tracks=[13, 11, 11]),
    dict(id=7, name="Morning ☀", parent_id=5, is_folder=False, tracks=[12]),
]


def make_database():
    db = vantrel_pdb.create()
    for track in TRACKS:
        db.add_track(**track)
    for playlist in PLAYLISTS:
        db.add_playlist(**playlist)
    db.commit()
    return db


@pytest.fixture
def database():
    return make_database()


@pytest.fixture(scope="session")
def image():
    return make_database().to_bytes()


@pytest.fixture(scope="session")
def dovrel():
    path = os.environ.get("DOVREL_BINARY")
    if not path:
        pytest.skip("DOVREL_BINARY names no dovrel binary (the build's test run sets it)")
    return path
