#!/usr/bin/env python3
"""Checks that includes run only down the layers of the source tree.

    check_layers.py SOURCE_DIR

Layers, top to bottom (folders on one line are peers and do not include each other):
    app/, cli/ > preview/ > frontend/ > profiles/ > FFMPEG/jobs > FFMPEG/options > FFMPEG/core
    > FFMPEG/probe > FFMPEG/setup > FFMPEG/binding > FFMPEG/include
FFMPEG/core and FFMPEG/probe do not include each other either. Headers are included by their
bare names, so an include is resolved to the layer folder that holds a file of that name (the
including file's own folder first). Folders that do not exist are skipped. Prints every
include that runs up (or sideways between peers) and exits 1 when there is one.
"""
import os
import re
import sys

LAYERS = [
    ["app", "cli"],
    ["preview"],
    ["frontend"],
    ["profiles"],
    ["FFMPEG/jobs"],
    ["FFMPEG/options"],
    ["FFMPEG/core"],
    ["FFMPEG/probe"],
    ["FFMPEG/setup"],
    ["FFMPEG/binding"],
    ["FFMPEG/include"],
]
# Pairs of folders that must not include each other although their ranks would allow it.
APART = [{"FFMPEG/core", "FFMPEG/probe"}]
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_files(root):
    """Folder -> (rank, names of the source files directly in it)."""
    folders = {}
    for rank, peers in enumerate(LAYERS):
        for folder in peers:
            path = os.path.join(root, folder)
            if not os.path.isdir(path):
                continue
            names = {n for n in os.listdir(path) if n.endswith(SOURCE_SUFFIXES)}
            folders[folder] = (rank, names)
    return folders


def resolve(name, own_folder, folders):
    """The layer folder that holds the header NAME, or None when none does."""
    if "/" in name:
        return None
    if name in folders[own_folder][1]:
        return own_folder
    holders = sorted(f for f, (_, names) in folders.items() if name in names)
    return holders[0] if len(holders) == 1 else None


def violations(root):
    folders = layer_files(root)
    found = []
    for folder, (rank, names) in sorted(folders.items()):
        for file_name in sorted(names):
            with open(os.path.join(root, folder, file_name), encoding="utf-8") as f:
                text = f.read()
            for header in INCLUDE.findall(text):
                target = resolve(header, folder, folders)
                if target is None or target == folder:
                    continue
                target_rank = folders[target][0]
                if target_rank < rank:
                    why = "runs up"
                elif target_rank == rank:
                    why = "includes a peer"
                elif {folder, target} in APART:
                    why = "crosses layers kept apart"
                else:
                    continue
                found.append(f"{folder}/{file_name}: \"{header}\" ({target}) {why}")
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = violations(sys.argv[1])
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
