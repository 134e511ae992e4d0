#!/usr/bin/env python3
"""A soak of many runs at once: waves of tool processes running a random mix of the six
commands against one preferences file (a "wait" for at most a second and a half, while the
others change what it waits for), with platform faults set between waves, stop signals
sent at random moments, and per-app requests inspected by a slow code-signing program in a
fake system root (as root, in a private mount namespace; see tests/blackbox/with_fake_root.sh).

A third of the connects ask for on-demand, on the network the soak's machine is on, so that
disconnects switch it off and restarts pause it. A fifth of the signals are SIGKILL, which no process can answer: a killed run gives no
document, but its write, if one was under way, must never tear the file.

After every other run: exactly one document, with the exit status that goes with it. After
every wave, when nothing runs: the preferences file is valid, no temporary file is left beside
it (unless a writer was killed outright, which the next writer cleans up), no code-signing child
of any run is left (on Linux not even a killed run's), at most one tool profile is stored, and
no success is contradicted by what is stored (a successful "connect" or "update-app-rules"
leaves a tool profile, unless a connect of the same wave failed after removing it). It prints
its figures and exits 1 on any violation.

soak.py TOOL [--runs N] [--parallel P] [--seed S]
"""
import argparse
import fcntl
import json
import os
import pathlib
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent.parent
FAKE_ROOT_SCRIPT = HERE / "tests/blackbox/with_fake_root.sh"
TOOL_PROVIDER = "com.kelo.vpn.desktop.PacketTunnel"
REQUEST = {"privateKey": "cHJpdmF0ZQ==", "address": "10.8.0.2/32", "dns": "1.1.1.1",
           "peerPublicKey": "cGVlcg==", "peerEndpoint": "[2001:db8::1]:51820",
           "allowedIps": "0.0.0.0/0, ::/0"}
# A third of the connects keep the tunnel up on demand; the soak's machine is on Ethernet.
ON_DEMAND = {"onDemandRules": [{"action": "connect", "interfaceType": "ethernet"}]}
# A quarter of the connects choose their traffic settings (a kill switch only for a full tunnel).
POLICIES = [{"includeAllNetworks": False, "excludeLocalNetworks": True},
            {"enforceRoutes": True, "disconnectOnSleep": True}, {"excludeLocalNetworks": True}]
FAULTS = [{}, {}, {}, {"loadAll": "no load"}, {"save": "no save"}, {"reload": "no reload"},
          {"start": "no start"}]
STOPS = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGKILL]
CODESIGN = """#!/bin/sh
echo "$$ $PPID" >> "$HOME/codesign-pids"
sleep 0.$(( $$ % 3 ))
case "$4" in *Unsigned*) exit 1;; esac
name=$(basename "$4")
echo "Identifier=com.example.$name" >&2
echo "designated => identifier \\"com.example.$name\\""
"""


def is_tool(profile):
    protocol = profile.get("protocol") or {}
    return protocol.get("type") == "tunnelProvider" and \
        protocol.get("providerBundleIdentifier") == TOOL_PROVIDER


