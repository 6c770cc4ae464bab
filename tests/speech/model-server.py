#!/usr/bin/env python3
# A loopback HTTP server for the model download tests:  model-server.py FOLDER
#
# Listens on 127.0.0.1 only, on a free port that it writes, with a line feed, to FOLDER/port, and
# serves:
#   /files/NAME     the file FOLDER/NAME
#   /redirect/NAME  302 to /files/NAME
#   /away/NAME      302 to file://FOLDER/NAME
#   /slow/NAME      the file in 8 pieces 0.25 s apart, without a length: the body ends when the
#                   connection closes, 0.5 s after the last piece
#   /endless/NAME   the file over and over, without a length, until the client leaves
#   /stall/NAME     the first half of the file, then nothing for an hour
#   anything else   404 with an HTML error page

import http.server
import os
import sys
import time

FOLDER = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        route, _, name = self.path.strip("/").partition("/")
        path = os.path.join(FOLDER, name)
        if route not in ("files", "redirect", "away", "slow", "endless", "stall") or "/" in name \
                or not os.path.isfile(path):
            return self.reply(404, [b"<html><body>404 Not Found</body></html>"])
        if route in ("redirect", "away"):
            where = "/files/" + name if route == "redirect" else "file://" + os.path.abspath(path)
            return self.reply(302, [], Location=where)
        with open(path, "rb") as f:
            body = f.read()
        if route == "endless":
            self.reply(200, [], None)
            while True:
                self.wfile.write(body)
        if route == "slow":
            step = max(1, -(-len(body) // 8))
            self.reply(200, [body[i:i + step] for i in range(0, len(body), step)], None)
            time.sleep(0.5)
        else:
            self.reply(200, [body[:len(body) // 2] if route == "stall" else body], len(body))
            time.sleep(3600 if route == "stall" else 0)

    def reply(self, status, pieces, length=-1, **headers):
        self.send_response(status)
        if length is not None:
            headers["Content-Length"] = str(sum(map(len, pieces)) if length == -1 else length)
        for key, value in headers.items():
            self.send_header(key, value)
        self.end_headers()
        for i, piece in enumerate(pieces):
            time.sleep(0.25 if i else 0)
            self.wfile.write(piece)
            self.wfile.flush()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(os.path.join(FOLDER, "port"), "w") as f:
    f.write(f"{server.server_address[1]}\n")
server.serve_forever()
