"""The preview's HTTP server: the page's files, and its API.

Standard library only (http.server, one thread per request): the work is a
few long computations at a time, which run on the request's thread while the
others keep answering. Every API request carries the token printed in the
URL; the page's own files are public. A bad request gets a 4xx status with a
one-line plain-text reason, and nothing a client sends names a file.
"""

from __future__ import annotations

import hmac
import json
import socket
import sys
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Dict, List, Tuple
from urllib.parse import parse_qs, urlsplit

from .. import Cancelled, __version__
from .._options import default
from ._params import (GAMMA_HIGH, GAMMA_LOW, SIZES, VIEWS, RequestError, choice, flag, one, picture_number,
                      settings)
from ._renderer import Renderer

MAX_BODY = 4096  # bytes of a Save request; its settings need a few dozen
_PAGE_FILES = {"/": ("index.html", "text/html; charset=utf-8"),
               "/preview.css": ("preview.css", "text/css; charset=utf-8"),
               "/preview.js": ("preview.js", "text/javascript; charset=utf-8"),
               "/icon.svg": ("icon.svg", "image/svg+xml"),
               "/favicon.ico": ("icon.svg", "image/svg+xml")}
_SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' blob:; object-src 'none'; "
                               "frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}


def _page_file(name: str) -> bytes:
    return resources.files(__package__).joinpath("page", name).read_bytes()


def _error_of(error: Exception) -> Tuple[int, str]:
    """The status and one-line reason a failed computation answers with."""
    reason = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, RequestError):
        return error.status, error.reason
    if isinstance(error, Cancelled):
        return HTTPStatus.CONFLICT, "superseded by a newer preview"
    if isinstance(error, FileNotFoundError):
        return HTTPStatus.NOT_FOUND, reason
    if isinstance(error, ValueError):
        return HTTPStatus.UNPROCESSABLE_ENTITY, reason
    if isinstance(error, MemoryError):
        return HTTPStatus.SERVICE_UNAVAILABLE, "not enough memory for this picture"
    if isinstance(error, OSError):
        return HTTPStatus.INTERNAL_SERVER_ERROR, reason
    return HTTPStatus.INTERNAL_SERVER_ERROR, f"internal error: {reason}"


