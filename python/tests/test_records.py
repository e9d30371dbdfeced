"""Track and Playlist: every field of the library's records reaches Python
with its value and type, and the objects cannot be changed."""

import collections.abc
import gc

import pytest

import vantrel_pdb

# The largest value of each field's C++ type, so that no conversion narrows.
EXTREMES = dict(id=2**32 - 1, title="T", artist="Ar", album="Al", genre="G", key="K", label="Lbl",
                audio_path="/x/y.aiff", analysis_path="/scan", artwork_path="/art/x.jpg", comment="C",
                tempo=2**32 - 1, bitrate=2**32 - 1, sample_rate=2**32 - 1, file_size=2**32 - 1,
                duration=2**16 - 1, sample_depth=2**16 - 1, rating=2**8 - 1)

TRACK_FIELDS = [
    # attribute, expected value, type
    ("id", 2**32 - 1, int),
    ("title", "T", str),
    ("artist", "Ar", str),
    ("album", "Al", str),
    ("genre", "G", str),
    ("key", "K", str),
    ("label", "Lbl", str),
    ("artwork_path", "/art/x.jpg", str),
    ("audio_path", "/x/y.aiff", str),
    ("analysis_path", "/scan", str),
    ("comment", "C", str),
    ("tempo", 2**32 - 1, int),
    ("bpm", (2**32 - 1) / 100, float),
    ("bitrate", 2**32 - 1, int),
    ("sample_rate", 2**32 - 1, int),
    ("file_size", 2**32 - 1, int),
    ("duration", 2**16 - 1, int),
    ("sample_depth", 2**16 - 1, int),
    ("file_type", 12, int),
    ("rating", 2**8 - 1, int),
]


@pytest.fixture(scope="module")
def extreme_track():
    db = vantrel_pdb.create()
    db.add_track(**EXTREMES)
    (track,) = db.tracks
    return track


@pytest.mark.parametrize("attribute, expected, kind", TRACK_FIELDS, ids=[f[0] for f in TRACK_FIELDS])
def test_track_field_converts(extreme_track, attribute, expected, kind):
    value = getattr(extreme_track, attribute)
    assert type(value) is kind
    assert value == expected


def test_every_track_field_is_covered():
    public = {name for name in dir(vantrel_pdb.Track) if not name.startswith("_")}
    assert public == {field[0] for field in TRACK_FIELDS}


def test_non_ascii_text_round_trips(database):
    assert database.tracks[1].title == "Café Ñandú 夜明け 🎧"
    assert database.playlists[2].name == "Morning ☀"


PLAYLIST_FIELDS = [
    # index in the tree, attribute, expected value
    (0, "id", 5),
    (0, "parent_id", 0),
    (0, "name", "Sets"),
    (0, "is_folder", True),
    (0, "tracks", ()),
    (0, "children", (6, 7)),
    (1, "parent_id", 5),
    (1, "is_folder", False),
    (1, "tracks", (13, 11, 11)),
    (1, "children", ()),
]


@pytest.mark.parametrize("index, attribute, expected", PLAYLIST_FIELDS)
def test_playlist_field_converts(database, index, attribute, expected):
    value = getattr(database.playlists[index], attribute)
    assert type(value) is type(expected)
    assert value == expected


def test_sort_order_is_an_int_that_orders_the_children(database):
    folder, *children = database.playlists
    orders = {p.id: p.sort_order for p in children}
    assert all(type(order) is int for order in orders.values())
    assert list(folder.children) == sorted(orders, key=orders.get)


@pytest.mark.parametrize("record", ["tracks", "playlists"])
def test_records_are_read_only(database, record):
    first = getattr(database, record)[0]
    with pytest.raises(AttributeError):
        first.id = 1
    with pytest.raises(AttributeError):
        first.anything_new = 1
    with pytest.raises(TypeError):
        type(first)()


def test_reprs_name_the_record():
    db = vantrel_pdb.create()
    db.add_track(id=7, title="Night 'Ferry'", artist="Ana", audio_path="/a.mp3", tempo=12050)
    db.add_playlist(id=3, name="Late", tracks=[7, 7])
    assert repr(db.tracks[0]) == "Track(id=7, title=\"Night 'Ferry'\", artist='Ana', bpm=120.5)"
    assert repr(db.playlists[0]) == "Playlist(id=3, name='Late', parent_id=0, is_folder=False, tracks=(7, 7))"


def test_tracks_are_one_sequence_until_the_next_change(database):
    tracks = database.tracks
    assert isinstance(tracks, collections.abc.Sequence) and database.tracks is tracks
    database.set_tempo(12, 13000)
    assert database.tracks is not tracks
    assert database.tracks[1].tempo == 13000 and tracks[1].tempo == 12800


# Tracks as a sequence: each way of reaching tracks gives these ids.
SEQUENCE_READS = [
    ("len", lambda t: len(t), 3),
    ("iteration", lambda t: [x.id for x in t], [11, 12, 13]),
    ("negative index", lambda t: t[-1].id, 13),
    ("slice", lambda t: [x.id for x in t[::-2]], [13, 11]),
    ("empty slice", lambda t: t[5:], ()),
    ("reversed", lambda t: [x.id for x in reversed(t)], [13, 12, 11]),
    ("membership by id", lambda t: 12 in {x.id for x in t}, True),
]


@pytest.mark.parametrize("read, expected", [r[1:] for r in SEQUENCE_READS], ids=[r[0] for r in SEQUENCE_READS])
def test_tracks_read_as_a_sequence(database, read, expected):
    assert read(database.tracks) == expected


@pytest.mark.parametrize("index, error", [(3, IndexError), (-4, IndexError), (2**63, IndexError),
                                          ("0", TypeError), (1.0, TypeError)])
def test_a_bad_track_index_raises_as_a_tuple_would(database, index, error):
    with pytest.raises(error):
        database.tracks[index]
    with pytest.raises(error):
        tuple(database.tracks)[index]


def test_a_track_outlives_its_database():
    db = vantrel_pdb.create()
    db.add_track(id=7, title="Night Ferry", audio_path="/a.mp3")
    (track,) = db.tracks
    del db
    gc.collect()
    assert (track.id, track.title) == (7, "Night Ferry")


def test_the_class_is_named_as_the_cpp_library():
    db = vantrel_pdb.create()
    assert type(db) is vantrel_pdb.Library
    assert vantrel_pdb.Database is vantrel_pdb.Library  # its name in 0.1
    assert repr(vantrel_pdb.Library).endswith("vantrel_pdb.Library'>")
