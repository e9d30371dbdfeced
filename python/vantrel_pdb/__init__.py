"""Reads, makes and changes track-library page databases.

    import vantrel_pdb
    db = vantrel_pdb.open("library.pdb")
    for track in db.tracks:
        print(track.id, track.title, track.artist, track.bpm)

The database is one page image in memory; open() reads a file or takes
bytes, save() writes it back whole. Every failure of the library raises
vantrel_pdb.Error with the library's message.
"""

import collections.abc

from vantrel_pdb._vantrel_pdb import (
    Database,
    Error,
    Finding,
    Findings,
    Library,
    Lock,
    Playlist,
    Track,
    Tracks,
    __version__,
    check,
    create,
    file_type_for_path,
    finding_kinds,
    lock,
    open,
    salvage,
    tempo_from_bpm,
)

__all__ = [
    "Database",
    "Error",
    "Finding",
    "Findings",
    "Library",
    "Lock",
    "Playlist",
    "Track",
    "Tracks",
    "check",
    "create",
    "file_type_for_path",
    "finding_kinds",
    "lock",
    "open",
    "salvage",
    "tempo_from_bpm",
]

# Tracks has __len__ and __getitem__; as a registered Sequence it passes
# isinstance checks (reversed() and `in` work from those two already).
collections.abc.Sequence.register(Tracks)
