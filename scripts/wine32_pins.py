#!/usr/bin/env python3
"""Prints the apt-get arguments that install wine32:i386 without removing anything.

Reads the i386 packages wine32 needs (names ending in :i386) on standard input. A library
that both architectures must share at one version (Multi-Arch: same) is pinned on i386 to
the amd64 version installed; when the i386 index does not offer that version, both
architectures are moved to the i386 candidate. Packages the move would remove (those
depending on one exact version of a moved library) are moved along with it."""
import re, subprocess, sys
names = sys.stdin.read().split()
bases = [n[:-5] for n in names]
def policy(pkgs):
    out = subprocess.run(["apt-cache", "policy"] + pkgs, capture_output=True, text=True).stdout
    info, cur = {}, None
    for line in out.splitlines():
        if line and not line.startswith(" "):
            cur = line.rstrip(":"); info[cur] = {"installed": None, "candidate": None, "versions": []}
        elif cur and line.strip().startswith("Installed:"):
            v = line.split()[1]; info[cur]["installed"] = None if v == "(none)" else v
        elif cur and line.strip().startswith("Candidate:"):
            info[cur]["candidate"] = line.split()[1]
        elif cur and re.match(r"^ (\*\*\*|   ) \S+ -?\d+$", line):
            info[cur]["versions"].append(line[5:].split()[0])
    return info
i386 = policy(names)
amd = policy([b + ":amd64" for b in bases])
show = subprocess.run(["apt-cache", "show", "--no-all-versions"] + names, capture_output=True, text=True).stdout
same = set()
for block in show.split("\n\n"):
    m = re.search(r"^Package: (\S+)", block, re.M)
    if m and re.search(r"^Multi-Arch: same$", block, re.M):
        same.add(m.group(1))
pins = []
for b in bases:
    a, i = amd.get(b + ":amd64") or amd.get(b), i386.get(b + ":i386")
    if not a or not i or not a["installed"] or b not in same:
        continue
    if a["installed"] in i["versions"]:
        pins.append(f"{b}:i386={a['installed']}")
        continue
    want = i["candidate"]
    if want in a["versions"]:
        pins += [f"{b}:amd64={want}", f"{b}:i386={want}"]
    else:
        print(f"no shared version for {b}", file=sys.stderr)
# Packages the change would remove (those depending on one exact version of a moved
# library) are moved along to that version when it is offered, else kept at their candidate.
moved = {p.split("=")[1] for p in pins}
extra = []
for _ in range(4):
    sim = subprocess.run(["apt-get", "install", "-s", "--no-install-recommends", "--allow-downgrades"]
                         + pins + extra + ["wine32:i386"], capture_output=True, text=True).stdout
    removed = re.findall(r"^Remv (\S+)", sim, re.M)
    if not removed:
        break
    info = policy(removed)
    for r in removed:
        versions = info.get(r, {}).get("versions", [])
        shared = [v for v in versions if v in moved]
        extra.append(f"{r}={shared[0]}" if shared else r)
print(" ".join(pins + extra))
