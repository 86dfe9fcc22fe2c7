#!/usr/bin/env python3
"""Faults of the drivers, kept in faults.txt, applied one at a time.

A fault is a block:
    @ name
    file: path/from/the/root
    -old line (exactly as in the file, after the one-character prefix)
    +new line
The old lines must occur exactly once; without + lines the old text is removed.

    mutate.py list                 names, one a line
    mutate.py apply NAME ROOT      applies it (the file's own text is kept in FILE.orig)
    mutate.py restore NAME ROOT    puts the file back
    mutate.py file NAME            the file it changes
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def faults():
    result = []
    current = None
    with open(os.path.join(HERE, "faults.txt"), encoding="utf-8") as table:
        for raw in table:
            line = raw.rstrip("\n")
            if line.startswith("@ "):
                current = {"name": line[2:].strip(), "file": None, "old": [], "new": []}
                result.append(current)
            elif current is None or line.startswith("#") or not line:
                continue
            elif line.startswith("file: "):
                current["file"] = line[6:].strip()
            elif line.startswith("-"):
                current["old"].append(line[1:])
            elif line.startswith("+"):
                current["new"].append(line[1:])
    return result


def find(name):
    for fault in faults():
        if fault["name"] == name:
            return fault
    sys.exit("no fault named " + name)


def main():
    command = sys.argv[1]
    if command == "list":
        for fault in faults():
            print(fault["name"])
        return
    fault = find(sys.argv[2])
    if command == "file":
        print(fault["file"])
        return
    path = os.path.join(sys.argv[3], fault["file"])
    if command == "restore":
        if os.path.exists(path + ".orig"):
            os.replace(path + ".orig", path)
            # Newer than the object built from the fault, so that the build sees the change.
            os.utime(path)
        return
    with open(path, encoding="utf-8") as source:
        text = source.read()
    old = "\n".join(fault["old"]) + "\n"
    new = "\n".join(fault["new"]) + "\n" if fault["new"] else ""
    if text.count(old) != 1:
        sys.exit("fault %s: its text occurs %d times in %s" % (fault["name"], text.count(old), fault["file"]))
    with open(path + ".orig", "w", encoding="utf-8") as keep:
        keep.write(text)
    with open(path, "w", encoding="utf-8") as target:
        target.write(text.replace(old, new))


if __name__ == "__main__":
    main()
