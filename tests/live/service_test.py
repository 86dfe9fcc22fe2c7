"""Live tests of the guard as an operator runs it: its events output when the reader stalls
or goes away, a full disk and rotation, the system log, one guard per interface, policy
files it refuses, an interface deleted and made again, a follower across a restart, the
Prometheus text, the privileges it keeps, and a restart in the middle of a copy.

live_test.py adds these to its run (tests(module) gives the list); each leaves the lab's
own guard running as it found it.
"""
import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

lt = None  # the live_test module: Lab, Failure, poll, policy, rule, read_lines


def guard_binary(lab):
    return os.path.join(lab.env["MF_BUILD"], "bridge", "merrowfaldine-guard")


class OwnGuard:
    """A guard started by the test instead of the lab's, on the lab's interfaces and
    control socket, with its stderr kept."""

    def __init__(self, lab, *extra, stdout=subprocess.DEVNULL, network="net0", server="srv0",
                 env=None):
        self.lab = lab
        self.log = os.path.join(lab.work, "own-guard.%d.log" % time.monotonic_ns())
        with open(self.log, "w") as err:
            self.process = subprocess.Popen(
                ["ip", "netns", "exec", lab.vars["LAB_GUARD_NS"], guard_binary(lab),
                 "--network", network, "--server", server, "--control",
                 lab.vars["LAB_CONTROL"], *(extra if "--state" in extra else
                                            extra + ("--state", "none"))],
                stdin=subprocess.DEVNULL, stdout=stdout, stderr=err,
                env=dict(os.environ, **(env or {})))

    def wait_up(self):
        lt.poll(lambda: self.lab.ctl("stats", check=False).returncode == 0 or
                self.process.poll() is not None, "the guard to answer")
        if self.process.poll() is not None:
            raise lt.Failure("the guard ended: %s" % self.said())

    def said(self):
        with open(self.log) as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise lt.Failure("the guard did not stop within 15 s of %s" % sig)


def replace_lab_guard(lab, body):
    """Runs body() with the lab's guard stopped, and starts it again afterwards."""
    lab.run("guard-stop")
    try:
        body()
    finally:
        lab.run("guard-start")


def stats(lab):
    return json.loads(lab.ctl("--json", "stats").stdout)


def reads(count):
    return "; ".join(["get readme.txt /dev/null"] * count)


def check_events_reader(lab):
    """With --events - into a pipe whose reader stalls, forwarding, the control socket and
    SIGTERM still work; a reader that goes away costs counted lines, not the guard."""
    lab.reset_shares()

    def body():
        for closed in (False, True):
            guard = OwnGuard(lab, "--events", "-", stdout=subprocess.PIPE)
            try:
                if closed:
                    guard.process.stdout.close()
                guard.wait_up()
                lab.apply(lt.policy(lt.rule("report", "deny-delete")))
                # Far more event lines than a pipe holds (the old limit was about 370).
                if lab.smb("SMB3", reads(800)) != "ok":
                    raise lt.Failure("reads failed behind a %s reader" %
                                     ("closed" if closed else "stalled"))
                if lab.smb("NT1", "rm old.txt") != "NT_STATUS_ACCESS_DENIED":
                    raise lt.Failure("the deny rule no longer held")
                s = stats(lab)
                if closed and (s["events_dropped"] < 800 or guard.said().count("closed") != 1):
                    raise lt.Failure("closed reader: %s; %s" % (s, guard.said()))
                if not closed and s["events_written"] >= 800:
                    raise lt.Failure("a stalled pipe took every line: %s" % s)
                if guard.process.poll() is not None:
                    raise lt.Failure("the guard ended: %s" % guard.said())
            finally:
                code = guard.stop()
            if code != 0:
                raise lt.Failure("exit status %d after SIGTERM: %s" % (code, guard.said()))

    replace_lab_guard(lab, body)


