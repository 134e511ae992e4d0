#!/usr/bin/env python3
"""check_pinned_configures.py [SCRIPT [PINS]]: fails unless every library pinned in PINS
(packaging/macos/pinned-sources.txt) is configured by SCRIPT (scripts/macos/build_dependencies.sh)
exactly once, and each of its configures names a CMake policy version of at least 3.5.

The pinned releases declare a CMake minimum below 3.5, which CMake 4 (as hosted Macs ship it)
refuses to configure unless -DCMAKE_POLICY_VERSION_MINIMUM names a version; CMake 3 ignores it.
"""
import re
import shlex
import sys
from pathlib import Path

top = Path(__file__).resolve().parent.parent
script = Path(sys.argv[1]) if len(sys.argv) > 1 else top / "scripts/macos/build_dependencies.sh"
pins = Path(sys.argv[2]) if len(sys.argv) > 2 else top / "packaging/macos/pinned-sources.txt"

pinned = [line.split()[0] for line in pins.read_text().splitlines()
          if line.strip() and not line.startswith("#")]
# The script's commands, with continued lines joined and comments left out.
commands = re.sub(r"\\\n", " ", script.read_text()).splitlines()
configures = {}
for command in commands:
    if command.lstrip().startswith("#"):
        continue
    words = shlex.split(command, comments=True, posix=True)
    if len(words) < 3 or words[0] != "cmake" or "-S" not in words:
        continue
    source = words[words.index("-S") + 1]
    configures.setdefault(Path(source).name, []).append(words)

failures = []
for name in pinned:
    found = configures.get(name, [])
    if len(found) != 1:
        failures.append(f"{name}: configured {len(found)} times in {script}, once expected")
    for words in found:
        policy = [w.split("=", 1)[1] for w in words if w.startswith("-DCMAKE_POLICY_VERSION_MINIMUM=")]
        version = tuple(int(part) for part in policy[-1].split(".")) if policy else ()
        if version < (3, 5):
            failures.append(f"{name}: its configure lacks -DCMAKE_POLICY_VERSION_MINIMUM=3.5, "
                            "without which CMake 4 refuses the release")
for failure in failures:
    print(f"check_pinned_configures: {failure}", file=sys.stderr)
if not pinned:
    failures.append("no pinned library")
    print(f"check_pinned_configures: no pinned library in {pins}", file=sys.stderr)
sys.exit(1 if failures else 0)
