#!/usr/bin/env python3
"""Checks quillora-get reports against docs/quillora-get-report.schema.json.

    validate_report.py SCHEMA REPORT...

Prints every violation and exits 1 when there is one; 0 when all are valid.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    bad = 0
    for path in sys.argv[2:]:
        try:
            with open(path, encoding="utf-8") as f:
                report = json.load(f)
        except ValueError as e:
            print("%s: not JSON: %s" % (path, e))
            bad += 1
            continue
        for error in validator.iter_errors(report):
            print("%s: at /%s: %s" % (path, "/".join(str(p) for p in error.absolute_path), error.message))
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
