"""The changes in place through the module: lookups by id, set_track and the
playlist edits, each as dovrel's "edit" makes it, and errors that name the id
and change nothing."""

import json
import subprocess

import pytest

import vantrel_pdb


def test_lookups_by_id(database):
    track = database.track(13)
    assert (track.title, track.artist, track.rating) == ("Slow Rain", "Mira Solberg", 5)
    playlist = database.playlist(6)
    assert (playlist.name, playlist.parent_id, playlist.tracks) == ("Evening", 5, (13, 11, 11))
    with pytest.raises(vantrel_pdb.Error, match="^no track with id 99$"):
        database.track(99)
    with pytest.raises(vantrel_pdb.Error, match="^no playlist with id 99$"):
        database.playlist(99)


def test_set_track_changes_only_what_it_is_given(database):
    before = database.track(11)
    database.set_track(11, rating=2, comment="after midnight, on the terrace", label="Tidal", bpm=122.5)
    track = database.track(11)
    assert (track.rating, track.comment, track.label, track.tempo) == (2, "after midnight, on the terrace",
                                                                       "Tidal", 12250)
    assert (track.title, track.artist, track.audio_path, track.artwork_path) == (
        before.title, before.artist, before.audio_path, before.artwork_path)
    # The other tracks and the playlists read as before.
    assert database.track(12).title == "Café Ñandú 夜明け 🎧"
    assert database.playlist(6).tracks == (13, 11, 11)


def test_playlist_edits(database):
    database.rename_playlist(7, "Morning, slow")
    database.move_playlist(7, 0, position=0)
    database.set_playlist_tracks(6, [12, 12, 13])
    database.remove_tracks([13])
    assert database.playlist(7).name == "Morning, slow"
    assert database.playlist(7).parent_id == 0
    assert database.playlist(6).tracks == (12, 12)
    assert [t.id for t in database.tracks] == [11, 12]
    database.remove_playlists([5])
    assert [p.id for p in database.playlists] == [7]


@pytest.mark.parametrize("call, message", [
    (lambda db: db.set_track(99, rating=1), "no track with id 99"),
    (lambda db: db.set_track(11, audio_path="/music/a.ogg"), "track 11: Unsupported audio extension"),
    (lambda db: db.set_track(11, title="x" * 40000), "track 11: string too long for PDB encoding"),
    (lambda db: db.rename_playlist(99, "x"), "no playlist with id 99"),
    (lambda db: db.move_playlist(6, 7), "playlist 6: playlist 7 is not a folder"),
    (lambda db: db.move_playlist(5, 5), "cannot move playlist 5 into folder 5, which lies under it"),
    (lambda db: db.move_playlist(6, 5, position=5), "playlist 6: position 5 is past the 1 other playlists under 5"),
    (lambda db: db.set_playlist_tracks(5, [11]), "playlist 5 is a folder, which holds no tracks"),
    (lambda db: db.set_playlist_tracks(6, [11, 98]), "playlist 6: no track with id 98"),
    (lambda db: db.remove_tracks([11, 98]), "no track with id 98"),
    (lambda db: db.remove_playlists([98]), "no playlist with id 98"),
])
def test_refused_changes_name_the_id_and_change_nothing(database, call, message):
    before = database.to_bytes()
    with pytest.raises(vantrel_pdb.Error) as raised:
        call(database)
    assert str(raised.value) == message
    assert database.to_bytes() == before


def test_bpm_and_tempo_are_not_both_taken(database):
    with pytest.raises(TypeError):
        database.set_track(11, bpm=120.0, tempo=12000)


def test_module_edit_is_dovrels_edit(database, tmp_path, dovrel):
    (tmp_path / "in.pdb").write_bytes(database.to_bytes())
    request = dict(action="edit", input=str(tmp_path / "in.pdb"), output=str(tmp_path / "dovrel.pdb"), changes=[
        dict(op="setTrack", id=12, title="Café, the long night version", rating=3, artist="Ola"),
        dict(op="renamePlaylist", id=6, name="Evening on the water"),
        dict(op="movePlaylist", id=7, parentId=0),
        dict(op="setPlaylistTracks", id=6, tracks=[12, 11]),
        dict(op="removeTracks", ids=[13]),
    ])
    subprocess.run([dovrel], input=json.dumps(request), capture_output=True, text=True, check=True)
    database.set_track(12, title="Café, the long night version", rating=3, artist="Ola")
    database.rename_playlist(6, "Evening on the water")
    database.move_playlist(7, 0)
    database.set_playlist_tracks(6, [12, 11])
    database.remove_tracks([13])
    assert database.to_bytes() == (tmp_path / "dovrel.pdb").read_bytes()
