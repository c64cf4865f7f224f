"""docs/architecture.md against the tree: every file and folder it names
exists in the room it describes, and every folder of src/ is described.

A name in backticks resolves in the room of its paragraph (a paragraph that
opens with **`src/files`** names src/files' files) and, within a bullet that
opens with a folder (- `fast/`: ...), in that folder; a name that starts at
the top of the tree (src/, tests/, python/, ...) resolves from there.
Usage: architecture_matches_tree.py PROJECT_SOURCE_DIR"""

import os
import re
import sys

TOP = ("src", "include", "python", "tests", "bench", "docs", "cmake", "samples", "scripts")
FILE_ENDINGS = (".cpp", ".hpp", ".h", ".py", ".sh", ".html", ".css", ".js", ".in", ".txt", ".cmake", ".md", ".*")
NAME = re.compile(r"`([\w./*-]+)`")


def tree(root):
    """Every file and folder below the top folders, relative to root."""
    paths = set()
    for top in TOP:
        for folder, folders, files in os.walk(os.path.join(root, top)):
            folders[:] = [f for f in folders if f != "__pycache__"]
            relative = os.path.relpath(folder, root)
            paths.add(relative + "/")
            paths.update(os.path.join(relative, f) for f in files)
    return paths


def pattern_of(name):
    """name as a regular expression; a final ".*" stands for any extensions."""
    if name.endswith(".*"):
        return re.escape(name[:-2]) + r"\.[\w.]+"
    return re.escape(name)


def resolves(name, base, paths):
    if name.split("/", 1)[0] in TOP:
        return any(re.fullmatch(pattern_of(name), p) for p in paths)
    within = "(.*/)?" + pattern_of(name)
    return any(p.startswith(base) and re.fullmatch(within, p[len(base):]) for p in paths)


def is_checked(name):
    return name.endswith("/") or name.endswith(FILE_ENDINGS)


def named_in(document):
    """(line number, name, the folder it resolves in) of every checked name."""
    room, folder, in_code = "", "", False
    for number, line in enumerate(document.splitlines(), 1):
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            first = line.split(" ", 1)[0]
            if first.endswith("/"):
                yield number, first, ""
            continue
        opening = re.match(r"\*\*`([\w/]+)`\*\*", line)
        if opening:
            room, folder = opening.group(1).rstrip("/") + "/", ""
        elif not line.strip():
            room, folder = "", ""
        bullet = re.match(r"- `([\w]+/)`:", line)
        if line.startswith("- "):
            folder = ""
        if bullet and room:
            yield number, bullet.group(1), room
            folder = bullet.group(1)
            line = line[bullet.end():]
        for name in NAME.findall(line):
            if is_checked(name) and not name.endswith((".so", ".a")):
                yield number, name, room + folder


def main(root):
    paths = tree(root)
    document = open(os.path.join(root, "docs", "architecture.md"), encoding="utf-8").read()
    missing = [f"docs/architecture.md:{n}: `{name}` is not in {base or 'the tree'}"
               for n, name, base in named_in(document) if not resolves(name, base, paths)]
    described = {name.rstrip("/") for _, name, _ in named_in(document) if name.endswith("/")}
    for path in sorted(paths):
        parts = path.rstrip("/").split("/")
        if path.endswith("/") and parts[0] == "src" and 2 <= len(parts) <= 3 and parts[-1] not in described \
                and path.rstrip("/") not in described:
            missing.append(f"docs/architecture.md describes no folder {path}")
    for problem in missing:
        print(problem)
    if not missing:
        print("every file and folder docs/architecture.md names is in the tree, and every folder of src/ in it")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
