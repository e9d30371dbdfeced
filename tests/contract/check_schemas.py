#!/usr/bin/python3
"""Checks the published JSON Schemas against what dovrel reads and prints.

Usage: check_schemas.py DOVREL SOURCE_DIR WORK_DIR [REPORT_DIR]

Validates every bundled example request against docs/request.schema.json,
runs the examples in order (build, patch, read, the exports) in WORK_DIR and
validates each line printed against the schema of its kind (the report,
docs/summary.schema.json for "report": "summary", docs/export.schema.json
for "export"), then checks the request schema both ways on a table of
requests: each one the schema accepts, dovrel carries out (exit 0, a line
its schema accepts; for "scan", a build request the request schema accepts;
docs/check.schema.json for "check", docs/salvage.schema.json for "salvage"),
and each one it rejects, dovrel refuses (exit 1). Last it validates every
*.json file in REPORT_DIR (lines saved by the command-line tests, and the
requests that "scan" printed there), if given, against one of those schemas.
examples/scan.json is validated too; scripts/example.sh runs it.
Uses Debian's python3-jsonschema (draft 2020-12).
"""
import json
import pathlib
import subprocess
import sys
import wave

import jsonschema


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def validator(path, *others):
    """A validator of the schema at path, which may refer to the others by $id."""
    schema = load(path)
    jsonschema.Draft202012Validator.check_schema(schema)
    if not others:
        return jsonschema.Draft202012Validator(schema)
    store = {other["$id"]: other for other in map(load, others)}
    try:
        import referencing  # jsonschema 4.18 and later
        registry = referencing.Registry().with_resources(
            (uri, referencing.Resource.from_contents(contents)) for uri, contents in store.items())
        return jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)


def check(v, instance, what):
    errors = sorted(v.iter_errors(instance), key=lambda e: list(e.path))
    for e in errors:
        print(f"{what}: {'/'.join(map(str, e.path))}: {e.message}", file=sys.stderr)
    return not errors


# A track that dovrel builds; cases change one field at a time.
TRACK = {"id": 1, "title": "Low Sun", "artist": "Ines Varga", "album": "Coastline", "genre": "Dub", "key": "Fm",
         "audioPath": "/music/low-sun.mp3", "analysisPath": "/analysis/low-sun.dat", "artworkPath": "",
         "bpm": 118.5, "duration": 250, "sampleRate": 44100, "fileSize": 9000000}
PLAYLIST = {"id": 1, "name": "Evening", "parentId": 0, "isFolder": False, "tracks": [1]}
# Placeholders for paths in WORK_DIR: an existing database, a fresh output and
# a folder of music to scan.
IN, OUT, MUSIC = "@in@", "@out@", "@music@"


def scan(**request):
    return {"action": "scan", "root": MUSIC, "output": OUT, **request}


def build(track_changes=None, playlist_changes=None, **request):
    track = dict(TRACK, **(track_changes or {}))
    playlist = dict(PLAYLIST, **(playlist_changes or {}))
    return {"action": "build", "output": OUT, "tracks": [track], "playlists": [playlist], **request}


def edit(*changes, **request):
    return {"action": "edit", "input": IN, "output": OUT, "changes": list(changes), **request}


