#!/usr/bin/env python3
"""Prints the benchmark table from the files bench/run.sh leaves in its work folder."""
import json
import os
import platform
import re
import statistics
import subprocess
import sys
from datetime import date

work, rounds = sys.argv[1], int(sys.argv[2])
TARGETS = {"ui-tree": 0.20, "screenshot": 0.40, "numbers": 0.25}


def times(payload):
    runs = {}
    for r in range(1, rounds + 1):
        with open(os.path.join(work, f"{payload}.{r}.json")) as f:
            for result in json.load(f)["results"]:
                runs.setdefault(result["command"], []).extend(result["times"])
    return {name: statistics.median(t) * 1000 for name, t in runs.items()}, \
        {name: len(t) for name, t in runs.items()}


def collected(path):
    with open(path) as f:
        found = re.search(r"Collected : (\d+)", f.read())
    return int(found.group(1)) if found else 0


cpu = "unknown"
try:
    with open("/proc/cpuinfo") as f:
        cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
except (OSError, AttributeError):
    pass
print(f"\n{date.today()}, {platform.system()} {platform.machine()}, {os.cpu_count()} cores, {cpu}\n")
print("| reply | client ms | floor ms | jq -S . ms | client / jq | target | client / floor "
      "| peak KiB | instructions / byte (client, floor) |")
print("|---|---|---|---|---|---|---|---|---|")
met = True
for payload in ["ui-tree", "screenshot", "numbers", "small"]:
    medians, counts = times(payload)
    size = os.path.getsize(os.path.join(work, "payloads", f"{payload}.json"))
    with open(os.path.join(work, f"{payload}.rss")) as f:
        rss = int(f.read().strip().splitlines()[-1])
    per_byte = collected(os.path.join(work, f"{payload}.cg")) / size
    floor_per_byte = collected(os.path.join(work, f"{payload}.floor.cg")) / size
    client, floor = medians["client"], medians["floor"]
    jq = medians.get("jq")
    if jq is not None:
        ratio = client / jq
        ok = ratio <= TARGETS[payload]
        jq_cells = f"{jq:.1f} | {ratio:.3f} | ≤ {TARGETS[payload]:.2f} {'met' if ok else 'MISSED'}"
    else:
        ok = client / floor <= 1.25
        jq_cells = f"– | – | ≤ 1.25 × floor {'met' if ok else 'MISSED'}"
    met = met and ok
    if payload == "ui-tree":
        met = met and rss <= 48 * 1024
    name = f"{payload} ({size} B, {counts['client']} runs)"
    print(f"| {name} | {client:.1f} | {floor:.2f} | {jq_cells} | {client / floor:.2f} | {rss} "
          f"| {per_byte:.1f}, {floor_per_byte:.2f} |")
print("\npeak memory target for ui-tree: ≤ 49152 KiB")
print("all targets met" if met else "some targets missed")
