"""Writes two build requests into WORK: build.json of COUNT tracks and
small.json of two, each with one playlist of all its tracks and "OUTPUT"
as the output, for the shell tests to aim with sed.

Usage: write_build_requests.py WORK COUNT
"""
import json
import sys


def track(i):
    return {"id": i, "title": f"Title {i} " + "x" * 40, "artist": f"Artist {i % 700}", "album": f"Album {i % 900}",
            "genre": f"Genre {i % 30}", "key": "Am", "audioPath": f"/music/{i}.mp3", "analysisPath": f"/an/{i}.dat",
            "artworkPath": "", "bpm": 90, "duration": 200, "sampleRate": 44100, "fileSize": 1000 + i}


def main():
    work, count = sys.argv[1], int(sys.argv[2])
    for name, n in (("build.json", count), ("small.json", 2)):
        with open(f"{work}/{name}", "w") as out:
            json.dump({"action": "build", "output": "OUTPUT", "tracks": [track(i) for i in range(1, n + 1)],
                       "playlists": [{"id": 1, "name": "All", "parentId": 0, "isFolder": False,
                                      "tracks": list(range(1, n + 1))}]}, out)


if __name__ == "__main__":
    main()