# (what, request, whether the schema and dovrel accept it). Each rejected
# case breaks one rule that the schema states and dovrel enforces.
CASES = [
    ("read", {"action": "read", "input": IN}, True),
    ("read, unknown key and null output ignored", {"action": "read", "input": IN, "output": None, "x": [1]}, True),
    ("read without input", {"action": "read"}, False),
    ("read with null input", {"action": "read", "input": None}, False),
    ("unknown action", {"action": "Read", "input": IN}, False),
    ("empty action", {"action": "", "input": IN}, False),
    ("no action", {"input": IN}, False),
    ("patch", {"action": "patch", "input": IN, "output": OUT, "keepTracks": None, "tempos": {"1": 12000}}, True),
    ("patch without output", {"action": "patch", "input": IN}, False),
    ("patch without input", {"action": "patch", "output": OUT}, False),
    ("build, nothing in it", {"action": "build", "output": OUT}, True),
    ("build", build(), True),
    ("build without output", {k: v for k, v in build().items() if k != "output"}, False),
    ("build with null output", build(output=None), False),
    ("extension in another case", build({"audioPath": "/music/a.FlAc"}), True),
    ("every extension", {"action": "build", "output": OUT, "tracks": [
        dict(TRACK, id=i, audioPath=f"/m/t.{ext}") for i, ext in enumerate(
            ["mp3", "m4a", "aac", "flac", "alac", "wav", "aif", "AIFF"], start=1)]}, True),
    ("extension alone, no dot", build({"audioPath": "wav"}), True),
    ("extension outside the table", build({"audioPath": "/music/a.ogg"}), False),
    ("extension name without its dot", build({"audioPath": "/music/flac"}), False),
    ("extension before the last dot", build({"audioPath": "/music/a.mp3.bak"}), False),
    ("no extension", build({"audioPath": ""}), False),
    ("artwork of 126 ASCII bytes", build({"artworkPath": "/" + "a" * 125}), True),
    ("artwork of 127 bytes", build({"artworkPath": "/" + "a" * 126}), False),
    ("artwork not ASCII", build({"artworkPath": "/art/caf\u00e9.jpg"}), False),
    ("track id 0 without artwork", build({"id": 0}, {"tracks": [0]}), True),
    ("track id 0 with artwork", build({"id": 0, "artworkPath": "/art/0.jpg"}, {"tracks": [0]}), False),
    ("playlist id 0", build(None, {"id": 0}), False),
    ("track without fileSize", {"action": "build", "output": OUT,
                                "tracks": [{k: v for k, v in TRACK.items() if k != "fileSize"}]}, False),
    ("duration beyond 16 bits", build({"duration": 65536}), False),
    ("rating beyond 8 bits", build({"rating": 256}), False),
    ("negative sample rate", build({"sampleRate": -1}), False),
    ("bpm as a string", build({"bpm": "120"}), False),
    ("tempo key not decimal", {"action": "patch", "input": IN, "output": OUT, "tempos": {"x": 1}}, False),
    ("scan", scan(), True),
    ("scan of folders, with artwork, other actions' keys ignored",
     scan(folders=["a", "./a/"], artworkFolder="art", input=None, tracks=5, tempos=[]), True),
    ("scan, folders null", scan(folders=None, artworkFolder=None), True),
    ("read ignores the keys of scan", {"action": "read", "input": IN, "root": 5, "folders": "x"}, True),
    ("scan without root", {"action": "scan", "output": OUT}, False),
    ("scan with an empty root", scan(root=""), False),
    ("scan without output", {"action": "scan", "root": MUSIC}, False),
    ("scan with null output", scan(output=None), False),
    ("scan of an absolute folder", scan(folders=["/etc"]), False),
    ("scan folders not an array", scan(folders="a"), False),
    ("scan artwork folder not ASCII", scan(artworkFolder="caf\u00e9"), False),
    ("scan artwork folder absolute", scan(artworkFolder="/art"), False),
    ("scan artwork folder with a backslash", scan(artworkFolder="a\\b"), False),
    ("scan input not a string", scan(input=5), False),
    ("build, summary report", build(report="summary"), True),
    ("build, full report", build(report="full"), True),
    ("build, report misspelt", build(report="short"), False),
    ("build, report null", build(report=None), False),
    ("patch, summary report", {"action": "patch", "input": IN, "output": OUT, "report": "summary"}, True),
    ("read skips report", {"action": "read", "input": IN, "report": "short"}, True),
    ("export m3u8", {"action": "export", "format": "m3u8", "input": IN, "output": OUT, "root": "/media/stick"}, True),
    ("export csv", {"action": "export", "format": "csv", "input": IN, "output": OUT, "root": None}, True),
    ("export html", {"action": "export", "format": "html", "input": IN, "output": OUT, "root": ""}, True),
    ("export skips other keys", {"action": "export", "format": "csv", "input": IN, "output": OUT, "tracks": 5,
                                 "report": "x", "tempos": []}, True),
    ("export without format", {"action": "export", "input": IN, "output": OUT}, False),
    ("export format in capitals", {"action": "export", "format": "CSV", "input": IN, "output": OUT}, False),
    ("export without input", {"action": "export", "format": "csv", "output": OUT}, False),
    ("export with null output", {"action": "export", "format": "csv", "input": IN, "output": None}, False),
    ("edit, no changes", edit(), True),
    ("edit, every op", edit(
        {"op": "addTracks", "tracks": [dict(TRACK, id=9001)]},
        {"op": "setTrack", "id": 101, "rating": 5, "comment": "closing", "label": "Tidal", "bpm": 121.5,
         "audioPath": "/music/new.flac", "artworkPath": "/art/101.jpg"},
        {"op": "removeTracks", "ids": [102]},
        {"op": "addPlaylists", "playlists": [dict(PLAYLIST, id=31, tracks=[9001, 101])]},
        {"op": "renamePlaylist", "id": 21, "name": "Saturday"},
        {"op": "movePlaylist", "id": 22, "parentId": 10, "position": 0},
        {"op": "movePlaylist", "id": 31, "parentId": 0},
        {"op": "setPlaylistTracks", "id": 21, "tracks": [101, 101]},
        {"op": "removePlaylists", "ids": [11]}), True),
    ("edit, summary report", edit(report="summary"), True),
    ("edit skips unknown top-level keys", edit(skipped=[], tracks=5, tempos=[]), True),
    ("edit without input", {k: v for k, v in edit().items() if k != "input"}, False),
    ("edit without output", {k: v for k, v in edit().items() if k != "output"}, False),
    ("edit without changes", {k: v for k, v in edit().items() if k != "changes"}, False),
    ("edit, changes not an array", edit(changes={}), False),
    ("edit, report misspelt", edit(report="short"), False),
    ("edit, unknown op", edit({"op": "frob"}), False),
    ("edit, change without op", edit({"id": 101}), False),
    ("edit, unknown key in a change", edit({"op": "setTrack", "id": 101, "colour": "red"}), False),
    ("edit, a key of another op", edit({"op": "renamePlaylist", "id": 21, "name": "x", "position": 0}), False),
    ("edit, setTrack without id", edit({"op": "setTrack", "rating": 1}), False),
    ("edit, setTrack extension outside the table", edit({"op": "setTrack", "id": 101, "audioPath": "/a.ogg"}),
     False),
    ("edit, setTrack rating beyond 8 bits", edit({"op": "setTrack", "id": 101, "rating": 256}), False),
    ("edit, setTrack artwork not ASCII", edit({"op": "setTrack", "id": 101, "artworkPath": "/caf\u00e9.jpg"}), False),
    ("edit, addTracks track without fileSize",
     edit({"op": "addTracks", "tracks": [{k: v for k, v in TRACK.items() if k != "fileSize"}]}), False),
    ("edit, movePlaylist without parentId", edit({"op": "movePlaylist", "id": 21}), False),
    ("edit, negative position", edit({"op": "movePlaylist", "id": 21, "parentId": 0, "position": -1}), False),
    ("edit, removeTracks ids not an array", edit({"op": "removeTracks", "ids": 101}), False),
    ("edit, renamePlaylist name null", edit({"op": "renamePlaylist", "id": 21, "name": None}), False),
    ("edit, addPlaylists playlist id 0", edit({"op": "addPlaylists", "playlists": [dict(PLAYLIST, id=0)]}), False),
    ("export root not a string", {"action": "export", "format": "csv", "input": IN, "output": OUT, "root": 5}, False),
    ("check", {"action": "check", "input": IN}, True),
    ("check with a limit", {"action": "check", "input": IN, "limit": 0}, True),
    ("check skips the keys of other actions", {"action": "check", "input": IN, "tracks": 5, "output": [1]}, True),
    ("check of a file cut short", {"action": "check", "input": "@cut@"}, True),
    ("check without input", {"action": "check", "limit": 5}, False),
    ("check with null input", {"action": "check", "input": None}, False),
    ("check with a negative limit", {"action": "check", "input": IN, "limit": -1}, False),
    ("check with a limit beyond 32 bits", {"action": "check", "input": IN, "limit": 4294967296}, False),
    ("salvage", {"action": "salvage", "input": IN, "output": OUT, "limit": 5}, True),
    ("salvage of a file cut short", {"action": "salvage", "input": "@cut@", "output": OUT}, True),
    ("salvage skips the keys of other actions", {"action": "salvage", "input": IN, "output": OUT, "tracks": 1}, True),
    ("salvage without output", {"action": "salvage", "input": IN}, False),
    ("salvage with null output", {"action": "salvage", "input": IN, "output": None}, False),
    ("salvage without input", {"action": "salvage", "output": OUT}, False),
    ("salvage with a limit as a string", {"action": "salvage", "input": IN, "output": OUT, "limit": "5"}, False),
]


