#!/usr/bin/env python3
"""Serves DIRECTORY on 127.0.0.1:PORT at no more than RATE bytes a second.

Usage: throttled_http_server.py DIRECTORY PORT RATE
"""
import functools
import http.server
import sys
import time

directory, port, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
chunk_size = max(1, rate // 10)


class ThrottledHandler(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, outputfile):
        try:
            while chunk := source.read(chunk_size):
                outputfile.write(chunk)
                time.sleep(len(chunk) / rate)
        except ConnectionError:
            pass  # the client gave up; nothing to report


handler = functools.partial(ThrottledHandler, directory=directory)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
print(f"serving {directory} on 127.0.0.1:{port} at {rate} bytes/s", flush=True)
server.serve_forever()
