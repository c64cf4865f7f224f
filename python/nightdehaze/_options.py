"""The options the tool, the package and nightdehaze-batch share, as the library
declares them once (name, kind, range, default and help): the keyword checks,
the defaults, the docstrings' lines and the batch's arguments follow from here."""

from __future__ import annotations

import textwrap
from typing import Callable, Dict, NamedTuple, Optional, TypeVar

from . import _core
from ._checks import number_in, path_text, whole_number


class Option(NamedTuple):
    """One declared option."""

    keyword: str  #: Python keyword, and nightdehaze-batch's --keyword-with-dashes
    command_line: Optional[str]  #: the tool's long option; None for GAMMA (positional) and batch-only ones
    kind: str  #: "flag", "whole_number", "number" or "path"
    value_name: Optional[str]  #: "N", "PATH", "GAMMA"; None for a flag
    range: _core.NumberRange  #: the values of a number
    default: str  #: the default as the help says it
    help: str  #: the tool's --help text for it
    python_help: str  #: the help as the package's docstrings say it
    batch_help: str  #: the help as nightdehaze-batch --help says it
    arrays: bool  #: taken by enhance and VideoEnhancer
    files: bool  #: taken by enhance_file
    batch: bool  #: taken by nightdehaze-batch


OPTIONS: Dict[str, Option] = {d["keyword"]: Option(**d) for d in _core.option_declarations()}


def default(keyword: str) -> object:
    """The Python default of an option: False for a flag, the number for
    GAMMA, None where the tool derives it (output, quality)."""
    option = OPTIONS[keyword]
    if option.kind == "flag":
        return False
    if option.kind == "number":
        return float(option.default)
    return None


def help_text(keyword: str, surface: str = "python") -> str:
    """The option's help on surface ("python" or "batch") as one
    sentence-cased paragraph."""
    option = OPTIONS[keyword]
    text = " ".join((option.batch_help if surface == "batch" else option.python_help).split())
    return text[:1].upper() + text[1:] + ("" if text.endswith(".") else ".")


def _docstring_paragraph(keyword: str) -> str:
    """help_text wrapped for a numpydoc parameter description (8 spaces in)."""
    return "\n        ".join(textwrap.wrap(help_text(keyword), width=70))


def checked(keyword: str, value: object) -> object:
    """value if the option takes it, as its kind's Python type."""
    option = OPTIONS[keyword]
    if option.kind == "flag":
        return bool(value)
    if option.kind == "path":
        return path_text(keyword, value)
    if option.kind == "whole_number":
        return whole_number(keyword, value, option.range)
    return number_in(keyword, value, option.range)


def as_text(values: Dict[str, object]) -> Dict[str, str]:
    """Checked keyword values as the library reads them: the command line's
    text of each, flags only when on, options left at None out."""
    texts = {}
    for keyword, value in values.items():
        value = checked(keyword, value) if value is not None else None
        if value is None or value is False:
            continue
        texts[keyword] = "" if value is True else repr(value) if isinstance(value, float) else str(value)
    return texts


Function = TypeVar("Function", bound=Callable)


def documented(function: Function) -> Function:
    """Fills the ``{keyword}`` fields of a docstring with the options' help."""
    function.__doc__ = function.__doc__.format(**{k: _docstring_paragraph(k) for k in OPTIONS})
    return function
