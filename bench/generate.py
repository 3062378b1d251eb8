#!/usr/bin/env python3
"""Writes the benchmark reply payloads, deterministically, into the folder given.

ui-tree.json      a user-interface tree about 20 levels deep, keys in no particular order
screenshot.json   one object with a base64 image of about 4 MB and a few metadata members
numbers.json      about 120 000 doubles and 60 000 integers
small.json        a reply of about 70 bytes
Each stays under the 4194304-byte frame limit.
"""
import base64
import json
import os
import random
import sys

LIMIT = 4194304
TARGET = 4_000_000

WORDS = ["Fenêtre", "Übersicht", "naïve café", "設定", "ウィンドウ", "保存する", "📁 Documents",
         "🚀 Launch", "Save", "Cancel", "Open…", "Ελληνικά", "Ärger", "Señal", "表示", "😀"]
ROLES = ["AXWindow", "AXGroup", "AXButton", "AXStaticText", "AXTextField", "AXScrollArea",
         "AXToolbar", "AXMenuItem", "AXImage", "AXCheckBox"]


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def ui_node(rng, depth, counter):
    counter[0] += 1
    node = {
        "title": f"{rng.choice(WORDS)} {counter[0]}",
        "role": rng.choice(ROLES),
        "frame": {"y": rng.randrange(0, 20000) / 8, "x": rng.randrange(0, 20000) / 8,
                  "height": rng.randrange(1, 800) * 0.5, "width": rng.randrange(1, 1600) * 0.25},
        "identifier": f"element-{counter[0]:06d}",
        "enabled": rng.random() < 0.8,
        "value": None if rng.random() < 0.5 else rng.choice(WORDS),
    }
    if depth < 20:
        width = 1 if depth < 12 else rng.choice([1, 2, 2, 3])
        node["children"] = [ui_node(rng, depth + 1, counter) for _ in range(width)]
    else:
        node["children"] = []
    return node


def ui_tree(rng):
    windows = []
    counter = [0]
    while True:
        windows.append(ui_node(rng, 1, counter))
        doc = {"success": True, "requestId": "bench", "data": {"windows": windows},
               "error": None, "debugLogs": []}
        if len(compact(doc).encode()) > TARGET:
            windows.pop()
            doc["data"]["windows"] = windows
            return doc


def screenshot(rng):
    image = base64.b64encode(rng.randbytes(2_990_000)).decode()
    return {"success": True, "requestId": "bench", "error": None, "debugLogs": [],
            "data": {"format": "png", "width": 2880, "height": 1800, "scale": 2.0,
                     "display": "Built-in Retina Display", "image": image}}


def numbers(rng):
    specials = [0.1, 1e-7, 123456.789, 12.5, -0.5, 2.5e-7, 1e16, 3.141592653589793]
    integer_specials = [-3, 18446744073709551615, 0, 42]

    def double(i):
        return specials[i % len(specials)] if i % 3 == 0 else rng.uniform(-1e6, 1e6)

    samples = []
    for i in range(60_000):
        count = integer_specials[i % 4] if i % 5 == 0 else rng.randrange(-2**40, 2**40)
        samples.append({"value": double(2 * i), "time": double(2 * i + 1), "count": count})
    return {"success": True, "requestId": "bench", "error": None, "debugLogs": [],
            "data": {"samples": samples}}


def dense_shapes():
    """Replies of about 4 MiB whose shapes hold the most values per byte: the reader's memory
    worst cases."""
    budget = LIMIT - 16
    shapes = {}
    shapes["dense-empty-arrays"] = "[" + ",".join(["[]"] * (budget // 3)) + "]"
    shapes["dense-zeros"] = "[" + ",".join(["0"] * (budget // 2)) + "]"
    shapes["dense-empty-objects"] = "[" + ",".join(["{}"] * (budget // 3)) + "]"
    shapes["dense-repeated-key"] = "{" + ",".join(['"a":0'] * (budget // 6)) + "}"
    keys = []
    size = 2
    i = 0
    while True:
        member = f'"{i:x}":0'
        if size + len(member) + 1 > budget or i >= 400_000:
            break
        keys.append(member)
        size += len(member) + 1
        i += 1
    shapes["dense-distinct-keys"] = "{" + ",".join(keys) + "}"
    deep = "[" * 126 + "]" * 126  # with the outer array, the deepest a reply may be
    shapes["dense-deep-nesting"] = "[" + ",".join([deep] * (budget // (len(deep) + 1))) + "]"
    return shapes


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(20261208)
    documents = {
        "ui-tree.json": ui_tree(rng),
        "screenshot.json": screenshot(rng),
        "numbers.json": numbers(rng),
        "small.json": {"success": True, "requestId": "bench", "data": {"clicked": True},
                       "error": None},
    }
    texts = {name: compact(doc).encode() for name, doc in documents.items()}
    if "--dense" in sys.argv:
        texts.update({name + ".json": text.encode() for name, text in dense_shapes().items()})
    for name, text in texts.items():
        assert len(text) <= LIMIT, (name, len(text))
        with open(os.path.join(folder, name), "wb") as out:
            out.write(text)
        print(f"{name}: {len(text)} bytes")


if __name__ == "__main__":
    main()
