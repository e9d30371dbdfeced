#!/usr/bin/python3
"""Checks the published JSON Schemas against what dovrel reads and prints.

Usage: check_schemas.py DOVREL SOURCE_DIR WORK_DIR [REPORT_DIR]

Validates every bundled example request against docs/request.schema.json,
runs the examples in order (build, patch, read) in WORK_DIR and validates each
report against docs/report.schema.json, then validates every *.json report
file in REPORT_DIR (reports saved by the command-line tests), if given.
Uses Debian's python3-jsonschema (draft 2020-12).
"""
import json
import pathlib
import subprocess
import sys

import jsonschema


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def validator(path):
    schema = load(path)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def check(v, instance, what):
    errors = sorted(v.iter_errors(instance), key=lambda e: list(e.path))
    for e in errors:
        print(f"{what}: {'/'.join(map(str, e.path))}: {e.message}", file=sys.stderr)
    return not errors


def main():
    dovrel, source, work = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
    report_dir = pathlib.Path(sys.argv[4]) if len(sys.argv) > 4 else None
    request_v = validator(source / "docs/request.schema.json")
    report_v = validator(source / "docs/report.schema.json")
    ok = True
    checked = 0

    work.mkdir(parents=True, exist_ok=True)
    for name in ["library.json", "patch.json", "read.json"]:
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
        ok &= check(report_v, json.loads(run.stdout), f"report of examples/{name}")
        checked += 2

    if report_dir is not None:
        for path in sorted(report_dir.glob("*.json")):
            ok &= check(report_v, load(path), f"report {path.name}")
            checked += 1

    print(f"{checked} passed, {0 if ok else 1} failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
