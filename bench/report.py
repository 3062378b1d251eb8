#!/usr/bin/env python3
"""Prints the benchmark table from the files bench/run.sh leaves in its work folder, then every
target with its figure and whether it is met."""
import json
import os
import platform
import re
import statistics
import sys
from datetime import date

work, rounds = sys.argv[1], int(sys.argv[2])
LARGE = ["ui-tree", "screenshot", "numbers"]
# The client's time against jq -S . and against the re-indenter, and its instructions per input
# byte, per large reply; a small reply's time and peak memory against the floor client's.
JQ_TARGETS = {"ui-tree": 0.12, "screenshot": 0.30, "numbers": 0.20}
REINDENT_TARGETS = {"ui-tree": 1.5, "screenshot": 1.2, "numbers": 1.5}
INSTRUCTIONS = {"ui-tree": 45, "screenshot": 3.4, "numbers": 55}
SMALL_TIME = 1.10
SMALL_PEAK = 1.20
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


def peak(path):
    # The median of the runs' peak resident sizes, in KiB.
    with open(path) as f:
        # /usr/bin/time writes a line of its own before the figure when the status is not 0.
        return int(statistics.median(int(line) for line in f.read().splitlines()
                                     if line.strip().isdigit()))


def size_of(payload):
    return os.path.getsize(os.path.join(work, "payloads", f"{payload}.json"))


checks = []  # (what, figure, target, met)


def check(what, figure, target, met):
    checks.append((what, figure, target, met))
    return "" if met else " MISSED"


cpu = "unknown"
try:
    with open("/proc/cpuinfo") as f:
        cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
except (OSError, AttributeError):
    pass
load = " ".join(f"{x:.2f}" for x in os.getloadavg())
print(f"\n{date.today()}, {platform.system()} {platform.machine()}, {os.cpu_count()} cores, {cpu}, "
      f"load average {load}\n")
print("| reply | client ms | floor ms | re-indenter ms | jq -S . ms | client / re-indenter "
      "| client / jq | client / floor | peak KiB (client, floor) "
      "| instructions / byte (client, re-indenter, floor) |")
print("|---|---|---|---|---|---|---|---|---|---|")
for payload in LARGE + ["small"]:
    medians, counts = times(payload)
    size = size_of(payload)
    rss, floor_rss = peak(os.path.join(work, f"{payload}.rss")), \
        peak(os.path.join(work, f"{payload}.floor.rss"))
    per_byte = {who: collected(os.path.join(work, f"{payload}{suffix}.cg")) / size
                for who, suffix in [("client", ""), ("reindent", ".reindent"), ("floor", ".floor")]}
    client, floor = medians["client"], medians["floor"]
    name = f"{payload} ({size} B, {counts['client']} runs)"
    if payload in LARGE:
        reindent, jq = medians["reindent"], medians["jq"]
        r_mark = check(f"{payload}: client / re-indenter time", f"{client / reindent:.2f}",
                       f"≤ {REINDENT_TARGETS[payload]}",
                       client / reindent <= REINDENT_TARGETS[payload])
        j_mark = check(f"{payload}: client / jq -S . time", f"{client / jq:.3f}",
                       f"≤ {JQ_TARGETS[payload]}", client / jq <= JQ_TARGETS[payload])
        i_mark = check(f"{payload}: client instructions / input byte", f"{per_byte['client']:.2f}",
                       f"≤ {INSTRUCTIONS[payload]}",
                       per_byte["client"] <= INSTRUCTIONS[payload])
        limit = PEAK_KIB.get(payload, ANY_PEAK_KIB)
        p_mark = check(f"{payload}: client peak memory KiB", f"{rss}", f"≤ {limit}", rss <= limit)
        print(f"| {name} | {client:.1f} | {floor:.2f} | {reindent:.1f} | {jq:.1f} "
              f"| {client / reindent:.2f}{r_mark} | {client / jq:.3f}{j_mark} "
              f"| {client / floor:.2f} | {rss}{p_mark}, {floor_rss} "
              f"| {per_byte['client']:.2f}{i_mark}, {per_byte['reindent']:.2f}, "
              f"{per_byte['floor']:.2f} |")
    else:
        t_mark = check("small: client / floor time", f"{client / floor:.2f}", f"≤ {SMALL_TIME}",
                       client / floor <= SMALL_TIME)
        p_mark = check("small: client / floor peak memory", f"{rss / floor_rss:.2f}",
                       f"≤ {SMALL_PEAK}", rss <= SMALL_PEAK * floor_rss)
        print(f"| {name} | {client:.2f} | {floor:.2f} | – | – | – | – "
              f"| {client / floor:.2f}{t_mark} | {rss}{p_mark}, {floor_rss} "
              f"| {per_byte['client']:.0f}, –, {per_byte['floor']:.0f} |")

print("\nPeak memory of the shapes that hold the most values per byte:\n")
print("| reply | size | peak KiB | instructions / byte |")
print("|---|---|---|---|")
for payload in DENSE:
    size = size_of(payload)
    rss = peak(os.path.join(work, f"{payload}.rss"))
    per_byte = collected(os.path.join(work, f"{payload}.cg")) / size
    mark = check(f"{payload}: client peak memory KiB", f"{rss}", f"≤ {ANY_PEAK_KIB}",
                 rss <= ANY_PEAK_KIB)
    print(f"| {payload} | {size} | {rss}{mark} | {per_byte:.1f} |")

print("\nTargets (times are medians measured side by side in this run; instruction counts by "
      "callgrind):\n")
for what, figure, target, met in checks:
    print(f"- {'met   ' if met else 'MISSED'} {what}: {figure} (target {target})")
missed = sum(1 for c in checks if not c[3])
print(f"\n{'all targets met' if missed == 0 else f'{missed} of {len(checks)} targets missed'}")