def check_full_disk_and_rotation(lab):
    """A full disk: forwarding goes on, the lines wait and are written whole once there is
    room. Rotation: after a rename, SIGUSR1 (or SIGHUP) makes the guard write a new file."""
    lab.reset_shares()
    folder = os.path.join(lab.vars["LAB_DIR"], "events-fs")
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", folder], check=True)
    events = os.path.join(folder, "events.jsonl")

    def lines(path):
        with open(path) as f:
            text = f.read()
        if text and not text.endswith("\n"):
            raise lt.Failure("%s ends in a cut line" % path)
        return [json.loads(line) for line in text.splitlines()]

    def body():
        guard = OwnGuard(lab, "--events", events)
        try:
            guard.wait_up()
            lab.apply(lt.policy(lt.rule("report", "deny-delete")))
            subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(folder, "filler"),
                            "bs=4k"], capture_output=True)
            if lab.smb("SMB3", reads(20)) != "ok":
                raise lt.Failure("reads failed while the disk was full")
            lt.poll(lambda: stats(lab)["event_write_errors"] > 0, "a failed write")
            os.unlink(os.path.join(folder, "filler"))
            lt.poll(lambda: stats(lab)["events_written"] >= 20, "the lines to be written")
            got = [e for e in lines(events) if e["type"] == "event"]
            if len(got) != 20 or any((e["action"], e["outcome"]) != ("read", "allowed")
                                     for e in got):
                raise lt.Failure("after the full disk: %s" % got)
            if guard.said().count("cannot write events") != 1 or "again" not in guard.said():
                raise lt.Failure("the full disk was not said once: %s" % guard.said())
            for n, sig in enumerate((signal.SIGUSR1, signal.SIGHUP), 1):
                os.rename(events, "%s.%d" % (events, n))
                guard.process.send_signal(sig)
                lt.poll(lambda: guard.said().count("opened again") == n, "the reopen")
                if lab.smb("NT1", "rm old.txt") != "NT_STATUS_ACCESS_DENIED":
                    raise lt.Failure("the deny rule no longer held")
                lt.poll(lambda: os.path.exists(events) and lines(events), "the new file")
                new = [(e["kind"], e["action"], e["blocked"], e["outcome"])
                       for e in lines(events) if e["type"] == "event"]
                if new != [(1, "delete", 1, "denied")]:
                    raise lt.Failure("after %s the new file holds %s" % (sig, new))
            if len(lines(events + ".1")) != 20 or len(lines(events + ".2")) != 1:
                raise lt.Failure("the rotated files changed")
        finally:
            guard.stop()
            subprocess.run(["umount", folder])

    replace_lab_guard(lab, body)


def check_syslog(lab):
    """--events syslog:PATH sends each event as one datagram with the daemon facility, a
    level by outcome, the guard's name and pid, and the JSON line."""
    lab.reset_shares()
    path = os.path.join(lab.vars["LAB_DIR"], "log.sock")
    daemon = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    daemon.bind(path)
    daemon.settimeout(30)

    def body():
        guard = OwnGuard(lab, "--events", "syslog:" + path)
        try:
            guard.wait_up()
            lab.apply(lt.policy(lt.rule("report", "deny-delete")))
            if lab.smb("SMB3", "rm old.txt") != "NT_STATUS_ACCESS_DENIED":
                raise lt.Failure("the deny rule did not hold")
            message = daemon.recv(65536).decode()
            head, _, line = message.partition("]: ")
            event = json.loads(line)
            if not head.startswith("<28>") or "merrowfaldine-guard[" not in head or \
                    (event["action"], event["outcome"], event["path"]) != \
                    ("delete", "denied", "docs\\old.txt"):
                raise lt.Failure("syslog got %r" % message)
        finally:
            guard.stop()

    try:
        replace_lab_guard(lab, body)
    finally:
        daemon.close()
        os.unlink(path)


def check_service_notify(lab):
    """Under a service manager ($NOTIFY_SOCKET): READY=1 once forwarding, WATCHDOG=1 from
    the forwarding loop at half the watchdog interval, STOPPING=1 on SIGTERM."""
    path = os.path.join(lab.vars["LAB_DIR"], "notify.sock")
    manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    manager.bind(path)
    manager.settimeout(30)

    def body():
        guard = OwnGuard(lab, env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "1000000"})
        try:
            got = [manager.recv(4096).decode() for _ in range(3)]
            if not got[0].startswith("READY=1\nSTATUS=forwarding between net0 and srv0") or \
                    got[1:] != ["WATCHDOG=1", "WATCHDOG=1"]:
                raise lt.Failure("the service manager got %s" % got)
            lab.ctl("stats")  # ready means answering
        finally:
            guard.stop()
        while True:
            message = manager.recv(4096).decode()
            if message != "WATCHDOG=1":
                break
        if message != "STOPPING=1":
            raise lt.Failure("at SIGTERM the service manager got %r" % message)

    try:
        replace_lab_guard(lab, body)
    finally:
        manager.close()
        os.unlink(path)


