#!/usr/bin/env python3
"""HTTPS on 127.0.0.1:PORT for tests.

Serves DIRECTORY. A POST or PUT is answered like a GET of its path, so a file
placed there is the canned response. Every request is appended to LOG as one
JSON line: method, path, headers and the body in base64.

ROUTES, read at every request, is a JSON object that maps a path with its
query (or, failing that, the path alone) to an answer of its own:
{"status": int, "body": base64, "stall": seconds, "drop": bool, "location": text,
"range": "partial" | "whole" | "refuse" | "unsized"}. A stall waits before
answering; a drop closes the connection without an answer; a location is sent
as the "Location" header. A route with "range" serves the file at its path
instead of the body: "partial" answers "Range: bytes=N-" with 206 and the
file's tail, "whole" ignores the range (200), "refuse" answers a range that
starts past byte 0 with 416, "unsized" sends the whole file without a
"Content-Length", so that its body ends with the connection.

Usage: https_server.py DIRECTORY PORT CERTIFICATE KEY LOG ROUTES
"""
import base64
import functools
import http.server
import json
import re
import ssl
import sys
import threading
import time

directory, port, certificate, key, log_path, routes_path = (sys.argv[1], int(sys.argv[2]),
                                                           *sys.argv[3:7])
log_lock = threading.Lock()


class LoggingHandler(http.server.SimpleHTTPRequestHandler):
    def log_body(self, body):
        entry = {"method": self.command, "path": self.path, "headers": dict(self.headers),
                 "body": base64.b64encode(body).decode("ascii")}
        with log_lock, open(log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def route(self):
        try:
            with open(routes_path, encoding="utf-8") as routes_file:
                routes = json.load(routes_file)
        except (OSError, ValueError):
            return None
        return routes.get(self.path) or routes.get(self.path.split("?", 1)[0])

    def answer(self):
        route = self.route()
        if route is None:
            super().do_GET()
            return
        time.sleep(route.get("stall", 0))
        if route.get("drop"):
            self.close_connection = True
            self.connection.close()
            return
        if "range" in route:
            self.answer_file(route["range"])
            return
        body = base64.b64decode(route.get("body", ""))
        self.send(route.get("status", 200), body, "application/json", route.get("location"))

    def send(self, status, body, content_type, location=None, content_range=None, sized=True):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if sized:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.close_connection = True
        if location:
            self.send_header("Location", location)
        if content_range:
            self.send_header("Content-Range", content_range)
        self.end_headers()
        self.wfile.write(body)

    def answer_file(self, mode):
        try:
            with open(self.translate_path(self.path), "rb") as served:
                data = served.read()
        except OSError:
            self.send(404, b"", "text/plain")
            return
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        start = int(match.group(1)) if match else None
        kind = "application/octet-stream"
        if start is not None and mode == "partial" and start < len(data):
            self.send(206, data[start:], kind,
                      content_range=f"bytes {start}-{len(data) - 1}/{len(data)}")
        elif start and mode in ("partial", "refuse"):
            self.send(416, b"", kind, content_range=f"bytes */{len(data)}")
        else:
            self.send(200, data, kind, sized=mode != "unsized")

    def do_GET(self):
        self.log_body(b"")
        self.answer()

    def do_POST(self):
        self.log_body(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
        self.answer()

    do_PUT = do_POST


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
handler = functools.partial(LoggingHandler, directory=directory)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(f"serving {directory} on https://127.0.0.1:{port}/", flush=True)
server.serve_forever()
