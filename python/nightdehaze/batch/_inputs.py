"""Which pictures and clips a batch enhances and where each result goes.

Inputs are files, directories and glob patterns. Every picture keeps its
path relative to the place it was found (the directory given, the parent of a
file given, the fixed leading part of a pattern), and its results are written
under the output directory at that relative path, named by the tool's rule.
A folder's or a pattern's files that the tool would have written for another
picture beside them (earlier results) are left out unless asked for; a file
named on its own is always taken.
"""

import glob
import os
from dataclasses import dataclass
from typing import FrozenSet, List, NamedTuple, Sequence, Set, Tuple

from .. import _core

# Extensions of the pictures the tool reads (OpenCV's, HEIF and AVIF through
# libheif, camera raw files through LibRaw); a directory's other files are
# not pictures. Compared in lower case.
PICTURE_EXTENSIONS = frozenset({
    ".bmp", ".dib", ".jpg", ".jpeg", ".jpe", ".jp2", ".png", ".webp", ".pbm",
    ".pgm", ".ppm", ".pxm", ".pnm", ".sr", ".ras", ".tif", ".tiff", ".exr",
    ".hdr", ".pic",
    ".heic", ".heif", ".avif",
    ".3fr", ".arw", ".cr2", ".cr3", ".crw", ".dcr", ".dng", ".erf", ".iiq",
    ".kdc", ".mef", ".mos", ".mrw", ".nef", ".nrw", ".orf", ".pef", ".raf",
    ".raw", ".rw2", ".rwl", ".sr2", ".srf", ".srw", ".x3f",
})

# Extensions of the clips a folder's scan takes, compared in lower case. A
# file named on its own is a clip when its content says so, whatever its name.
CLIP_EXTENSIONS = frozenset({".mp4", ".mov", ".mkv", ".avi", ".ts", ".m2ts", ".mts", ".webm"})

# The formats the results can be written in, by the extension they get.
OUTPUT_FORMATS = ("bmp", "png", "jpg", "tif")


class UsageError(Exception):
    """The command line names no pictures, or pictures that cannot all be
    written as asked; nothing has run."""


@dataclass(frozen=True)
class Picture:
    """One input and the files its enhancement writes.

    source: the input path as found (relative to the working directory when
    the user gave a relative one); outputs: the enhanced picture first, then
    the airlight and transmission maps when they are asked for; a clip's
    output is its enhanced clip alone, in its own container.
    """

    source: str
    outputs: Tuple[str, ...]
    clip: bool = False

    @property
    def output(self) -> str:
        return self.outputs[0]


def derived_name(name: str, suffix: str) -> str:
    """The tool's output name rule: the name without the extension of its
    file name, followed by suffix, so "night.png" -> "night_J.bmp",
    "night.jpeg" -> "night_J.bmp" and "image" -> "image_J.bmp"."""
    return _core.output_stem(name) + suffix


# What the tool, the batch and the preview's Save name after a picture beside
# it: the result, and the maps named after the picture or after the result.
_WRITTEN_SUFFIXES = ("_J", "_A", "_T", "_J_A", "_J_T")


def written_names(name: str) -> FrozenSet[str]:
    """The file names of the results and maps the tool writes for a picture
    named name, in every format the batch writes, and as versions before
    this one named them (name less its last four characters); for a clip,
    its enhanced clip."""
    if is_clip_name(name):
        return frozenset({clip_output_name(name)})
    stems = {_core.output_stem(name), name[:len(name) - 4] if len(name) >= 4 else name}
    return frozenset(stem + suffix + "." + fmt for stem in stems
                     for suffix in _WRITTEN_SUFFIXES for fmt in OUTPUT_FORMATS)


def clip_output_name(name: str) -> str:
    """The tool's name for a clip's result: "drive.mp4" -> "drive_J.mp4"."""
    stem = _core.output_stem(name)
    return stem + "_J" + (name[len(stem):] if stem != name else ".mp4")


def earlier_results(paths: Sequence[str]) -> Set[str]:
    """Those of paths that the tool would have written for another picture
    of their folder, that picture being there: its result or one of its maps."""
    by_folder = {}
    for path in paths:
        by_folder.setdefault(os.path.dirname(path), []).append(path)
    found = set()
    for folder, members in by_folder.items():
        try:
            names = os.listdir(folder or os.curdir)
        except OSError:
            continue
        written = set().union(*(written_names(n) for n in names if is_picture(n) or is_clip_name(n)))
        found.update(p for p in members if os.path.basename(p) in written)
    return found


def outputs_for(relative: str, output_dir: str, fmt: str, maps: bool) -> Tuple[str, ...]:
    """The result paths of the picture found at relative (a path relative to
    its base): the file name follows the tool's rule, the folders mirror
    relative's. With maps, the maps are named from the result as the tool
    names them from an explicit output path, in the result's format."""
    folder, name = os.path.split(relative)
    result = os.path.join(output_dir, folder, derived_name(name, "_J." + fmt))
    if not maps:
        return (result,)
    return (result, derived_name(result, "_A." + fmt), derived_name(result, "_T." + fmt))


def is_picture(name: str) -> bool:
    return not name.startswith(".") and os.path.splitext(name)[1].lower() in PICTURE_EXTENSIONS


def is_clip_name(name: str) -> bool:
    return not name.startswith(".") and os.path.splitext(name)[1].lower() in CLIP_EXTENSIONS


