# Type stubs of the vantrel_pdb package (installed as vantrel_pdb/__init__.pyi).
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import final, overload

__version__: str

class Error(Exception):
    """A failure of the library; str() is its one-line message."""

@final
class Track:
    """A track of a database, its names resolved ("" when it names none). Read-only:
    it shows the database as it was when db.tracks was read."""
    @property
    def id(self) -> int: ...
    @property
    def title(self) -> str: ...
    @property
    def artist(self) -> str: ...
    @property
    def album(self) -> str: ...
    @property
    def genre(self) -> str: ...
    @property
    def key(self) -> str: ...
    @property
    def label(self) -> str: ...
    @property
    def artwork_path(self) -> str: ...
    @property
    def audio_path(self) -> str: ...
    @property
    def analysis_path(self) -> str: ...
    @property
    def comment(self) -> str: ...
    @property
    def tempo(self) -> int:
        """Beats per minute × 100, as stored."""
    @property
    def bpm(self) -> float:
        """Beats per minute: tempo / 100."""
    @property
    def bitrate(self) -> int: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def file_size(self) -> int: ...
    @property
    def duration(self) -> int:
        """Seconds."""
    @property
    def sample_depth(self) -> int: ...
    @property
    def file_type(self) -> int:
        """The code of the audio path's extension (mp3 1, flac 5, ...)."""
    @property
    def rating(self) -> int: ...