class Soak:
    def __init__(self, tool, per_app):
        self.tool = tool
        self.per_app = per_app
        self.top = pathlib.Path(tempfile.mkdtemp(prefix="kelo-soak-"))
        self.home = self.top / "home"
        self.state = self.home / ".local/state/kelo-ne-manager"
        self.state.mkdir(parents=True, mode=0o700)
        self.fake = self.top / "fake"
        for bundle in ("Applications/Mail.app", "Applications/Editor.app",
                       "Applications/Unsigned.app", "System/Applications/Notes.app"):
            executable = self.fake / bundle / "Contents/MacOS" / bundle.split("/")[-1][:-4]
            executable.parent.mkdir(parents=True)
            executable.write_text("")
            executable.chmod(0o755)
        # For whole-application rules: an Info.plist that names the executable, one that names
        # none that exists, and a nested XPC service.
        plist = ('<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleExecutable</key>'
                 '<string>{}</string></dict></plist>')
        (self.fake / "Applications/Mail.app/Contents/Info.plist").write_text(plist.format("Mail"))
        (self.fake / "Applications/Editor.app/Contents/Info.plist").write_text(plist.format("Gone"))
        service = self.fake / "Applications/Mail.app/Contents/XPCServices/Fetch.xpc/Contents/MacOS"
        service.mkdir(parents=True)
        (service / "Fetch").write_text("")
        (self.fake / "usr/bin").mkdir(parents=True)
        (self.fake / "usr/bin/codesign").write_text(CODESIGN)
        (self.fake / "usr/bin/codesign").chmod(0o755)
        self.figures = {"runs": 0, "waves": 0, "signals sent": 0, "killed": 0,
                        "fault settings": 0, "per-app runs": 0, "successes": 0, "failures": 0,
                        "ended by a stop": 0, "violations": 0}
        self.problems = []

    def violation(self, text):
        self.figures["violations"] += 1
        self.problems.append(text)

    @staticmethod
    def is_tool(pid):
        try:
            return pathlib.Path(f"/proc/{pid}/comm").read_text().strip() == "kelo-ne-manager"
        except OSError:
            return False

    def set_faults(self, faults):
        """Rewrites the faults under the simulator's own lock, as a test of a caller would."""
        path = self.state / "vpn-preferences.json"
        with open(self.state / "vpn-preferences.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            document = json.loads(path.read_text()) if path.exists() else {"profiles": []}
            document["faults"] = faults
            document["network"] = {"interfaceType": "ethernet"}  # where on-demand rules act
            temporary = self.state / "soak-faults.tmp"
            temporary.write_text(json.dumps(document, indent=2))
            os.rename(temporary, path)

    def start(self, rng, index):
        word = rng.choice(["connect", "connect", "disconnect", "status", "update-app-rules"] * 3 +
                          ["remove", "wait", "wait"])
        per_app = self.per_app and word not in ("status", "remove", "wait") and \
            rng.random() < 0.3
        argv = ["env", f"HOME={self.home}"]
        scratch = None
        if per_app:
            scratch = tempfile.mkdtemp(prefix="scratch-", dir=self.top)
            argv += ["unshare", "-m", "--propagation", "private", "sh", str(FAKE_ROOT_SCRIPT),
                     str(self.fake), scratch, str(self.home), "--"]
            self.figures["per-app runs"] += 1
        # A fifth of the runs ask for protocol 2's documents.
        second = rng.random() < 0.2
        argv += [self.tool, word] + (["--protocol=2"] if second else [])
        excluded = ["/Applications/Mail.app"] if per_app else []
        on_demand = ON_DEMAND if rng.random() < 0.3 else {}
        policy = {"networkPolicy": rng.choice(POLICIES)} if rng.random() < 0.25 else {}
        until = rng.choice([["connected"], ["disconnected", "invalid"], None])
        # Some per-app runs ask for whole-application rules, and some name an application that
        # is not installed, which they skip.
        rules = {}
        if per_app and rng.random() < 0.4:
            rules["ruleCoverage"] = "wholeApplication"
        if per_app and rng.random() < 0.2:
            excluded = excluded + ["/Applications/Gone.app"]
            rules["missingApps"] = "skip"
        request = {"connect": {**REQUEST, "excludedApps": excluded, **on_demand, **policy,
                               **rules},
                   "update-app-rules": {"excludedApps": excluded, **rules},
                   "wait": {"until": until, "timeoutSeconds": round(rng.uniform(0.1, 1.5), 2)}
                   }.get(word)
        process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        stop = None
        if rng.random() < 0.4:
            stop = (rng.choice(STOPS), time.monotonic() + rng.uniform(0.01, 0.3))
        return {"index": index, "word": word, "per_app": per_app, "second": second,
                "process": process,
                "request": json.dumps(request).encode() if request else b"", "stop": stop,
                "scratch": scratch, "killed": False}

    def finish(self, run):
        out = run["process"].stdout.read()
        err = run["process"].stderr.read()
        run["process"].wait(timeout=60)
        status = run["process"].returncode
        self.figures["runs"] += 1
        where = f"run {run['index']} ({run['word']})"
        if run["scratch"]:
            shutil.rmtree(run["scratch"], ignore_errors=True)
        if status == -signal.SIGKILL and run["killed"]:
            self.figures["killed"] += 1
            return None
        if status not in (0, 1):
            self.violation(f"{where}: exit status {status}, out {out!r}, err {err!r}")
            return None
        document, other = (out, err) if status == 0 else (err, out)
        try:
            value = json.loads(document)
        except ValueError:
            self.violation(f"{where}: not one JSON document: {document!r}")
            return None
        # Protocol 2: a status document of 15 members, 16 with the skipped applications, and a
        # failure document with at least its text and code.
        if run["second"]:
            members = {15, 16} if status == 0 else {2, 3, 4, 5, 6}
        else:
            members = {7} if status == 0 else {1}
        if other != b"" or not isinstance(value, dict) or len(value) not in members:
            self.violation(f"{where}: out {out!r}, err {err!r}, exit {status}")
            return None
        if status == 0:
            self.figures["successes"] += 1
        else:
            self.figures["failures"] += 1
            if value["error"].startswith("Stopped by SIG"):
                self.figures["ended by a stop"] += 1
        return value if status == 0 else None

    def check_quiet(self, wave, successes, killed):
        path = self.state / "vpn-preferences.json"
        for entry in self.state.iterdir():
            if entry.name.startswith(".vpn-preferences.json.") and not killed:
                self.violation(f"wave {wave}: temporary file {entry.name} left behind")
        if not path.exists():
            return
        try:
            document = json.loads(path.read_text())
            profiles = document.get("profiles") or []
            assert all(isinstance(p, dict) and isinstance(p.get("identifier"), str)
                       for p in profiles)
        except (ValueError, AssertionError):
            self.violation(f"wave {wave}: the preferences file is not valid")
            return
        tools = [p for p in profiles if is_tool(p)]
        if len(tools) > 1:
            self.violation(f"wave {wave}: {len(tools)} tool profiles stored")
        for word, value in successes:
            if word in ("connect", "update-app-rules") and not tools:
                self.violation(f"wave {wave}: a successful {word} left no tool profile")
        pids = self.home / "codesign-pids"
        if pids.exists():
            for line in pids.read_text().split("\n"):
                if line.strip():
                    child = line.split()[0]
                    try:
                        stat = pathlib.Path(f"/proc/{child}/stat").read_text()
                        if ") Z " not in stat:
                            self.violation(f"wave {wave}: code-signing child {child} left running")
                    except OSError:
                        pass
            pids.unlink()

    def wave(self, rng, number, size):
        if rng.random() < 0.5:
            self.set_faults(rng.choice(FAULTS))
            self.figures["fault settings"] += 1
        runs = [self.start(rng, number * size + slot) for slot in range(size)]
        for run in runs:
            try:
                run["process"].stdin.write(run["request"])
                run["process"].stdin.close()
            except BrokenPipeError:
                pass
        pending = sorted((run for run in runs if run["stop"]), key=lambda run: run["stop"][1])
        for run in pending:
            time.sleep(max(0.0, run["stop"][1] - time.monotonic()))
            # Only the tool itself, and not in the microseconds before it has set up its handlers
            # (see docs/testing.md): a per-app run starts in the fake root's wrapper, whose own death
            # by the signal says nothing of the tool.
            if not self.is_tool(run["process"].pid):
                while run["process"].poll() is None and not self.is_tool(run["process"].pid):
                    time.sleep(0.002)
                time.sleep(0.005)
            if run["process"].poll() is None:
                run["process"].send_signal(run["stop"][0])
                run["killed"] = run["stop"][0] == signal.SIGKILL
                self.figures["signals sent"] += 1
        successes = []
        for run in runs:
            value = self.finish(run)
            if value is not None:
                successes.append((run["word"], value))
        # A connect that failed may have removed the profiles another one left before it, and
        # a remove takes them all.
        if any(run["word"] == "connect" for run in runs) and \
                sum(word == "connect" for word, _ in successes) < \
                sum(run["word"] == "connect" for run in runs) or \
                any(run["word"] == "remove" for run in runs):
            successes = []
        time.sleep(0.05)  # a child killed at a run's end is reaped by the system meanwhile
        self.check_quiet(number, successes, any(run["killed"] for run in runs))
        self.figures["waves"] += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--runs", type=int, default=400)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    arguments = parser.parse_args()
    per_app = os.geteuid() == 0 and subprocess.run(
        ["unshare", "-m", "--propagation", "private", "true"]).returncode == 0
    soak = Soak(str(pathlib.Path(arguments.tool).resolve()), per_app)
    rng = random.Random(arguments.seed)
    began = time.monotonic()
    try:
        for number in range((arguments.runs + arguments.parallel - 1) // arguments.parallel):
            soak.wave(rng, number, arguments.parallel)
    finally:
        shutil.rmtree(soak.top, ignore_errors=True)
    figures = {"seed": arguments.seed, "processes at once": arguments.parallel,
               **soak.figures, "seconds": round(time.monotonic() - began, 1)}
    if not per_app:
        figures["note"] = "no per-app runs: they need root and mount namespaces"
    print("soak: " + ", ".join(f"{key} {value}" for key, value in figures.items()))
    for problem in soak.problems[:20]:
        print("soak: " + problem, file=sys.stderr)
    return 1 if soak.problems else 0


if __name__ == "__main__":
    sys.exit(main())
