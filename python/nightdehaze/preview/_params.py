"""The checks of what a client sends: every parameter of every request is
validated here, and a bad one becomes a RequestError with a 4xx status and
a one-line reason."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, List, Mapping

# GAMMA on the page: the tool takes any number above 0; below 0.1 pictures
# wash out to white and above 5 nothing changes any more.
GAMMA_LOW, GAMMA_HIGH = 0.1, 5.0

VIEWS = ("result", "airlight", "transmission")
SIZES = ("screen", "full")


class RequestError(Exception):
    """A request the server refuses: status (4xx) and a one-line reason."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason


@dataclass(frozen=True)
class Settings:
    """The enhancement the page asks for, as the tool's options."""

    gamma: float
    clean: bool
    fast: bool

    def keywords(self) -> Dict[str, object]:
        return {"gamma": self.gamma, "clean": self.clean, "fast": self.fast}


def one(query: Mapping[str, List[str]], name: str) -> str:
    """The single value of parameter name; RequestError when it is missing or repeated."""
    values = query.get(name, [])
    if len(values) != 1:
        raise RequestError(400, f"'{name}' must be given once")
    return values[0]


def picture_number(text: str, count: int) -> int:
    """A picture's number, 0..count-1, written in plain decimal digits."""
    if not (text.isascii() and text.isdigit()) or len(text) > 9:
        raise RequestError(400, f"'picture' must be a picture's number, not '{text[:40]}'")
    number = int(text)
    if number >= count:
        raise RequestError(404, f"there is no picture {number}")
    return number


def flag(text: str, name: str) -> bool:
    if text not in ("0", "1"):
        raise RequestError(400, f"'{name}' must be 0 or 1")
    return text == "1"


def choice(text: str, name: str, allowed: tuple) -> str:
    if text not in allowed:
        raise RequestError(400, f"'{name}' must be one of {', '.join(allowed)}")
    return text


def gamma(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not GAMMA_LOW <= value <= GAMMA_HIGH:
        raise RequestError(400, f"'gamma' must be a number from {GAMMA_LOW} to {GAMMA_HIGH}")
    return value


def settings(values: Mapping[str, str]) -> Settings:
    """Settings from the texts of gamma, clean and fast."""
    return Settings(gamma(values["gamma"]), flag(values["clean"], "clean"), flag(values["fast"], "fast"))