class _Handler(BaseHTTPRequestHandler):
    server: "PreviewServer"
    server_version = f"nightdehaze-preview/{__version__}"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args) -> None:
        """Quiet: requests are not logged; failures are, one line each."""

    def do_GET(self) -> None:
        self._answer(self._get)

    def do_POST(self) -> None:
        self._answer(self._post)

    def _refuse_method(self) -> None:
        self._send_text(HTTPStatus.METHOD_NOT_ALLOWED, "only GET and POST are served")

    do_HEAD = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method

    def send_error(self, code: int, message: str = None, explain: str = None) -> None:
        """A request the HTTP layer cannot parse: its status and a one-line reason."""
        self.close_connection = True
        self._send_text(code, " ".join((message or HTTPStatus(code).phrase).split()))

    def _answer(self, route) -> None:
        try:
            status, body, kind, headers = route()
        except ConnectionError:  # the page dropped the request while it was read
            self.close_connection = True
            return
        except Exception as error:  # every failure answers; none ends the server
            status, reason = _error_of(error)
            if status >= 500:
                print(f"nightdehaze-preview: {reason}", file=sys.stderr)
            self._send_text(status, reason)
            return
        self._send(status, body, kind, headers)

    def _send_text(self, status: int, reason: str) -> None:
        self._send(status, (reason + "\n").encode(), "text/plain; charset=utf-8", {})

    def _send(self, status: int, body: bytes, kind: str, headers: Dict[str, str]) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in {**_SECURITY_HEADERS, **headers}.items():
            self.send_header(name, value)
        try:
            self.end_headers()
            self.wfile.write(body)
        except ConnectionError:  # the page dropped a request it no longer needs
            self.close_connection = True

    def _query(self) -> Tuple[str, Dict[str, List[str]]]:
        parts = urlsplit(self.path)
        try:
            return parts.path, parse_qs(parts.query, keep_blank_values=True, max_num_fields=16)
        except ValueError:
            raise RequestError(HTTPStatus.BAD_REQUEST, "too many parameters") from None

    def _authorised(self, query: Dict[str, List[str]]) -> None:
        given = query.get("token", [""])[0]
        if not hmac.compare_digest(given.encode(), self.server.token.encode()):
            raise RequestError(HTTPStatus.FORBIDDEN, "a valid token is needed: open the URL the preview printed")

    def _get(self):
        path, query = self._query()
        if path in _PAGE_FILES:
            name, kind = _PAGE_FILES[path]
            return HTTPStatus.OK, _page_file(name), kind, {}
        routes = {"/api/pictures": self._pictures, "/api/thumbnail": self._thumbnail,
                  "/api/original": self._original, "/api/preview": self._preview}
        if path not in routes:
            raise RequestError(HTTPStatus.NOT_FOUND, "no such page")
        self._authorised(query)
        return routes[path](query)

    def _post(self):
        path, query = self._query()
        if path != "/api/save":
            raise RequestError(HTTPStatus.NOT_FOUND, "no such page")
        self._authorised(query)
        return self._save(self._json_body())

    def _json_body(self) -> Dict[str, str]:
        length = self.headers.get("Content-Length", "")
        if not length.isdigit():
            self.close_connection = True
            raise RequestError(HTTPStatus.LENGTH_REQUIRED, "a Save request needs a Content-Length")
        if int(length) > MAX_BODY:
            self.close_connection = True
            raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                               f"a Save request holds at most {MAX_BODY} bytes")
        try:
            body = json.loads(self.rfile.read(int(length)))
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise RequestError(HTTPStatus.BAD_REQUEST, "a Save request is a JSON object") from None
        if not isinstance(body, dict) or not all(isinstance(v, str) for v in body.values()):
            raise RequestError(HTTPStatus.BAD_REQUEST, "a Save request is a JSON object of strings")
        return body

    def _number(self, query) -> int:
        return picture_number(one(query, "picture"), len(self.server.renderer.entries))

    def _pictures(self, query):
        entries = self.server.renderer.entries
        listing = {"pictures": [{"number": i, "name": e.name} for i, e in enumerate(entries)],
                   "gamma": {"low": GAMMA_LOW, "high": GAMMA_HIGH, "default": default("gamma")},
                   "version": __version__}
        return HTTPStatus.OK, json.dumps(listing).encode(), "application/json", {}

    def _thumbnail(self, query):
        return HTTPStatus.OK, self.server.renderer.thumbnail(self._number(query)), "image/jpeg", {}

    def _original(self, query):
        number, size = self._number(query), choice(one(query, "size"), "size", SIZES)
        body, kind = self.server.renderer.original(number, size)
        return HTTPStatus.OK, body, kind, self._size_header(number)

    def _preview(self, query):
        number, size = self._number(query), choice(one(query, "size"), "size", SIZES)
        view = choice(one(query, "view"), "view", VIEWS)
        chosen = settings({name: one(query, name) for name in ("gamma", "clean", "fast")})
        body, kind = self.server.renderer.preview(number, size, chosen, view)
        return HTTPStatus.OK, body, kind, self._size_header(number)

    def _size_header(self, number: int) -> Dict[str, str]:
        width, height = self.server.renderer.full_size(number)
        return {"X-Picture-Size": f"{width}x{height}"}

    def _save(self, body: Dict[str, str]):
        missing = [name for name in ("picture", "gamma", "clean", "fast", "maps") if name not in body]
        if missing:
            raise RequestError(HTTPStatus.BAD_REQUEST, f"a Save request needs '{missing[0]}'")
        number = picture_number(body["picture"], len(self.server.renderer.entries))
        chosen = settings(body)
        maps = flag(body["maps"], "maps")
        written = self.server.renderer.save(number, chosen, maps)
        return HTTPStatus.OK, json.dumps({"written": written}).encode(), "application/json", {}


class PreviewServer(ThreadingHTTPServer):
    """Serves the page and its API for a renderer, behind a token."""

    daemon_threads = True
    request_queue_size = 64

    def __init__(self, host: str, port: int, renderer: Renderer, token: str) -> None:
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        super().__init__((host, port), _Handler)
        self.renderer = renderer
        self.token = token

    def handle_error(self, request, client_address) -> None:
        """A connection the browser drops (a request it no longer needs, a
        closed tab) is normal and passes in silence; anything else the HTTP
        layer meets is one line, never a traceback."""
        error = sys.exc_info()[1]
        if isinstance(error, ConnectionError):
            return
        print(f"nightdehaze-preview: a request from {client_address[0]} failed: "
              f"{' '.join(str(error).split()) or type(error).__name__}", file=sys.stderr)
