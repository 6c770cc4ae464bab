#!/usr/bin/env python3
"""A loopback HTTP server for the model download tests.

    model-server.py FOLDER

Listens on 127.0.0.1 only, on a free port that it prints as its first line of output, and serves:

  /files/NAME          the file FOLDER/NAME
  /redirect/NAME       302 to /files/NAME
  /slow/NAME?pieces=N&pause=S
                       the file in N pieces with S seconds between them (Content-Length set)
  /stall/NAME          headers and the first half of the file, then nothing, for ever
  anything else        404 with an HTML error page

Each request's path is appended to FOLDER/requests.log.
"""

import http.server
import os
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    folder = "."

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(os.path.join(self.folder, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.strip("/").split("/", 1)
        route, name = (parts + [""])[:2]
        path = os.path.join(self.folder, name)
        if route not in ("files", "redirect", "slow", "stall") or "/" in name or not os.path.isfile(path):
            return self.reply(404, b"<html><body>404 Not Found</body></html>", "text/html")
        if route == "redirect":
            self.send_response(302)
            self.send_header("Location", "/files/" + name)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(path, "rb") as f:
            body = f.read()
        if route == "files":
            return self.reply(200, body)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if route == "stall":
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(3600)
            return
        pieces = int(query.get("pieces", ["10"])[0])
        pause = float(query.get("pause", ["0.2"])[0])
        step = max(1, -(-len(body) // pieces))
        for start in range(0, len(body), step):
            if start:
                time.sleep(pause)
            self.wfile.write(body[start:start + step])
            self.wfile.flush()

    def reply(self, status, body, kind="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    Handler.folder = sys.argv[1]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
