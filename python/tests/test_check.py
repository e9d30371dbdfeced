"""check(): a database made through the module checks clean; damage gives
findings with their places; a file cut short is checked, not refused."""

import pytest

import vantrel_pdb

PAGE = 4096


def test_sound_database_has_no_findings(image, tmp_path):
    for source in (image, bytearray(image), memoryview(image)):
        findings = vantrel_pdb.check(source)
        assert findings.ok and findings.findings == () and findings.errors == findings.warnings == 0
    path = tmp_path / "library.pdb"
    path.write_bytes(image)
    findings = vantrel_pdb.check(path)
    assert findings.ok and findings.pages == len(image) // PAGE
    assert findings.rows["tracks"] == {"present": 3, "absent": 0}
    assert findings.rows["playlistTree"] == {"present": 3, "absent": 0}
    assert set(findings.rows) >= {"tracks", "artists", "historyEntries", "kind19"}


def test_damage_gives_placed_findings(image):
    damaged = bytearray(image)
    damaged[2 * PAGE + 4] ^= 0x01  # the first track page's own index
    findings = vantrel_pdb.check(damaged)
    assert not findings.ok and findings.errors == 1
    (finding,) = findings.findings
    assert (finding.severity, finding.code, finding.page, finding.table) == ("error", "page-identity", 2, "tracks")
    assert finding.offset == 2 * PAGE + 4 and finding.row is None and finding.id is None
    assert "page 2" in finding.message and repr(finding).startswith("Finding('error', 'page-identity'")


def test_cut_file_is_checked_and_limit_bounds_the_list(image, tmp_path):
    path = tmp_path / "cut.pdb"
    path.write_bytes(image[: len(image) - PAGE - 100])
    findings = vantrel_pdb.check(str(path), limit=1)
    assert not findings.ok and len(findings.findings) == 1 and findings.errors > 1
    assert findings.findings[0].code == "file-length"


def test_only_an_unreadable_file_raises(tmp_path):
    with pytest.raises(vantrel_pdb.Error, match=r"^No such file or directory \(os error 2\)$"):
        vantrel_pdb.check(tmp_path / "absent.pdb")
    assert not vantrel_pdb.check(b"").ok
    with pytest.raises(TypeError):
        vantrel_pdb.check(b"", limit=-1)


def test_finding_kinds_name_every_code_once():
    kinds = vantrel_pdb.finding_kinds()
    codes = [code for code, _, _ in kinds]
    assert len(codes) == len(set(codes)) and "orphan-playlist" in codes
    assert {severity for _, severity, _ in kinds} == {"error", "warning"}
    assert all(meaning for _, _, meaning in kinds)


def test_salvage_of_a_sound_database_reads_as_it(image, tmp_path):
    database, kept, lost = vantrel_pdb.salvage(image)
    original = vantrel_pdb.open(image)
    assert [t.title for t in database.tracks] == [t.title for t in original.tracks]
    assert [(p.id, p.name, p.parent_id, p.sort_order, p.tracks) for p in database.playlists] == [
        (p.id, p.name, p.parent_id, p.sort_order, p.tracks) for p in original.playlists]
    assert kept["tracks"] == 3 and kept["playlistTree"] == 3 and set(lost.values()) == {0}
    path = tmp_path / "rescued.pdb"
    database.save(path)
    assert vantrel_pdb.check(path).findings == ()


def test_salvage_keeps_the_pages_that_still_read(image, tmp_path):
    cut = tmp_path / "cut.pdb"
    cut.write_bytes(image[: 2 * PAGE] + b"\0" * PAGE + image[3 * PAGE:])  # the track page zeroed
    database, kept, lost = vantrel_pdb.salvage(cut)
    assert len(database.tracks) == 0 and kept["tracks"] == 0
    assert [p.tracks for p in database.playlists] == [(), (), ()]
    assert lost["playlistEntries"] == 4
    assert vantrel_pdb.check(database.to_bytes()).ok
    with pytest.raises(vantrel_pdb.Error, match=r"^No such file or directory \(os error 2\)$"):
        vantrel_pdb.salvage(tmp_path / "absent.pdb")
