#!/usr/bin/python3
"""Parses a metrics file with Debian's Prometheus client and compares it with the
expected families and samples. Exit 77 when the parser is not installed."""
import json
import math
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("python3-prometheus-client is not installed")
    sys.exit(77)

text = open(sys.argv[1], encoding="utf-8").read()
expected = json.load(open(sys.argv[2], encoding="utf-8"))

got = {}
types = {}
for family in text_string_to_metric_families(text):
    types[family.name] = family.type
    for s in family.samples:
        key = (s.name, tuple(sorted(s.labels.items())))
        if key in got:
            print("twice:", key)
            sys.exit(1)
        got[key] = s.value

errors = []
for name, typ in expected["families"].items():
    if types.get(name) != typ:
        errors.append("family %s: type %r, expected %r" % (name, types.get(name), typ))
for name in types:
    if name not in expected["families"]:
        errors.append("unexpected family %s (%s)" % (name, types[name]))
want = {}
for name, labels, value in expected["samples"]:
    want[(name, tuple(sorted(labels.items())))] = value
for key, value in want.items():
    if key not in got:
        errors.append("missing %s" % (key,))
    elif not math.isclose(got[key], value, rel_tol=1e-12, abs_tol=1e-12):
        errors.append("%s = %r, expected %r" % (key, got[key], value))
for key in got:
    if key not in want:
        errors.append("unexpected %s = %r" % (key, got[key]))
for e in errors:
    print(e)
sys.exit(1 if errors else 0)