def check_one_guard(lab):
    """A second guard on the lab guard's interfaces refuses to start and names the first;
    one on other interfaces with the same control socket refuses and leaves it alone."""
    grd = lab.vars["LAB_GUARD_NS"]
    with open(os.path.join(lab.vars["LAB_DIR"], "guard.pid")) as f:
        first = int(f.read())
    second = OwnGuard(lab, "--control", os.path.join(lab.work, "second.sock"))
    code = second.process.wait(timeout=30)
    named = "net0 is already guarded by the guard with pid %d (control socket %s)" % (
        first, lab.vars["LAB_CONTROL"])
    if code != 1 or named not in second.said():
        raise lt.Failure("second guard on net0: exit %d, %s" % (code, second.said()))
    subprocess.run(["ip", "-n", grd, "link", "add", "mfd0", "type", "veth", "peer", "name",
                    "mfd1"], check=True)
    try:
        third = OwnGuard(lab, network="mfd0", server="mfd1")
        code = third.process.wait(timeout=30)
        if code != 1 or "in use by another guard" not in third.said():
            raise lt.Failure("second guard on the control socket: exit %d, %s" %
                             (code, third.said()))
    finally:
        subprocess.run(["ip", "-n", grd, "link", "del", "mfd0"])
    lab.ctl("stats")  # the first still answers on its socket


def check_policy_files(lab):
    """A policy that is not a regular file of bounded size, or has invalid UTF-8 or a NUL
    in a name, is refused with a message by the guard and by merrowfaldine-ctl."""
    fifo = os.path.join(lab.work, "fifo")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    for path, fault in ((lab.work, "is a directory"), (fifo, "not a regular file"),
                        ("/dev/zero", "not a regular file")):
        r = subprocess.run([guard_binary(lab), "--network", "lo", "--server", "lo2",
                            "--policy", path], capture_output=True, text=True, timeout=30)
        if r.returncode != 1 or fault not in r.stderr:
            raise lt.Failure("guard --policy %s: exit %d, %s" % (path, r.returncode, r.stderr))
    cases = ((b'{"rules":[{"path":"docs","user":"al\xffce"}]}', "UTF-8"),
             (b'{"rules":[]}' + b" " * (1 << 20), "larger than 1 MiB"),
             (b'{"rules":[{"path":"docs","user":"al\\u0000ce"}]}', "holds a NUL"))
    for content, fault in cases:
        path = os.path.join(lab.work, "bad-policy.json")
        with open(path, "wb") as f:
            f.write(content)
        r = subprocess.run([lab.vars["LAB_CTL"], "--control", lab.vars["LAB_CONTROL"],
                            "policy", path], capture_output=True, timeout=30)
        said = r.stderr.decode(errors="replace")
        if r.returncode != 1 or fault not in said or path not in said:
            raise lt.Failure("ctl policy (%s): exit %d, %s" % (fault, r.returncode, said))


def check_interface_recreated(lab):
    """The guard's client-side interface deleted and made again under its name: the guard
    finds it again, and forwards and decides as before."""
    lab.reset_shares()
    lab.apply(lt.policy(lt.rule("report", "deny-delete")))
    cli, grd = lab.vars["LAB_CLIENT_NS"], lab.vars["LAB_GUARD_NS"]
    log = os.path.join(lab.vars["LAB_DIR"], "guard.log")
    with open(log) as f:
        mark = f.read().count("net0 is back")
    subprocess.run(["ip", "-n", grd, "link", "del", "net0"], check=True)
    lt.poll(lambda: "net0 is gone" in open(log).read(), "the guard to see net0 go")
    subprocess.run(["ip", "-n", grd, "link", "add", "net0", "type", "veth", "peer", "name",
                    "eth0", "netns", cli], check=True)
    for args in (["link", "set", "eth0", "address", lab.vars["LAB_CLIENT_MAC"]],
                 ["addr", "add", lab.vars["LAB_CLIENT_IP"] + "/24", "dev", "eth0"],
                 ["link", "set", "eth0", "up"]):
        subprocess.run(["ip", "-n", cli, *args], check=True)
    subprocess.run(["ip", "netns", "exec", cli, "ethtool", "-K", "eth0", "tso", "off", "gso",
                    "off", "gro", "off"], capture_output=True)
    subprocess.run(["ip", "-n", grd, "link", "set", "net0", "up"], check=True)
    lt.poll(lambda: open(log).read().count("net0 is back") > mark, "the guard to find net0")
    seen = (lab.smb("SMB3", "get readme.txt"), lab.smb("NT1", "rm old.txt"))
    if seen != ("ok", "NT_STATUS_ACCESS_DENIED"):
        raise lt.Failure("after net0 came back the client saw %s" % (seen,))
    # The kernel pass is put back on the new interface, with the privileges left.
    passed = lt.stats_value(lab, "from_network")["passed_in_kernel"]
    data = os.urandom(1 << 20)
    arrived = lt.tcp_through(lab, lab.vars["LAB_SERVER_IP"], 5201, data)
    if arrived != "%d %s" % (len(data), hashlib.sha256(data).hexdigest()):
        raise lt.Failure("1 MiB over TCP after net0 came back arrived as %r" % arrived)
    if lt.stats_value(lab, "from_network")["passed_in_kernel"] < passed + len(data) // 1448:
        raise lt.Failure("TCP of other ports no longer passes in the kernel: %s" % open(log).read())


