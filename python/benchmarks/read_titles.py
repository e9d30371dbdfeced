"""Whole-process wall time of dovrel "read" against Python opening the same
database with vantrel_pdb and reading every track's title, the two runs
alternating so that both see the same machine load.

    /usr/bin/python3 python/benchmarks/read_titles.py DOVREL LIBRARY.pdb PACKAGE_DIR [RUNS]

PACKAGE_DIR holds the vantrel_pdb package (build/PRESET/python); build it in
a release build. Prints the best and the median of RUNS (default 5) runs.
"""

import json
import os
import statistics
import subprocess
import sys
import time

# The Python side: import, open, every title, as a library tool would.
TITLES = """
import sys, vantrel_pdb
db = vantrel_pdb.open(sys.argv[1])
print(sum(len(track.title) > 0 for track in db.tracks))
"""


def wall_time(command, stdin, env=None):
    start = time.perf_counter()
    subprocess.run(command, input=stdin, stdout=subprocess.DEVNULL, check=True, env=env)
    return time.perf_counter() - start


def main():
    dovrel, library, package_dir = sys.argv[1:4]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    request = json.dumps({"action": "read", "input": os.path.abspath(library)}).encode()
    env = dict(os.environ, PYTHONPATH=os.path.abspath(package_dir))
    python = [sys.executable, "-c", TITLES, library]
    times = {"dovrel read": [], "python titles": []}
    for _ in range(runs):
        times["dovrel read"].append(wall_time([dovrel], request))
        times["python titles"].append(wall_time(python, None, env))
    for name, values in times.items():
        print(f"{name:14} best {min(values):.3f} s  median {statistics.median(values):.3f} s")
    ratio = min(times["python titles"]) / min(times["dovrel read"])
    print(f"ratio of the best runs: {ratio:.2f}")


if __name__ == "__main__":
    main()
