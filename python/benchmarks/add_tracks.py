"""Python add_track with random track ids against ids crafted to collide in a
table that hashes an integer to itself (multiples of such a table's bucket
count, and of 2**16), the kinds alternating so that all see the same load.

    /usr/bin/python3 python/benchmarks/add_tracks.py PACKAGE_DIR [TRACKS] [RUNS]

PACKAGE_DIR holds the vantrel_pdb package (build/PRESET/python); build it in
a release build. Each run is a process of its own that adds TRACKS (default
40,000) tracks to a new library and commits; the time of the additions and
the commit is taken inside it. Prints the best and the median of RUNS
(default 5) runs per kind, and each kind's best against random's.
"""

import os
import statistics
import subprocess
import sys

ADD = """
import random, sys, time, vantrel_pdb
n, kind = int(sys.argv[1]), sys.argv[2]
if kind == "random":
    ids = random.Random(1).sample(range(1, 2**32), n)
else:
    ids = [(i + 1) * int(kind) for i in range(n)]
db = vantrel_pdb.create()
start = time.perf_counter()
for i, track_id in enumerate(ids):
    db.add_track(id=track_id, title=f"Track {i}", artist=f"Artist {i // 5}", audio_path=f"/music/{i}.mp3")
db.commit()
print(time.perf_counter() - start)
"""


def bucket_count(n):
    """The bucket count that the C++ standard library (libstdc++) gives a table
    of n integers as it grows: its primes for the sizes used here."""
    for prime in (1109, 2357, 5087, 10273, 20753, 42043, 85229, 172933):
        if prime >= n:
            return prime
    raise SystemExit("too many tracks for crafted 32-bit ids")


def main():
    package_dir = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 40000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    env = dict(os.environ, PYTHONPATH=os.path.abspath(package_dir))
    kinds = {"random": "random", "table size": str(bucket_count(n)), "2^16": str(1 << 16)}
    times = {name: [] for name in kinds}
    for _ in range(runs):
        for name, kind in kinds.items():
            if kind != "random" and int(kind) * n >= 2**32:
                continue
            out = subprocess.run([sys.executable, "-c", ADD, str(n), kind], env=env, check=True,
                                 capture_output=True, text=True).stdout
            times[name].append(float(out))
    best_random = min(times["random"])
    for name, values in times.items():
        if values:
            print(f"{n} tracks, ids {name:10} best {min(values):.3f} s  median {statistics.median(values):.3f} s"
                  f"  best / random {min(values) / best_random:.2f}")


if __name__ == "__main__":
    main()
