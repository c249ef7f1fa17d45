#!/usr/bin/env python3
"""HTTPS on 127.0.0.1:PORT for tests.

Serves DIRECTORY. A POST or PUT is answered like a GET of its path, so a file
placed there is the canned response. Every request is appended to LOG as one
JSON line: method, path, headers and the body in base64.

Usage: https_server.py DIRECTORY PORT CERTIFICATE KEY LOG
"""
import base64
import functools
import http.server
import json
import ssl
import sys
import threading

directory, port, certificate, key, log_path = sys.argv[1], int(sys.argv[2]), *sys.argv[3:6]
log_lock = threading.Lock()


class LoggingHandler(http.server.SimpleHTTPRequestHandler):
    def log_body(self, body):
        entry = {"method": self.command, "path": self.path, "headers": dict(self.headers),
                 "body": base64.b64encode(body).decode("ascii")}
        with log_lock, open(log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def do_GET(self):
        self.log_body(b"")
        super().do_GET()

    def do_POST(self):
        self.log_body(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
        super().do_GET()

    do_PUT = do_POST


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
handler = functools.partial(LoggingHandler, directory=directory)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(f"serving {directory} on https://127.0.0.1:{port}/", flush=True)
server.serve_forever()
