#!/usr/bin/env python3
"""Checks that the modules include one another only downwards.

Each module of the library and its programs sits in one layer; a file may
include headers of its own module and of modules in lower layers only, so
the modules form no cycle. Tests sit above every module: a file in a
tests/ folder may include any module (it is not counted in the graph). The layers are
the README's "Source layout"; keep the two in step.

  scripts/check-layers.py           checks, exit 1 on an include against the layers
  scripts/check-layers.py --graph   prints the module graph (who includes whom, how often)
"""
import collections
import os
import re
import sys

# Lowest first. Modules in one layer may not include each other.
LAYERS = [
    ["platform"],
    ["util"],
    ["logging"],
    ["words"],
    ["policy"],
    ["rules", "breach", "directory"],
    ["history"],
    ["server"],
    ["filter"],
    ["samba", "testconsole", "reminder", "tools"],
    ["bench", "fuzz"],
]

LEVEL = {module: level for level, modules in enumerate(LAYERS) for module in modules}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z_]+)/')


def source_files(root, module):
    for folder, _, files in os.walk(os.path.join(root, module)):
        for name in files:
            if name.endswith((".h", ".cc", ".cpp", ".c")):
                yield os.path.join(folder, name)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as text:
        for number, line in enumerate(text, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    graph = collections.defaultdict(collections.Counter)
    faults = []
    for module in LEVEL:
        for path in source_files(root, module):
            in_tests = f"{os.sep}tests{os.sep}" in path
            for number, target in includes(path):
                if target not in LEVEL or target == module:
                    continue
                if not in_tests:
                    graph[module][target] += 1
                if in_tests or LEVEL[target] < LEVEL[module]:
                    continue
                where = os.path.relpath(path, root)
                faults.append(f"{where}:{number}: {module} (layer {LEVEL[module]}) includes "
                              f"{target} (layer {LEVEL[target]})")
    if "--graph" in sys.argv[1:]:
        for module in LEVEL:
            if graph[module]:
                targets = ", ".join(f"{t} {n}" for t, n in sorted(graph[module].items()))
                print(f"{module} -> {targets}")
        return 0
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print(f"check-layers: {len(faults)} include(s) against the layers", file=sys.stderr)
        return 1
    print("check-layers: every include goes downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
