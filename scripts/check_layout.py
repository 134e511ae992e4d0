#!/usr/bin/env python3
"""Checks that the include graph of src/ runs one way.

Two graphs are drawn from the quoted #include lines:
  - per folder: the files directly in src/ (the driver), commands/, tunnel/, apprules/,
    payloads/, text/, platform/ and each folder beneath platform/;
  - per file, a header and its source counting as one node.
Neither may have a circle. Beyond that, only a platform backend's own files may include a
header of its folder: the tool's logic sees the interfaces at the top of platform/ alone.
Exits 1 and names the circle or the include that breaks a rule.
"""
import pathlib
import re
import sys

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(relative: pathlib.PurePosixPath) -> str:
    parts = relative.parts[:-1]
    if not parts:
        return "(driver)"
    if parts[0] == "platform" and len(parts) > 1:
        return "platform/" + parts[1]
    return parts[0]


def find_cycle(graph):
    """Returns one circle as a list of nodes, or None."""
    state = {}
    path = []

    def visit(node):
        state[node] = "open"
        path.append(node)
        for successor in sorted(graph.get(node, ())):
            if state.get(successor) == "open":
                return path[path.index(successor):] + [successor]
            if successor not in state:
                found = visit(successor)
                if found:
                    return found
        path.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main() -> int:
    files = sorted(p for p in SOURCE.rglob("*") if p.suffix in {".h", ".cc", ".mm"})
    known = {p.relative_to(SOURCE).as_posix() for p in files}
    folders, components, problems = {}, {}, []
    for path in files:
        relative = pathlib.PurePosixPath(path.relative_to(SOURCE).as_posix())
        node = str(relative.with_suffix(""))
        folder = folder_of(relative)
        folders.setdefault(folder, set())
        components.setdefault(node, set())
        for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if included not in known:
                problems.append(f"{relative}: includes {included}, which is not in src/")
                continue
            target = pathlib.PurePosixPath(included)
            target_folder = folder_of(target)
            if target_folder.startswith("platform/") and target_folder != folder:
                problems.append(
                    f"{relative}: includes {included}, a header of the backend {target_folder}/"
                )
            if target_folder != folder:
                folders[folder].add(target_folder)
            if str(target.with_suffix("")) != node:
                components[node].add(str(target.with_suffix("")))
    for name, graph in (("folders", folders), ("files", components)):
        cycle = find_cycle(graph)
        if cycle:
            problems.append(f"a circle of {name}: " + " -> ".join(cycle))
    for problem in problems:
        print(f"check_layout: {problem}", file=sys.stderr)
    if not problems:
        print(f"check_layout: {len(files)} files in {len(folders)} folders, no circle")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
