#!/usr/bin/env python3
"""Checks the rooms' one-way rule and that no product module (a header and its source) takes part
in an include cycle.

Usage: include_rules.py SOURCE_ROOT. Prints every broken rule and exits 1, else exits 0.
"""
import os
import re
import sys

# Each room and the rooms it may include from (besides its own). Dependencies run one way: the
# command line, the kit's rooms from release down to common, the engine, support.
ROOMS = {
    "support": [],
    "update": ["support"],
    "app": ["update", "support"],
    "kit/common": ["update", "support"],
    "kit/format": ["kit/common", "update", "support"],
    "kit/signature": ["kit/format", "kit/common", "update", "support"],
    "kit/examine": ["kit/signature", "kit/format", "kit/common", "update", "support"],
    "kit/build": ["kit/format", "kit/common", "update", "support"],
    "kit/release": ["kit/build", "kit/format", "kit/common", "update", "support"],
    "tools/patchtool": ["kit/release", "kit/build", "kit/examine", "kit/signature", "kit/format", "kit/common",
                        "update", "support"],
}
PORTABLE = ("support", "update")  # never windows.h, but in support/win32/
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)


def room_of(path):
    return max((r for r in ROOMS if path == r or path.startswith(r + "/")), key=len, default=None)


def main(root):
    files = {}
    for top in ("support", "update", "app", "kit", "tools"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in names:
                if name.endswith((".h", ".cpp", ".inc")):
                    path = os.path.relpath(os.path.join(folder, name), root)
                    with open(os.path.join(root, path), encoding="utf-8") as f:
                        files[path] = INCLUDE.findall(f.read())
    problems = []
    graph = {}
    for path, includes in sorted(files.items()):
        room = room_of(path)
        if room is None:
            problems.append(f"{path}: in no room")
            continue
        module = os.path.splitext(path)[0]
        graph.setdefault(module, set())
        for kind, target in includes:
            if kind == "<":
                if target.lower() == "windows.h" and room in PORTABLE and not path.startswith("support/win32/"):
                    problems.append(f"{path}: includes windows.h in portable code")
                continue
            if target not in files:
                continue  # beside the file (resources, tables)
            to = room_of(target)
            if to != room and to not in ROOMS[room]:
                problems.append(f"{path}: {room} may not include {target} ({to})")
            if os.path.splitext(target)[0] != module:
                graph[module].add(os.path.splitext(target)[0])
    # Tarjan's strongly connected components: any of more than one file is a cycle.
    index, low, stack, on, counter = {}, {}, [], set(), [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                problems.append("include cycle: " + " -> ".join(sorted(component)))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