def fill(value, paths):
    if isinstance(value, dict):
        return {k: fill(v, paths) for k, v in value.items()}
    if isinstance(value, list):
        return [fill(v, paths) for v in value]
    return paths.get(value, value) if isinstance(value, str) else value


def make_music(root):
    """A folder to scan: two WAV files of silence (written with Python's wave
    module) and a playlist."""
    (root / "a").mkdir(parents=True, exist_ok=True)
    for name in ["a/one.wav", "two.wav"]:
        with wave.open(str(root / name), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(44100)
            w.writeframes(bytes(4 * 4410))
    (root / "a" / "list.m3u").write_text("one.wav\n../two.wav\nmissing.wav\n")


def line_validator(request, validators):
    """The validator of the line that `request` makes dovrel print: "scan"
    prints a build request."""
    if request.get("action") == "scan":
        return validators["request"]
    if request.get("action") in ("export", "check", "salvage"):
        return validators[request["action"]]
    if request.get("action") in ("build", "patch", "edit") and request.get("report") == "summary":
        return validators["summary"]
    return validators["report"]


def check_cases(dovrel, request_v, validators, work, database):
    """Runs CASES; returns (passed, failed)."""
    passed = failed = 0
    music = work / "music-root"
    make_music(music)
    cut = work / "cut.pdb"
    cut.write_bytes(database.read_bytes()[:-1000])
    for number, (what, request, accepted) in enumerate(CASES):
        output = work / f"case-{number}.pdb"
        request = fill(request, {IN: str(database), OUT: str(output), MUSIC: str(music), "@cut@": str(cut)})
        errors = list(request_v.iter_errors(request))
        run = subprocess.run([dovrel], input=json.dumps(request).encode(), capture_output=True)
        problems = []
        if accepted != (not errors):
            problems.append("schema " + ("rejects it: " + errors[0].message if errors else "accepts it"))
        if accepted and run.returncode != 0:
            problems.append(f"dovrel refuses it: {run.stderr.decode().strip()}")
        elif accepted and not check(line_validator(request, validators), json.loads(run.stdout),
                                    f"line of case '{what}'"):
            problems.append("its line does not validate")
        if not accepted and run.returncode != 1:
            problems.append(f"dovrel exits {run.returncode} instead of refusing it")
        for problem in problems:
            print(f"case '{what}': {problem}", file=sys.stderr)
        passed += not problems
        failed += bool(problems)
    return passed, failed


def main():
    dovrel, source, work = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
    report_dir = pathlib.Path(sys.argv[4]) if len(sys.argv) > 4 else None
    request_v = validator(source / "docs/request.schema.json")
    validators = {kind: validator(source / f"docs/{kind}.schema.json") for kind in ("report", "summary", "export")}
    validators["request"] = request_v
    validators["check"] = validator(source / "docs/check.schema.json")
    validators["salvage"] = validator(source / "docs/salvage.schema.json", source / "docs/check.schema.json")
    ok = True
    checked = 0

    work.mkdir(parents=True, exist_ok=True)
    for name in ["library.json", "patch.json", "read.json", "export-m3u8.json", "export-csv.json",
                 "export-html.json"]:
        request = load(source / "examples" / name)
        ok &= check(request_v, request, f"examples/{name}")
        for key in ["input", "output"]:
            if isinstance(request.get(key), str):
                request[key] = str(work / pathlib.Path(request[key]).name)
        run = subprocess.run([dovrel], input=json.dumps(request).encode(), capture_output=True)
        if run.returncode != 0:
            print(f"examples/{name}: dovrel failed: {run.stderr.decode()}", file=sys.stderr)
            ok = False
            continue
        ok &= check(line_validator(request, validators), json.loads(run.stdout), f"line of examples/{name}")
        checked += 2

    ok &= check(request_v, load(source / "examples/scan.json"), "examples/scan.json")
    checked += 1

    passed, failed = check_cases(dovrel, request_v, validators, work, work / "library.pdb")
    checked += passed
    ok &= failed == 0

    if report_dir is not None:
        # "scan" prints a request, not a report: it is checked against the
        # request schema when the schema knows its action ("edit" comes with
        # the issue that adds it).
        actions = load(source / "docs/request.schema.json")["properties"]["action"]["enum"]
        for path in sorted(report_dir.glob("*.json")):
            line = load(path)
            if "action" in line:
                if line["action"] not in actions:
                    continue
                ok &= check(request_v, line, f"printed request {path.name}")
            elif not any(v.is_valid(line) for k, v in validators.items() if k != "request"):
                ok &= check(validators["report"], line, f"line {path.name}")
            checked += 1

    print(f"{checked} passed, {0 if ok else max(failed, 1)} failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