@final
class Tracks(Sequence[Track]):
    """The tracks of a database in table order, as it was when they were read."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Track: ...
    @overload
    def __getitem__(self, index: slice) -> tuple[Track, ...]: ...
    def __iter__(self) -> Iterator[Track]: ...

@final
class Playlist:
    """A playlist or folder of a database's tree. Read-only."""
    @property
    def id(self) -> int: ...
    @property
    def parent_id(self) -> int:
        """0 at the top level."""
    @property
    def sort_order(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def is_folder(self) -> bool: ...
    @property
    def tracks(self) -> tuple[int, ...]:
        """Track ids in playing order."""
    @property
    def children(self) -> tuple[int, ...]:
        """Ids of the nodes under it, by sort order."""

@final
class Library:
    """A whole database in memory: one page image, its tracks and its playlist tree.

    Made by open() or create(). Additions form one edit, finished by commit();
    reading, the changes in place (keep_only, set_tempo, set_track, ...), to_bytes
    and save commit a pending edit first.
    Safe to share between threads: calls on one database take turns.
    """
    @property
    def tracks(self) -> Tracks:
        """The tracks in table order (committing first); the same object until the next change."""
    @property
    def playlists(self) -> tuple[Playlist, ...]:
        """The playlist tree's nodes in table order."""
    def add_track(
        self,
        *,
        id: int,
        title: str = "",
        artist: str = "",
        album: str = "",
        genre: str = "",
        key: str = "",
        label: str | None = None,
        audio_path: str = "",
        analysis_path: str = "",
        artwork_path: str = "",
        comment: str = "",
        bpm: float | None = None,
        tempo: int | None = None,
        bitrate: int = 0,
        sample_rate: int = 44100,
        file_size: int = 0,
        duration: int = 0,
        sample_depth: int = 16,
        rating: int = 0,
    ) -> None:
        """Adds a track with the caller's id to the edit.

        The audio path's extension gives the file type; artwork_path ("" for none)
        gets an artwork row; a label is stored only when given. The tempo is bpm or
        tempo (hundredths), not both; a NaN or infinite bpm raises ValueError. Raises
        Error for a taken id; the extension and the artwork are checked by commit().
        A failed addition drops the whole edit.
        """
    def add_playlist(
        self, *, id: int, name: str, parent_id: int = 0, is_folder: bool = False, tracks: Iterable[int] = ()
    ) -> None:
        """Adds a playlist (or a folder) under parent_id, 0 for the top level.

        The parent must exist already, in the database or this edit. Raises Error
        for a taken id, a missing parent or an absent track.
        """
    def add_playlists(self, playlists: Iterable[Mapping[str, object]]) -> None:
        """Adds playlists given in any order, each a mapping of add_playlist's keyword
        arguments: a playlist whose parent is among them waits for it.

        Raises Error when some parent is neither in the database nor among them.
        """
    def commit(self) -> None:
        """Finishes the edit; on Error the whole edit is dropped."""
    def keep_only(
        self,
        *,
        tracks: Iterable[int] | None = None,
        playlists: Iterable[int] | None = None,
        tempos: Mapping[int, int] | None = None,
    ) -> None:
        """Keeps only the listed track and playlist ids (None keeps all of a kind).

        Kept tracks whose id is a key of tempos (id to tempo in hundredths) get that
        tempo. On Error nothing changes.
        """
    def set_tempo(self, track_id: int, tempo: int) -> None:
        """Sets the tempo (beats per minute × 100) of the track; Error when there is none."""
    def track(self, id: int) -> Track:
        """The first track with id; Error (no track with id N) when there is none."""
    def playlist(self, id: int) -> Playlist:
        """The first playlist or folder with id; Error (no playlist with id N) when there is none."""
    def set_track(
        self,
        id: int,
        *,
        title: str | None = None,
        artist: str | None = None,
        album: str | None = None,
        genre: str | None = None,
        key: str | None = None,
        label: str | None = None,
        audio_path: str | None = None,
        analysis_path: str | None = None,
        artwork_path: str | None = None,
        comment: str | None = None,
        bpm: float | None = None,
        tempo: int | None = None,
        bitrate: int | None = None,
        sample_rate: int | None = None,
        file_size: int | None = None,
        duration: int | None = None,
        sample_depth: int | None = None,
        rating: int | None = None,
    ) -> None:
        """Changes the fields given (None: unchanged) of the track with id, in place.

        Names are found or created as add_track makes them; audio_path sets the file
        type too; artwork_path "" removes the artwork; the tempo is bpm or tempo
        (hundredths), not both. Raises Error naming the id when the track is absent or
        the change is refused; the database is then as it was.
        """
    def remove_tracks(self, ids: Iterable[int]) -> None:
        """Removes the tracks and the playlist and history entries that name them.

        Raises Error (no track with id N) for an absent id; nothing is removed then.
        """
    def rename_playlist(self, id: int, name: str) -> None:
        """Renames a playlist or folder; Error naming the id."""
    def move_playlist(self, id: int, parent_id: int, position: int | None = None) -> None:
        """Moves a playlist or folder under the folder parent_id (0: the top level), at
        position among its other children (0-based; None: after them).

        Raises Error for a parent that is not a folder or lies under it, or a position
        past the end.
        """
    def set_playlist_tracks(self, id: int, tracks: Iterable[int]) -> None:
        """Replaces a playlist's entries with these track ids, in order (duplicates
        allowed); Error for a folder or an absent track."""
    def remove_playlists(self, ids: Iterable[int]) -> None:
        """Removes these playlists and folders with everything under them, and their
        entries; Error (no playlist with id N) for an absent id."""
    def to_bytes(self) -> bytes:
        """The page image, after committing."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Commits and writes the image to path whole or not at all, under the writers'
        lock of path (see lock()): it waits while dovrel or another save writes there."""

def open(source: str | os.PathLike[str] | bytes | bytearray | memoryview) -> Library:
    """Opens a database from a path or from the bytes of an image; Error when damaged."""

class Lock:
    """The advisory lock that writers of a database file take: dovrel's runs and
    Library.save(). Taken on entry to `with`, waiting while another writer holds it."""
    def __enter__(self) -> Lock: ...
    def __exit__(self, *args: object) -> None: ...

def lock(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Lock:
    """The writers' lock of the file at path: held around open(), the changes and
    save(), no other writer's change comes in between."""

def create() -> Library:
    """A new, empty database."""

def tempo_from_bpm(bpm: float) -> int:
    """Beats per minute as the stored tempo (hundredths), rounded half away from zero;
    ValueError for NaN and infinities."""

def file_type_for_path(audio_path: str) -> int | None:
    """The file type code of an audio path's extension, or None for an unknown one."""

@final
class Finding:
    """One fault of a database. Read-only; None where a place does not apply."""
    @property
    def severity(self) -> str:
        """"error" or "warning"."""
    @property
    def code(self) -> str:
        """Stable: one of finding_kinds()."""
    @property
    def message(self) -> str: ...
    @property
    def page(self) -> int | None:
        """The page's index in the file."""
    @property
    def table(self) -> str | None:
        """The table's name: "tracks", "playlistTree", ..., "kindN"."""
    @property
    def row(self) -> int | None:
        """The row's slot number within its page."""
    @property
    def offset(self) -> int | None:
        """A byte position in the file."""
    @property
    def id(self) -> int | None:
        """The id of the row concerned."""

@final
class Findings:
    """What check() found. Read-only."""
    @property
    def ok(self) -> bool:
        """True when no finding, listed or not, is an error."""
    @property
    def findings(self) -> tuple[Finding, ...]:
        """The first findings (at most the limit), in the order found."""
    @property
    def errors(self) -> int:
        """Every error, listed or not."""
    @property
    def warnings(self) -> int:
        """Every warning, listed or not."""
    @property
    def pages(self) -> int:
        """Whole 4096-byte pages in the file."""
    @property
    def rows(self) -> dict[str, dict[str, int]]:
        """Table name -> {"present": live rows, "absent": deleted ones}."""

def check(source: str | os.PathLike[str] | bytes | bytearray | memoryview, limit: int = 1000) -> Findings:
    """Everything that is wrong with a database file (read whole, whatever it holds) or image.

    Raises Error only when the file cannot be read.
    """

def finding_kinds() -> tuple[tuple[str, str, str], ...]:
    """Every code check() gives, as (code, severity, meaning)."""

def salvage(
    source: str | os.PathLike[str] | bytes | bytearray | memoryview,
) -> tuple[Library, dict[str, int], dict[str, int]]:
    """A new database of every row of a damaged one that can still be read.

    Returns (database, kept, lost): the new Library and, per table name, the rows
    it holds and the rows of the input that could not be kept. Raises Error only
    when the file cannot be read.
    """

# The name of Library in 0.1.
Database = Library
