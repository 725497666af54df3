#!/usr/bin/env python3
"""Checks that the includes inside engine/ only run down the layers.

Every folder of engine/ sits on a layer; a file may include files of its
own layer and of the layers below, never above:

    0  base, scan                         buffers, descriptors, errors, bytes to rows
    1  detect, dialect, encoding          what the text is
    2  repair, product_pass               the passes over it
    3  table                              kept rows as typed columns
    4  io, jobs, split, and gleave.hpp    files, jobs (whole or in parts) and the facade

Prints every arrow (folder to folder) with the includes that make it, and
exits 1 when an arrow runs back up and is not in KNOWN_UPWARD. Includes name
files by their path from the top of the tree ("engine/scan/parser.hpp"); a
bare name or a path from anywhere else fails the check. A new folder must be
given a layer here.
"""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ENGINE = os.path.join(ROOT, "engine")
LAYERS = {
    "base": 0, "scan": 0,
    "detect": 1, "dialect": 1, "encoding": 1,
    "repair": 2, "product_pass": 2,
    "table": 3,
    "io": 4, "jobs": 4, "split": 4, "facade": 4,
}
# Arrows that run up and are allowed to, each with the reason. Empty: none is.
KNOWN_UPWARD: set[tuple[str, str]] = set()


def unit(path):
    """The layer unit of a file under engine/: its folder, or for the files
    at the top, error or the facade."""
    rel = os.path.relpath(path, ENGINE)
    folder = rel.split(os.sep)[0] if os.sep in rel else ""
    if folder:
        return folder
    return "facade" if rel.startswith("gleave.") else "error"


def main():
    arrows = {}
    bare = []
    for directory, _, files in os.walk(ENGINE):
        for name in sorted(files):
            path = os.path.join(directory, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for include in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
                if not include.startswith("engine/"):
                    if os.path.isfile(os.path.join(directory, include)) or "/" not in include:
                        print(f"check-layers: {os.path.relpath(path, ROOT)} includes "
                              f'"{include}": name it by its path from the top of the tree')
                        bare.append(include)
                    continue  # outside engine/ (third_party)
                found = os.path.join(ROOT, include)
                src, dst = unit(path), unit(found)
                if src != dst:
                    arrows.setdefault((src, dst), []).append(
                        f"{os.path.relpath(path, ENGINE)} -> {include}")
    failed = bool(bare)
    for src, dst in sorted(arrows):
        for u in (src, dst):
            if u not in LAYERS:
                print(f"check-layers: engine/{u}/ has no layer; give it one in LAYERS")
                failed = True
        if failed:
            continue
        up = LAYERS[dst] > LAYERS[src]
        known = (src, dst) in KNOWN_UPWARD
        mark = "UP (known)" if up and known else "UP" if up else "ok"
        print(f"{mark:10} {src} -> {dst}: {', '.join(arrows[(src, dst)])}")
        if up and not known:
            failed = True
    for src, dst in sorted(KNOWN_UPWARD - set(arrows)):
        print(f"check-layers: {src} -> {dst} no longer runs up: remove it from KNOWN_UPWARD")
        failed = True
    ups = sum(LAYERS.get(d, 0) > LAYERS.get(s, 0) for s, d in arrows)
    print(f"check-layers: {len(arrows)} arrows, {ups} running up")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
