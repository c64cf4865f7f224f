"""nightdehaze-preview: a local page to see the enhancement before saving it.

    nightdehaze-preview [PICTURE|FOLDER ...] [--port N] [--host ADDR]
                        [--allow-remote] [--output-dir DIR] [--include-results]
                        [--no-browser]

Serves a page with a strip of the pictures, the chosen one large with a
before/after split, zoom to 100 % and pan, the GAMMA slider and the toggles
for --clean, --fast and the dehazing maps; Save writes the result as the
tool would with those settings. The first line on stdout is the page's URL;
Ctrl-C stops the server.
"""

from __future__ import annotations

import argparse
import ipaddress
import os
import secrets
import signal
import socket
import sys
import threading
import webbrowser
from typing import Optional, Sequence

from ._catalogue import UsageError, catalogue
from ._renderer import Renderer
from ._server import PreviewServer

__all__ = ["main"]


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"needs a port number from 0 to 65535, not '{text}'")
    return int(text)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="nightdehaze-preview",
        description="Shows night-time hazy photographs before and after enhancement on a local "
                    "page, with GAMMA and the options live, and saves the result as nightdehaze does.",
        epilog="The server answers only requests that carry the token of the URL it prints. "
               "Exit status: 0 after Ctrl-C, 2 for a usage error, 1 when it cannot serve.")
    parser.add_argument("inputs", nargs="*", default=[os.curdir], metavar="PICTURE|FOLDER",
                        help="pictures, and folders whose pictures to show (default: the current folder)")
    parser.add_argument("--port", type=_port, default=0, metavar="N",
                        help="the port to listen on (default: a free one)")
    parser.add_argument("--host", default="127.0.0.1", metavar="ADDR",
                        help="the address to listen on (default 127.0.0.1, this machine only)")
    parser.add_argument("--allow-remote", action="store_true",
                        help="allow a --host other machines can reach (they then see and save these pictures)")
    parser.add_argument("--include-results", action="store_true",
                        help="also show a folder's files that this tool would have written for another "
                             "picture beside them (its result or maps, such as night_J.bmp beside night.jpg)")
    parser.add_argument("--output-dir", metavar="DIR",
                        help="where Save writes (default: next to each picture, named as the tool names it)")
    parser.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    return parser


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _url(host: str, port: int, token: str) -> str:
    if host in ("0.0.0.0", "::"):
        host = socket.gethostname()
    elif ":" in host:
        host = f"[{host}]"
    return f"http://{host}:{port}/?token={token}"


def _has_desktop() -> bool:
    """A graphical browser can be opened; without one, webbrowser would start a
    text browser in this terminal."""
    return sys.platform in ("darwin", "win32") or bool(os.environ.get("DISPLAY") or
                                                        os.environ.get("WAYLAND_DISPLAY"))


def _stop_on_sigterm() -> None:
    """SIGTERM ends the server as Ctrl-C does."""
    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the preview server until Ctrl-C; returns the exit status."""
    parser = _parser()
    options = parser.parse_args(argv)
    if not _is_loopback(options.host) and not options.allow_remote:
        parser.error(f"--host {options.host} lets other machines see and save these pictures: "
                     "add --allow-remote to mean it")
    output_dir = os.path.abspath(options.output_dir) if options.output_dir else None
    if output_dir and os.path.exists(output_dir) and not os.path.isdir(output_dir):
        parser.error(f"--output-dir '{options.output_dir}' is not a folder")
    try:
        entries, left_out = catalogue(options.inputs, output_dir, options.include_results)
    except UsageError as error:
        parser.error(str(error))
    token = secrets.token_urlsafe(24)
    try:
        server = PreviewServer(options.host, options.port, Renderer(entries), token)
    except OSError as error:
        print(f"nightdehaze-preview: cannot listen on {options.host}:{options.port}: {error.strerror or error}",
              file=sys.stderr)
        return 1
    url = _url(options.host, server.server_address[1], token)
    print(url, flush=True)
    shown = f"{len(entries)} picture{'s' * (len(entries) != 1)}"
    if left_out:
        shown += (f" ({len(left_out)} earlier result{'s' * (len(left_out) != 1)} left out: "
                  "--include-results shows them)")
    print(f"nightdehaze-preview: {shown}; Ctrl-C stops", file=sys.stderr, flush=True)
    if not options.no_browser and _has_desktop():
        threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()
    _stop_on_sigterm()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0