def is_clip_file(path: str) -> bool:
    """A clip by its content, as the tool tells (a file named .mp4 that holds
    a picture, or nothing readable, takes the picture path and its reason);
    by its name when this machine has no video module to tell. A picture's
    name is a picture, as before clips came (a raw file need not load FFmpeg)."""
    if is_picture(os.path.basename(path)):
        return False
    try:
        return _core.is_video(path)
    except (OSError, ValueError):
        return is_clip_name(os.path.basename(path))


def is_inside(path: str, directory: str) -> bool:
    path, directory = os.path.realpath(path), os.path.realpath(directory)
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


def directory_pictures(directory: str, recursive: bool, output_dir: str) -> List[str]:
    """The pictures in directory (and its subfolders when recursive, except the
    output directory's own tree), sorted by path."""
    found = []
    for root, folders, files in os.walk(directory):
        if not recursive:
            folders.clear()
        folders[:] = sorted(f for f in folders if not f.startswith(".")
                            and not is_inside(os.path.join(root, f), output_dir))
        found += [os.path.join(root, f) for f in sorted(files)
                  if (is_picture(f) or is_clip_name(f)) and os.path.isfile(os.path.join(root, f))]
    return found


def _pattern_base(pattern: str) -> str:
    """The leading folders of a glob pattern that hold no wildcard."""
    parts = pattern.split(os.sep)
    fixed = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        fixed.append(part)
    return os.sep.join(fixed) if fixed != [""] else os.sep


def names_one_file(argument: str) -> bool:
    """True for an argument that is a file (or a link) itself, not a folder or a pattern."""
    return not os.path.isdir(argument) and os.path.lexists(argument)


def _found(argument: str, recursive: bool, output_dir: str) -> List[Tuple[str, str]]:
    """(path, base) of every picture an argument names."""
    if os.path.isdir(argument):
        return [(p, argument) for p in directory_pictures(argument, recursive, output_dir)]
    if names_one_file(argument):
        return [(argument, os.path.dirname(argument))]
    if not glob.has_magic(argument):
        raise UsageError(f"no such file or directory: '{argument}'")
    matches = sorted(glob.glob(argument, recursive=recursive))
    if not matches:
        raise UsageError(f"no file matches '{argument}'")
    base = _pattern_base(argument)
    found = []
    for match in matches:
        if os.path.isdir(match):
            found += [(p, base) for p in directory_pictures(match, recursive, output_dir)]
        else:
            found.append((match, base))
    return found


def _reject_clashes(pictures: Sequence[Picture]) -> None:
    """Two pictures writing one path, or a result overwriting an input, are
    a usage error: one result would silently replace another."""
    writer = {}
    sources = {os.path.realpath(p.source): p.source for p in pictures}
    for picture in pictures:
        for output in picture.outputs:
            key = os.path.realpath(output)
            if key in writer:
                raise UsageError(f"'{writer[key]}' and '{picture.source}' would both be "
                                 f"written to '{output}'")
            if key in sources:
                raise UsageError(f"'{picture.source}' would be written over the input "
                                 f"'{sources[key]}'")
            writer[key] = picture.source


class Selection(NamedTuple):
    """The pictures to enhance, and the earlier results left out (paths as found)."""

    pictures: List[Picture]
    left_out: List[str]


def left_out_note(left_out: Sequence[str]) -> str:
    """Why the earlier results were left out, and how to take them, in one line."""
    count = len(left_out)
    return (f"left out {count} earlier result{'s' * (count != 1)} (named as this tool names the result "
            f"or maps of another picture beside them, such as '{left_out[0]}'): "
            "--include-results takes them too")


def pictures_to_enhance(arguments: Sequence[str], output_dir: str, fmt: str = "bmp",
                        maps: bool = False, recursive: bool = False,
                        include_results: bool = False) -> Selection:
    """Every picture the arguments name, each once, in the order given, with
    its result paths; without include_results, the earlier results among a
    folder's or a pattern's files are left out. Raises UsageError for an
    argument that names nothing, when no picture is found, and for clashing
    result paths."""
    if fmt not in OUTPUT_FORMATS:
        raise UsageError(f"--format must be one of {', '.join(OUTPUT_FORMATS)}, not '{fmt}'")
    pictures, seen, skipped = [], set(), []
    for argument in arguments:
        found = _found(argument, recursive, output_dir)
        if not include_results and not names_one_file(argument):
            results = earlier_results([path for path, _ in found])
            skipped += [path for path, _ in found if path in results]
            found = [(path, base) for path, base in found if path not in results]
        for path, base in found:
            key = os.path.realpath(path)
            if key in seen:
                continue
            seen.add(key)
            relative = os.path.relpath(path, base or os.curdir)
            if is_clip_file(path):
                folder, name = os.path.split(relative)
                pictures.append(Picture(path, (os.path.join(output_dir, folder, clip_output_name(name)),), True))
            else:
                pictures.append(Picture(path, outputs_for(relative, output_dir, fmt, maps)))
    left_out = list(dict.fromkeys(p for p in skipped if os.path.realpath(p) not in seen))
    if not pictures:
        raise UsageError("no pictures or clips found in " + ", ".join(f"'{a}'" for a in arguments) +
                         (f"; {left_out_note(left_out)}" if left_out else ""))
    _reject_clashes(pictures)
    return Selection(pictures, left_out)
