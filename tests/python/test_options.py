"""Every option is declared once: the package's keywords, defaults and
docstrings, the batch's arguments and the tool's --help follow the declaration."""

import inspect
import subprocess

import numpy as np

import pytest

import nightdehaze as nd
from nightdehaze import _options
from nightdehaze.batch import _parser


def words(text):
    return " ".join(text.split())


SURFACES = [("arrays", nd.enhance), ("arrays", nd.VideoEnhancer), ("files", nd.enhance_file)]


@pytest.mark.parametrize("surface,function", SURFACES)
def test_keywords_defaults_and_docstrings_follow_the_declarations(surface, function):
    parameters = inspect.signature(function).parameters
    declared = [o for o in _options.OPTIONS.values() if getattr(o, surface)]
    assert declared
    for option in declared:
        assert option.keyword in parameters, option.keyword
        assert parameters[option.keyword].default == _options.default(option.keyword)
        if option.keyword != "output":
            assert words(_options.help_text(option.keyword)) in words(function.__doc__)


def test_batch_arguments_follow_the_declarations():
    batch = {a.dest: a for a in _parser()._actions}
    for option in _options.OPTIONS.values():
        assert (option.keyword in batch) == option.batch, option.keyword
        if option.batch:
            assert batch[option.keyword].default == _options.default(option.keyword)


def test_each_surface_helps_with_what_that_surface_does():
    # Regression: the batch's --help spoke of WebP, HEIC and AVIF quality and
    # of -o, and Python's fast= of --non-local and of video encoding.
    batch_help = words(_parser().format_help())
    for foreign in ("WebP", "HEIC", "AVIF", " -o ", "video"):
        assert foreign not in batch_help, foreign
    assert "(about 25 % slower)" in batch_help and "option_strings" not in batch_help
    for option in _options.OPTIONS.values():
        if option.arrays or option.files:
            python_help = _options.help_text(option.keyword)
            assert "--" not in python_help and " -o " not in python_help, option.keyword
            assert "video" not in python_help, option.keyword


def test_the_tools_help_lists_the_declared_command_line_options(tool):
    help_text = subprocess.run([tool, "--help"], capture_output=True, text=True, check=True).stdout
    for option in _options.OPTIONS.values():
        if option.command_line:
            assert option.command_line in help_text
    assert words(_options.OPTIONS["gamma"].help) in words(help_text)
    assert _options.default("gamma") == nd.Context().gamma


def test_a_refused_gamma_reads_the_same_on_every_surface(tool, tmp_path):
    sentence = "gamma must be a finite number greater than 0, not "
    with pytest.raises(ValueError) as python:
        nd.enhance(np.zeros((4, 4, 3), np.uint8), gamma=0)
    with pytest.raises(ValueError) as declared:
        nd._core.enhance_file(str(tmp_path / "x.png"), {"gamma": "0"})
    with pytest.raises(ValueError) as context:
        nd.dehaze(np.zeros((4, 4, 3), np.uint8), context=nd.Context(gamma=0.0))
    command_line = subprocess.run([tool, str(tmp_path / "x.png"), "0"], capture_output=True, text=True)
    assert str(python.value) == sentence + "0"
    assert str(declared.value) == sentence + "'0'"
    assert str(context.value) == "context." + sentence + "0.0"
    assert command_line.stderr == f"nightdehaze: {sentence}'0' (see nightdehaze --help)\n"
    assert command_line.returncode == 2


def test_only_public_names_are_listed_and_each_exists():
    assert set(dir(nd)) == set(nd.__all__) | {"__version__"}
    for name in nd.__all__:
        assert getattr(nd, name) is not None
