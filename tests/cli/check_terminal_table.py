#!/usr/bin/env python3
"""`dovrel read FILE` on a narrow terminal and through a pipe.

Usage: check_terminal_table.py DOVREL WORKDIR

Builds a database whose titles and artists hold East Asian text and
combining marks, then runs `dovrel read FILE` in a pseudo-terminal 40
columns wide: every line must fit the width (display width measured with
unicodedata) and the table and tree must be there. The same command with
standard output to a pipe must print exactly the bytes of the JSON request
on standard input.
"""
import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
import unicodedata

WIDTH = 40


def display_width(text):
    width = 0
    for c in text:
        if unicodedata.combining(c) or c == "\u200b":
            continue
        width += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return width


def track(id, title, artist, bpm, duration):
    return {"id": id, "title": title, "artist": artist, "album": "", "genre": "", "key": "Am",
            "audioPath": f"/music/{id}.mp3", "analysisPath": "", "artworkPath": "", "bpm": bpm,
            "duration": duration, "sampleRate": 44100, "fileSize": 1000}


def run_in_terminal(argv):
    """Runs argv with standard output on a pty WIDTH columns wide; returns its output."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, WIDTH, 0, 0))
    # No newline translation, so that the bytes are the tool's own.
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    env = dict(os.environ)
    env.pop("COLUMNS", None)
    child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE, env=env)
    os.close(slave)
    out = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    err = child.stderr.read()
    if child.wait() != 0:
        sys.exit(f"FAIL: {argv} exited {child.returncode}: {err!r}")
    return out


def main():
    dovrel, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    database = os.path.join(work, "wide.pdb")
    request = {
        "tracks": [
            track(1, "東京の夜明け・ナイトドライブ・エクステンデッド", "香織とオーケストラ", 124.0, 301),
            track(2, "Cafe\u0301 Ole\u0301 \u2014 the long version of the song", "Mo\u0308tley Cre\u0301w", 130.5, 3661),
            track(3, "서울의 밤 (Extended Mix)", "한국 아티스트 그룹", 99.99, 61),
            track(4, "ＦＵＬＬＷＩＤＴＨ ＴＩＴＬＥ", "a\u200bb", 90.0, 5),
        ],
        "playlists": [
            {"id": 1, "name": "ギグ", "parentId": 0, "isFolder": True, "tracks": []},
            {"id": 2, "name": "ウォームアップとクールダウンのとても長い名前", "parentId": 1, "isFolder": False,
             "tracks": [2, 1]},
        ],
    }
    built = subprocess.run([dovrel, "build", "-", "-o", database, "--json"], input=json.dumps(request).encode(),
                           capture_output=True)
    if built.returncode != 0:
        sys.exit(f"FAIL: build: {built.stderr!r}")

    shown = run_in_terminal([dovrel, "read", database]).decode("utf-8")
    lines = shown.split("\n")
    if lines[-1] != "":
        sys.exit("FAIL: the output does not end with a line feed")
    for line in lines[:-1]:
        if display_width(line) > WIDTH:
            sys.exit(f"FAIL: {display_width(line)} columns > {WIDTH}: {line!r}")
    for expected in ("ID", "ARTIST", "TITLE", "BPM", "5:01", "1:01:01", "130.5", "4 tracks", "ギグ/", "(2)"):
        if expected not in shown:
            sys.exit(f"FAIL: {expected!r} not shown:\n{shown}")
    if "\u2026" not in shown:
        sys.exit(f"FAIL: nothing was cut to fit:\n{shown}")

    piped = subprocess.run([dovrel, "read", database], capture_output=True, check=True).stdout
    by_json = subprocess.run([dovrel], input=json.dumps({"action": "read", "input": database}).encode(),
                             capture_output=True, check=True).stdout
    if piped != by_json:
        sys.exit("FAIL: `dovrel read FILE` into a pipe is not the JSON path's output")
    json.loads(piped)
    print(shown, end="")
    print("ok: the terminal table fits", WIDTH, "columns; the pipe gets the JSON path's bytes")


if __name__ == "__main__":
    main()
