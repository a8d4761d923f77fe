#!/usr/bin/env python3
"""Loopback HTTP and HTTPS server of the benchmarks.

Files are streamed from disk, never held in memory (plain HTTP with sendfile,
HTTPS in 256 KiB pieces), so installers of a gibibyte cost the server no more
than small ones, and the stub and curl download from the same server.

Routes (GET and HEAD, any query ignored):
  /qmx.json        the current contents of the --config file, read per request
  /startup.json    a small JSON document (the start-up comparison)
  /files/NAME      the file NAME of the --root folder
  /cut/O1,O2,.../NAME
                   the same file with a strong ETag, broken off (the
                   connection reset) at the first of the byte offsets O1, O2,
                   ... past where the answer starts, each offset once (a link
                   that dropped and came back); "Range: bytes=N-" with no
                   If-Range, or one naming the ETag, gets the rest from N (206)

Every request is logged as one JSON line in the --log file with the moment its
head had been read ("time", Unix seconds), its listener and path; the
benchmarks take the arrival of the configuration request from it; an answer
of the /cut/ route adds a line with the bytes of its body it sent. The server
stops on SIGTERM or SIGINT, or by itself after --lifetime seconds.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from pathlib import Path

# Ranges are answered as the tests' fixture server answers them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "fixtures"))
from fixture_server import range_start  # noqa: E402

HOST = "127.0.0.1"
PIECE = 256 * 1024
SOCKET_TIMEOUT = 30.0
STARTUP_BODY = b'{"startup": true}\n'


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, listener, port, owner, tls):
        self.listener = listener
        self.owner = owner
        self.tls = tls
        super().__init__((HOST, port), Handler)


class Owner:
    """What the listeners share: the folders, the request log and its lock."""

    def __init__(self, root, config, log_path):
        self.root = os.path.realpath(root)
        self.config = config
        self.log_lock = threading.Lock()
        self.log = open(log_path, "a", buffering=1)
        self.cuts_lock = threading.Lock()
        self.used_cuts = {}  # route: the offsets an answer broke off at

    def take_cut(self, route, cuts, start, size):
        """The offset this answer breaks off at (size for none), taken."""
        with self.cuts_lock:
            used = self.used_cuts.setdefault(route, set())
            cut = next((cut for cut in cuts if start < cut < size and cut not in used), size)
            used.add(cut)
            return cut

    def record(self, entry):
        with self.log_lock:
            self.log.write(json.dumps(entry) + "\n")

    def file_path(self, name):
        if "/" in name or name in ("", ".", ".."):
            return None
        path = os.path.join(self.root, name)
        return path if os.path.isfile(path) else None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "bench_server"

    def setup(self):
        # The TLS handshake runs on the connection's own thread, so a slow
        # client never holds up the accepting one.
        self.request.settimeout(SOCKET_TIMEOUT)
        if self.server.tls is not None:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        arrived = time.time()
        path = urllib.parse.urlsplit(self.path).path
        self.server.owner.record({"time": arrived, "listener": self.server.listener,
                                  "method": self.command, "path": path})
        if path == "/qmx.json":
            try:
                with open(self.server.owner.config, "rb") as stream:
                    body = stream.read()
            except OSError:
                body = None
            return self.small(200, body, "application/json", send_body) if body is not None \
                else self.small(404, b"no configuration\n", "text/plain", send_body)
        if path == "/startup.json":
            return self.small(200, STARTUP_BODY, "application/json", send_body)
        if path.startswith("/cut/"):
            offsets, _, name = path[len("/cut/"):].partition("/")
            file_path = self.server.owner.file_path(urllib.parse.unquote(name))
            cuts = parse_offsets(offsets)
            if file_path is not None and cuts is not None:
                return self.cut_stream(path, file_path, cuts, send_body)
        if path.startswith("/files/"):
            file_path = self.server.owner.file_path(urllib.parse.unquote(path[len("/files/"):]))
            if file_path is not None:
                return self.stream(file_path, send_body)
        return self.small(404, b"not found\n", "text/plain", send_body)

    def small(self, status, body, kind, send_body):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def stream(self, path, send_body):
        with open(path, "rb") as stream:
            size = os.fstat(stream.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if send_body:
                self.send_part(stream, 0, size)

    def cut_stream(self, route, path, cuts, send_body):
        with open(path, "rb") as stream:
            facts = os.fstat(stream.fileno())
            size = facts.st_size
            etag = '"%x-%x"' % (size, facts.st_mtime_ns)
            start = range_start(self.headers.get("Range"), self.headers.get("If-Range"), etag, size)
            end = self.server.owner.take_cut(route, cuts, start, size) if send_body else size
            self.send_response(206 if start else 200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("ETag", etag)
            self.send_header("Accept-Ranges", "bytes")
            if start:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
            self.send_header("Content-Length", str(size - start))
            self.end_headers()
            sent = 0
            try:
                if send_body:
                    self.send_part(stream, start, end - start)
                    sent = end - start
            finally:
                self.server.owner.record({"time": time.time(), "listener": self.server.listener, "path": route,
                                          "start": start, "sent": sent})
            if end < size:
                # A reset, as a dropped link shows itself.
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close_connection = True

    def send_part(self, stream, offset, count):
        if self.server.tls is None:
            self.connection.sendfile(stream, offset, count)
            return
        stream.seek(offset)
        while count > 0:
            piece = stream.read(min(PIECE, count))
            if not piece:
                break
            self.connection.sendall(piece)
            count -= len(piece)


def parse_offsets(text):
    """The cut offsets of a /cut/ route ("10,20"), ascending; None for bad text."""
    try:
        offsets = sorted(int(part) for part in text.split(","))
    except ValueError:
        return None
    return offsets if offsets and offsets[0] > 0 else None


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder of the files under /files/")
    parser.add_argument("--config", required=True, help="file served as /qmx.json")
    parser.add_argument("--log", required=True, help="request log (JSON lines, appended)")
    parser.add_argument("--http", type=int, help="plain HTTP port (0: any free port)")
    parser.add_argument("--https", type=int, help="HTTPS port (0: any free port)")
    parser.add_argument("--cert", help="certificate chain of the HTTPS listener (PEM)")
    parser.add_argument("--key", help="its private key (PEM)")
    parser.add_argument("--ready", help="JSON of the bound ports, written once all listen")
    parser.add_argument("--lifetime", type=float, default=3600.0, metavar="SECONDS")
    args = parser.parse_args(argv)
    if args.https is not None and not (args.cert and args.key):
        parser.error("--https needs --cert and --key")
    if args.http is None and args.https is None:
        parser.error("give --http, --https or both")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    owner = Owner(args.root, args.config, args.log)
    servers = {}
    try:
        if args.http is not None:
            servers["http"] = Server("http", args.http, owner, None)
        if args.https is not None:
            servers["https"] = Server("https", args.https, owner, tls_context(args.cert, args.key))
    except OSError as error:
        sys.stderr.write("bench_server: cannot listen: %s\n" % error)
        return 1
    for server in servers.values():
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    if args.ready:
        ports = {name: server.server_address[1] for name, server in servers.items()}
        partial = args.ready + ".part"
        with open(partial, "w") as stream:
            json.dump(ports, stream)
        os.replace(partial, args.ready)
    done.wait(args.lifetime)
    for server in servers.values():
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
