#!/usr/bin/env python3
"""A time-stamp authority for test signatures: answers RFC 3161 requests posted over HTTP on a
loopback port with `openssl ts -reply`, signed by the test CA's time-stamping certificate.

Usage: test-tsa.py CONFIG PORT_FILE
  CONFIG     an openssl configuration with a [tsa] section (scripts/lib/signing.sh writes it)
  PORT_FILE  the port it listens on is written there once it listens
"""
import http.server
import subprocess
import sys
import tempfile
from pathlib import Path


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):  # noqa: N802 (the standard library's name)
        length = int(self.headers.get("Content-Length", "0"))
        query = self.rfile.read(length)
        with tempfile.TemporaryDirectory() as folder:
            request, reply = Path(folder, "request.tsq"), Path(folder, "reply.tsr")
            request.write_bytes(query)
            done = subprocess.run(
                ["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", str(request),
                 "-out", str(reply)], capture_output=True)
            if done.returncode != 0:
                self.send_error(500, done.stderr.decode(errors="replace")[-200:])
                return
            body = reply.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
Path(sys.argv[2]).write_text(str(server.server_port))
server.serve_forever()
