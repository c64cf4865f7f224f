"""The pictures a preview serves, and where Save writes each one's result.

The pictures are fixed when the server starts: the files given and the
pictures in the folders given (as nightdehaze-batch finds them, without
subfolders, and like it without the earlier results unless asked for). A
folder's entry that is a symbolic link to a file outside the folder is left
out. The page names a picture by its number only, so no path from a client
ever reaches the file system.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import List, NamedTuple, Optional, Sequence, Tuple

from ..batch._inputs import derived_name, directory_pictures, earlier_results, is_inside, is_picture


class UsageError(Exception):
    """An argument names no picture or folder, or no picture is found."""


@dataclass(frozen=True)
class Entry:
    """One picture: name is what the page shows, path the file read, output
    the -o Save gives the tool (None: the tool names the result itself)."""

    name: str
    path: str
    output: Optional[str]

    def written(self, maps: bool) -> Tuple[str, ...]:
        """The paths Save writes, as the tool names them: the result, then
        with maps the airlight and the transmission."""
        result = self.output or derived_name(self.path, "_J.bmp")
        if not maps:
            return (result,)
        stem = self.output or self.path
        return (result, derived_name(stem, "_A.bmp"), derived_name(stem, "_T.bmp"))


def _pictures_named_by(argument: str, include_results: bool, left_out: List[str]) -> List[str]:
    """The pictures of a folder, or the picture named; a folder's earlier
    results go to left_out unless include_results."""
    if os.path.isdir(argument):
        pictures = [p for p in directory_pictures(argument, False, os.devnull) if is_inside(p, argument)]
        results = set() if include_results else earlier_results(pictures)
        left_out += [p for p in pictures if p in results]
        return [p for p in pictures if p not in results]
    if not os.path.isfile(argument):
        raise UsageError(f"no such picture or folder: '{argument}'")
    if not is_picture(os.path.basename(argument)):
        raise UsageError(f"'{argument}' is not a picture the tool reads (by its extension)")
    return [argument]


def _output_for(path: str, output_dir: Optional[str]) -> Optional[str]:
    if output_dir is None:
        return None
    return os.path.join(output_dir, derived_name(os.path.basename(path), "_J.bmp"))


class Catalogue(NamedTuple):
    """The pictures of the strip, and the earlier results left out of it."""

    entries: List[Entry]
    left_out: List[str]


def catalogue(arguments: Sequence[str], output_dir: Optional[str], include_results: bool = False) -> Catalogue:
    """Every picture the arguments name, each once (by its real path), in the
    order given. Raises UsageError when an argument names nothing or when
    no picture is found."""
    entries, seen, left_out = [], set(), []
    for argument in arguments:
        for path in _pictures_named_by(argument, include_results, left_out):
            real = os.path.realpath(path)
            if real in seen:
                continue
            seen.add(real)
            path = os.path.abspath(path)
            entries.append(Entry(os.path.basename(path), path, _output_for(path, output_dir)))
    if not entries:
        raise UsageError("no pictures found in " + ", ".join(f"'{a}'" for a in arguments) +
                         (" but earlier results: --include-results shows them" if left_out else ""))
    _refuse_shared_outputs(entries)
    return Catalogue(entries, left_out)


def _refuse_shared_outputs(entries: Sequence[Entry]) -> None:
    """UsageError when two pictures would save to the same file (same name,
    one --output-dir)."""
    owners = {}
    for entry in entries:
        for path in entry.written(maps=True):
            if owners.setdefault(path, entry.path) != entry.path:
                raise UsageError(f"'{owners[path]}' and '{entry.path}' would both save to '{path}': "
                                 "give them separately, or without --output-dir")
