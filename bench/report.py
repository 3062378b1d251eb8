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
TARGETS = {"ui-tree": 0.12, "screenshot": 0.30, "numbers": 0.20}
SMALL_TARGET = 1.20
INSTRUCTIONS = {"ui-tree": 70, "screenshot": 8, "numbers": 80}
PEAK_KIB = {"ui-tree": 32 * 1024}
ANY_PEAK_KIB = 48 * 1024
DENSE = ["dense-empty-arrays", "dense-zeros", "dense-empty-objects", "dense-repeated-key",
         "dense-distinct-keys", "dense-deep-nesting"]


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
        ok = client / floor <= SMALL_TARGET
        jq_cells = f"– | – | ≤ {SMALL_TARGET:.2f} × floor {'met' if ok else 'MISSED'}"
    met = met and ok
    rss_ok = rss <= PEAK_KIB.get(payload, ANY_PEAK_KIB)
    ins_ok = per_byte <= INSTRUCTIONS.get(payload, float("inf"))
    met = met and rss_ok and ins_ok
    name = f"{payload} ({size} B, {counts['client']} runs)"
    ins_target = f" (≤ {INSTRUCTIONS[payload]})" if payload in INSTRUCTIONS else ""
    print(f"| {name} | {client:.1f} | {floor:.2f} | {jq_cells} | {client / floor:.2f} "
          f"| {rss}{'' if rss_ok else ' MISSED'} "
          f"| {per_byte:.1f}{ins_target}{'' if ins_ok else ' MISSED'}, {floor_per_byte:.2f} |")

print("\nPeak memory of the shapes that hold the most values per byte (target ≤ "
      f"{ANY_PEAK_KIB} KiB each):\n")
print("| reply | size | peak KiB | instructions / byte |")
print("|---|---|---|---|")
for payload in DENSE:
    size = os.path.getsize(os.path.join(work, "payloads", f"{payload}.json"))
    with open(os.path.join(work, f"{payload}.rss")) as f:
        rss = int(f.read().strip().splitlines()[-1])
    per_byte = collected(os.path.join(work, f"{payload}.cg")) / size
    ok = rss <= ANY_PEAK_KIB
    met = met and ok
    print(f"| {payload} | {size} | {rss}{'' if ok else ' MISSED'} | {per_byte:.1f} |")
print(f"\npeak memory targets: ≤ {PEAK_KIB['ui-tree']} KiB ui-tree, ≤ {ANY_PEAK_KIB} KiB any reply")
print("all targets met" if met else "some targets missed")