def check_follow_and_metrics(lab):
    """merrowfaldine-ctl events --follow reconnects when the guard restarts and shows the
    new guard's events; stats --prometheus parses with the Prometheus client's parser and
    agrees with the JSON counters; a guard that is gone is reported as down."""
    lab.reset_shares()
    follower = subprocess.Popen([lab.vars["LAB_CTL"], "--control", lab.vars["LAB_CONTROL"],
                                 "--json", "events", "--follow"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    try:
        time.sleep(0.2)
        lab.run("guard-stop")
        r = lab.ctl("stats", "--prometheus", check=False)
        if r.returncode != 1 or "merrowfaldine_up 0" not in r.stdout:
            raise lt.Failure("a stopped guard: exit %d, %s" % (r.returncode, r.stdout))
        lab.run("guard-start")
        lab.apply(lt.policy(lt.rule("report", "deny-delete")))
        if lab.smb("SMB3", "rm old.txt") != "NT_STATUS_ACCESS_DENIED":
            raise lt.Failure("the deny rule did not hold")
        if not any((e.get("action"), e.get("outcome")) == ("delete", "denied")
                   for e in lt.read_lines(follower.stdout.fileno(), 30)):
            raise lt.Failure("the follower did not show the new guard's event")
        if follower.poll() is not None:
            raise lt.Failure("the follower ended: %s" % follower.stderr.read())
    finally:
        follower.kill()
        follower.wait()
    before = stats(lab)
    families = parse_prometheus(lab.ctl("stats", "--prometheus").stdout)
    after = stats(lab)
    frames = {s["labels"]["from"]: s["value"]
              for s in families["merrowfaldine_frames_forwarded"]["samples"]}
    for side in ("network", "server"):
        key = "from_" + side
        if not before[key]["frames"] <= frames[side] <= after[key]["frames"]:
            raise lt.Failure("frames from %s: %s, JSON %s..%s" % (
                side, frames[side], before[key]["frames"], after[key]["frames"]))
    for name, f in families.items():
        if not f["help"] or f["type"] not in ("counter", "gauge"):
            raise lt.Failure("metric %s: %s" % (name, f))
    if families["merrowfaldine_up"]["samples"][0]["value"] != 1 or len(families) < 14:
        raise lt.Failure("metrics: %s" % sorted(families))


def task_status(pid):
    """Each thread's capability sets, uids and no_new_privs, from /proc."""
    found = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            fields = dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)
        found.append({k: fields[k].split() for k in
                      ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "Uid", "NoNewPrivs")})
    return found


NET_ONLY = "0000000000003000"  # cap_net_admin (12) and cap_net_raw (13)


def check_privileges(lab):
    """Once running, every thread of the guard (forwarding, events, the engine's timers)
    holds cap_net_raw and cap_net_admin only
    (the bounding set too); with --user it also runs as that user; either way it forwards
    and decides, and the control socket stays root's, mode 0600."""
    lab.reset_shares()
    with open(os.path.join(lab.vars["LAB_DIR"], "guard.pid")) as f:
        pid = int(f.read())

    def expect(pid, uid):
        for task in task_status(pid):
            want = {"CapInh": ["0" * 16], "CapPrm": [NET_ONLY], "CapEff": [NET_ONLY],
                    "CapBnd": [NET_ONLY], "CapAmb": ["0" * 16], "Uid": [uid] * 4,
                    "NoNewPrivs": ["1"]}
            if task != want:
                raise lt.Failure("guard thread: %s, expected %s" % (task, want))
        if len(task_status(pid)) < 2:
            raise lt.Failure("no events thread: %s" % task_status(pid))
        info = os.stat(lab.vars["LAB_CONTROL"])
        if (info.st_uid, info.st_mode & 0o777) != (0, 0o600):
            raise lt.Failure("control socket owner %d mode %o" % (info.st_uid, info.st_mode))
        lab.apply(lt.policy(lt.rule("report", "deny-delete")))
        seen = (lab.smb("SMB3", "get readme.txt"), lab.smb("NT1", "rm old.txt"))
        if seen != ("ok", "NT_STATUS_ACCESS_DENIED"):
            raise lt.Failure("with dropped privileges the client saw %s" % (seen,))

    expect(pid, "0")

    def body():
        guard = OwnGuard(lab, "--user", "nobody", "--events", "-")
        try:
            guard.wait_up()
            expect(guard.process.pid, "65534")
        finally:
            guard.stop()

    replace_lab_guard(lab, body)


