#!/usr/bin/python3
"""Writes two versions of a small sample client into OUT/1 and OUT/2.

Version 2 changes the client, edits and extends the packed level data (which
comes as a patch from version 1), adds a map in a subdirectory and no longer
ships old_notes.txt, so an update from 1 to 2 copies, patches, creates a
directory and deletes a file.
"""
import os
import random
import sys

WORDS = ("harbour tower gate lantern market bridge forest river keep wall "
         "stone road field mill ember frost").split()


def text(seed, lines):
    rng = random.Random(seed)
    return "".join(" ".join(rng.choice(WORDS) for _ in range(12)) + "\n"
                   for _ in range(lines)).encode()


def client(version):
    return ("#!/bin/sh\n"
            "echo \"Voxmere 3 Client (demo) version %d started in $(dirname \"$0\")\"\n"
            % version).encode()


VERSIONS = {
    1: {
        "vm3client_linux_x86": client(1),
        "readme.txt": b"Voxmere 3 Client, demo version 1.\n",
        "old_notes.txt": b"Notes that version 2 no longer ships.\n",
        "data/levels.pak": text(1, 20000),
        "data/maps/harbour.map": text(2, 500),
    },
    2: {
        "vm3client_linux_x86": client(2),
        "readme.txt": b"Voxmere 3 Client, demo version 2.\nNew: the town map.\n",
        "data/levels.pak": text(1, 20000).replace(b"lantern", b"Lantern", 400) + text(3, 2000),
        "data/maps/harbour.map": text(2, 500),
        "data/maps/town.map": text(4, 2000),
    },
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_sample.py OUT_DIR")
    out = sys.argv[1]
    for version, files in VERSIONS.items():
        for name, content in files.items():
            path = os.path.join(out, str(version), name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, 0o755 if name == "vm3client_linux_x86" else 0o644)


if __name__ == "__main__":
    main()
