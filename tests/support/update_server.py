"""A local hash-list server for the database update tests.

Serves the files of a root folder over HTTP or HTTPS on 127.0.0.1 and records every request in
ROOT/requests.log, one line of tab-separated fields: the path, then the User-Agent, Auth-Key,
If-None-Match and If-Modified-Since headers ("-" for one the request lacks). A few paths behave
specially:
    /stall...      the request is read and never answered (the connection stays open)
    /big/N         a body of N bytes
    /error...      a 404 answer with an HTML page
    /status/N...   an answer with HTTP status N and a short text body
    /etag/NAME     the file NAME with an ETag (from its content); a matching If-None-Match gets 304
    /lastmod/NAME  the file NAME with a Last-Modified (its modification time); an If-Modified-Since
                   not older than that gets 304
    /key/NAME      the file NAME for a request with "Auth-Key: letmein"; 401 without the header,
                   403 with another key
    /__shutdown    stops the server
With --tls a self-signed CA certificate for localhost and 127.0.0.1 is made with the openssl tool
(ROOT/tls/cert.pem is the bundle a client trusts). When listening, the port number is written to
ROOT/port. Used in-process by the end-to-end tests and as a child process by the unit tests.
"""

import argparse
import email.utils
import hashlib
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time


def make_certificate(folder):
    os.makedirs(folder, exist_ok=True)
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
         "-addext", "basicConstraints=critical,CA:TRUE"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # keep the test output clean
        pass

    RECORDED = ("User-Agent", "Auth-Key", "If-None-Match", "If-Modified-Since")

    def _record(self):
        fields = [self.path] + [self.headers.get(name) or "-" for name in self.RECORDED]
        with self.server.log_lock:
            with open(os.path.join(self.server.root, "requests.log"), "a") as log:
                log.write("\t".join(fields) + "\n")

    def _send(self, status, body, content_type="text/plain", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _file(self, relative):
        """The full path of a served file, or None when the root holds no such file."""
        full = os.path.realpath(os.path.join(self.server.root, relative.split("?")[0]))
        if not full.startswith(os.path.realpath(self.server.root) + os.sep) or \
                not os.path.isfile(full):
            return None
        return full

    def _send_validated(self, full, kind):
        with open(full, "rb") as f:
            body = f.read()
        if kind == "etag":
            tag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
            if tag in [t.strip() for t in (self.headers.get("If-None-Match") or "").split(",")]:
                self._send(304, b"", headers=[("ETag", tag)])
            else:
                self._send(200, body, headers=[("ETag", tag)])
            return
        modified = int(os.path.getmtime(full))
        stamp = email.utils.formatdate(modified, usegmt=True)
        since = self.headers.get("If-Modified-Since")
        try:
            fresh = since is not None and \
                email.utils.parsedate_to_datetime(since).timestamp() >= modified
        except (TypeError, ValueError):
            fresh = False
        if fresh:
            self._send(304, b"", headers=[("Last-Modified", stamp)])
        else:
            self._send(200, body, headers=[("Last-Modified", stamp)])

    def do_GET(self):  # noqa: N802 - the name http.server calls
        self._record()
        if self.path == "/__shutdown":
            self._send(200, b"bye\n")
            threading.Thread(target=self.server.shutdown, daemon=True).start()
            self.server.stopping.set()
            return
        if self.path.startswith("/stall"):
            self.server.stopping.wait()
            self.close_connection = True
            return
        if self.path.startswith("/big/"):
            size = int(self.path[len("/big/"):])
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            line = b"0" * 63 + b"\n"
            sent = 0
            while sent < size:
                piece = line[:min(len(line), size - sent)]
                self.wfile.write(piece)
                sent += len(piece)
            return
        if self.path.startswith("/status/"):
            status = int(self.path[len("/status/"):].split("/")[0])
            self._send(status, b"status page\n")
            return
        if self.path.startswith("/error"):
            self._send(404, b"<html><head><title>404 Not Found</title></head>\n"
                            b"<body><h1>Not Found</h1></body></html>\n", "text/html")
            return
        for kind in ("etag", "lastmod"):
            if self.path.startswith("/%s/" % kind):
                full = self._file(self.path[len(kind) + 2:])
                if full is None:
                    self._send(404, b"not found\n")
                else:
                    self._send_validated(full, kind)
                return
        relative = self.path.lstrip("/")
        if self.path.startswith("/key/"):
            key = self.headers.get("Auth-Key")
            if key != "letmein":
                self._send(401 if key is None else 403, b"an Auth-Key is needed\n")
                return
            relative = self.path[len("/key/"):]
        full = self._file(relative)
        if full is None:
            self._send(404, b"not found\n")
            return
        with open(full, "rb") as f:
            self._send(200, f.read())


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


class UpdateServer:
    """The server running on threads of the calling process."""

    def __init__(self, root, tls):
        self.root = root
        os.makedirs(root, exist_ok=True)
        self.httpd = _Server(("127.0.0.1", 0), _Handler)
        self.httpd.root = root
        self.httpd.log_lock = threading.Lock()
        self.httpd.stopping = threading.Event()
        self.cert = None
        if tls:
            self.cert, key = make_certificate(os.path.join(root, "tls"))
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.cert, key)
            # The handshake runs on the request's own thread, so one stuck client blocks no other.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
        self.port = self.httpd.server_address[1]
        self.scheme = "https" if tls else "http"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        temporary = os.path.join(self.root, "port.tmp")
        with open(temporary, "w") as f:
            f.write(str(self.port))
        os.replace(temporary, os.path.join(self.root, "port"))
        return self

    def url(self, path, host="127.0.0.1"):
        return "%s://%s:%d%s" % (self.scheme, host, self.port, path)

    def write(self, relative, content):
        full = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)

    def requests(self):
        """(path, user agent) of every request so far, in order."""
        return [(r["path"], r["User-Agent"] or "-") for r in self.request_fields()]

    def request_fields(self):
        """Every request so far as a dict: its path and the headers of RECORDED (None if absent)."""
        try:
            with open(os.path.join(self.root, "requests.log")) as log:
                lines = [line.rstrip("\n").split("\t") for line in log]
        except FileNotFoundError:
            return []
        names = ("path",) + _Handler.RECORDED
        return [dict((n, None if v == "-" else v) for n, v in zip(names, fields))
                for fields in lines]

    def stop(self):
        self.httpd.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--lifetime", type=float, default=600,
                        help="seconds after which the server stops even if nobody asks it to")
    args = parser.parse_args()
    os.makedirs(args.root, exist_ok=True)
    # As a child of a test, hold none of the test runner's pipes open.
    with open(os.path.join(args.root, "server.out"), "w") as out:
        os.dup2(out.fileno(), 1)
        os.dup2(out.fileno(), 2)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    server = UpdateServer(args.root, args.tls)
    server.start()
    deadline = time.monotonic() + args.lifetime
    while server.thread.is_alive() and time.monotonic() < deadline:
        server.thread.join(0.5)
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
