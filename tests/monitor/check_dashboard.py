#!/usr/bin/env python3
"""Every drivelore_ metric that the dashboard and the alerting rules name is one that
drivelore-cli metrics exports; every dashboard panel has a query."""
import json
import re
import subprocess
import sys

cli, dashboard, rules = sys.argv[1:4]
text = subprocess.run([cli, "--emulated", "healthy,degraded", "metrics"], check=True,
                      capture_output=True, text=True).stdout
exported = set(re.findall(r"^# TYPE (\S+) ", text, re.M))
assert "drivelore_raid_status" in exported, text[:500]

with open(dashboard) as f:
    board = json.load(f)
exprs = []
for panel in board["panels"]:
    targets = panel.get("targets", [])
    assert targets and all(t.get("expr") for t in targets), f"panel without a query: {panel['title']}"
    exprs += [t["expr"] for t in targets]
exprs += [v.get("query", "") for v in board["templating"]["list"]]
with open(rules) as f:
    exprs.append(f.read())

named = set(re.findall(r"\bdrivelore_[a-z_]+\b", "\n".join(exprs)))
unknown = sorted(named - exported)
if unknown:
    sys.exit(f"not exported by drivelore-cli metrics: {', '.join(unknown)}")
print(f"{len(named)} metric names checked, all exported")