# The Prometheus client's own parser (Debian's python3-prometheus-client, for the system's
# Python), its families returned as JSON.
PARSER = '''
import json, sys
from prometheus_client.parser import text_string_to_metric_families
print(json.dumps({f.name: {"help": f.documentation, "type": f.type,
                           "samples": [{"name": s.name, "labels": s.labels, "value": s.value}
                                       for s in f.samples]}
                  for f in text_string_to_metric_families(sys.stdin.read())}))
'''


def parse_prometheus(text):
    r = subprocess.run(["/usr/bin/python3", "-c", PARSER], input=text, capture_output=True,
                       text=True, timeout=30)
    if r.returncode != 0:
        raise lt.Failure("the Prometheus parser refused the text: %s" % r.stderr.strip())
    return json.loads(r.stdout)


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def check_restart_mid_copy(lab, protocol):
    """kill -9 in the middle of a put, and a new guard: the copy completes intact, and the
    same session stays guarded (its next delete refused, its next read allowed)."""
    lab.reset_shares()
    policy = os.path.join(lab.work, "restart.json")
    with open(policy, "w") as f:
        json.dump(lt.policy(lt.rule("report", "deny-delete")), f)
    size = 192 * 1024 * 1024
    upload = os.path.join(lab.uploads, "copy.bin")
    with open(upload, "wb") as f:
        for _ in range(size // (1 << 20)):
            f.write(os.urandom(1 << 20))
    on_server = os.path.join(lab.vars["LAB_SHARES"], "docs", "copy.bin")
    lab.run("guard-stop")
    lab.run("guard-start", "--policy", policy)
    client = None
    try:
        client = subprocess.Popen(
            lab.smbclient_args(lt.PROTOCOLS[protocol]) +
            ["-c", "put copy.bin; del old.txt; get readme.txt after.txt"],
            cwd=lab.uploads, env=lab.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True)
        lt.poll(lambda: os.path.exists(on_server) and os.path.getsize(on_server) > size // 8,
                "an eighth of the copy to arrive", tries=1000, pause=0.01)
        with open(os.path.join(lab.vars["LAB_DIR"], "guard.pid")) as f:
            os.kill(int(f.read()), signal.SIGKILL)
        copied = os.path.getsize(on_server)
        # Every line from here on is the new guard's.
        mark = lab.event_mark()
        lab.run("guard-start", "--policy", policy)
        try:
            out, _ = client.communicate(timeout=lt.STEP_SECONDS + 60)
        except subprocess.TimeoutExpired:
            raise lt.Stall("smbclient over %s across kill -9 and a new guard: nothing after "
                           "%g s, expected the put, del and get to end" %
                           (protocol, lt.STEP_SECONDS + 60))
    finally:
        if client is not None and client.poll() is None:
            client.kill()
            client.wait()
    problems = []
    if copied >= size:
        problems.append("the copy was done before the kill (%d bytes): nothing was tested" %
                        copied)
    statuses = [w for w in out.split() if w.startswith("NT_STATUS_")]
    if statuses != ["NT_STATUS_ACCESS_DENIED"]:
        problems.append("the client saw %s, expected only the delete refused" % statuses)
    if not os.path.exists(os.path.join(lab.uploads, "after.txt")):
        problems.append("the read after the restart did not arrive")
    if lab.docs_file("old.txt") != "old\n":
        problems.append("old.txt is gone from the server's disk")
    if digest(upload) != digest(on_server):
        problems.append("the copy on the server differs from what was sent")
    denied = [e for e in lab.events_since(mark)
              if e.get("action") == "delete" and e.get("blocked") == 1]
    if not denied or denied[0].get("user") != "alice":
        problems.append("no blocked delete event naming alice from the new guard: %s" % denied)
    said = open(os.path.join(lab.vars["LAB_DIR"], "guard.log")).read()
    if "kept state loaded" not in said:
        problems.append("the new guard did not say it loaded the kept state")
    os.unlink(upload)
    lab.run("guard-stop")
    lab.run("guard-start")
    if problems:
        raise lt.Failure("; ".join(problems) + "\nclient:\n" + out)


# The ways the guard can forward: its default (each burst sent at once, the rings polled
# before sleeping), frames gathered for larger sends with no polling, a thread per
# direction with either, and AF_XDP sockets instead of the rings.
FORWARDING_VARIANTS = ((), ("--gather", "50", "--spin", "0"), ("--threads", "2"),
                       ("--threads", "2", "--gather", "50", "--spin", "0"), ("--xdp",),
                       ("--xdp", "--threads", "2", "--gather", "50"))
# Fewer than a receive ring of the guard holds (8192 frames at MTU 1500): a guard that the
# scheduler holds back while a sender runs at full speed still has room for every frame, so
# the test does not depend on who gets the processors.
SEQUENCE_FRAMES = 6000


def check_forwarding_variants(lab):
    """Every frame passes once and in order, both ways at once, however the guard forwards."""
    tool = os.path.join(lt.ROOT, "tests", "live", "frame_sequence.py")
    cli, srv = lab.vars["LAB_CLIENT_NS"], lab.vars["LAB_SERVER_NS"]
    expected = {"received": SEQUENCE_FRAMES, "duplicates": 0, "out_of_order": 0, "missing": [],
                "dropped_here": 0}

    def run(extra):
        guard = OwnGuard(lab, *extra)
        receivers, senders, problems = [], [], []
        try:
            guard.wait_up()
            for sender, receiver, mac in ((cli, srv, "02:00:00:00:01:01"),
                                          (srv, cli, "02:00:00:00:00:10")):
                marker = "seq-%s-%d" % (sender[-3:], time.monotonic_ns())
                rx = subprocess.Popen(["ip", "netns", "exec", receiver, sys.executable, tool,
                                       "receive", "eth0", marker, str(SEQUENCE_FRAMES), "60"],
                                      stdout=subprocess.PIPE, text=True)
                receivers.append((rx, sender))
                if rx.stdout.readline().strip() != "ready":
                    raise lt.Failure("the sequence receiver did not start")
                senders.append(["ip", "netns", "exec", sender, sys.executable, tool, "send",
                                "eth0", mac, marker, str(SEQUENCE_FRAMES)])
            senders = [subprocess.Popen(command) for command in senders]
            for process in senders:
                process.wait(timeout=120)
            for rx, sender in receivers:
                result = json.loads(rx.stdout.readline())
                if result != expected:
                    problems.append("%s from %s: %s" % (" ".join(extra) or "default", sender,
                                                        result))
            s = stats(lab)
            missed = sum(s[d][k] for d in ("from_network", "from_server")
                         for k in ("ring_full", "lost", "oversize"))
            if missed:
                problems.append("%s: the guard did not pass %d frames on" % (extra, missed))
        finally:
            for process in senders + [rx for rx, _ in receivers]:
                if isinstance(process, subprocess.Popen) and process.poll() is None:
                    process.kill()
                    process.wait()
            guard.stop()
        return problems

    def body():
        problems = [p for extra in FORWARDING_VARIANTS for p in run(extra)]
        if problems:
            raise lt.Failure("; ".join(problems))

    replace_lab_guard(lab, body)


def tests(module):
    global lt
    lt = module
    return [
        ("service: events output: a stalled and a closed reader", check_events_reader),
        ("service: events output: a full disk, then rotation by SIGUSR1 and SIGHUP",
         check_full_disk_and_rotation),
        ("service: events output: the system log", check_syslog),
        ("service: readiness and watchdog for the service manager", check_service_notify),
        ("service: one guard per interface and per control socket", check_one_guard),
        ("service: policy files refused by the guard and by merrowfaldine-ctl", check_policy_files),
        ("service: an interface deleted and made again", check_interface_recreated),
        ("service: privileges dropped, also to a --user", check_privileges),
        ("service: a follower across a restart, and the Prometheus text", check_follow_and_metrics),
        ("service: every frame once and in order, however the guard forwards",
         check_forwarding_variants),
    ] + [("service: kill -9 in the middle of a copy over %s, and a new guard" % protocol,
          lambda lab, p=protocol: check_restart_mid_copy(lab, p)) for protocol in ("SMB3", "NT1")]
