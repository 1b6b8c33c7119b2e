#!/usr/bin/python3
"""A stand-in for the panel's configuration service: answers HTTP with a small status page.

    config_service.py HOST:PORT SN
"""
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = (f"<html><body><h1>Panel {self.server.sn}</h1>"
                "<p>Configuration service reached through the Talvo-HMI tunnel.</p>"
                "</body></html>").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    host, port = sys.argv[1].rsplit(":", 1)
    server = http.server.ThreadingHTTPServer((host, int(port)), Handler)
    server.sn = sys.argv[2]
    server.serve_forever()


if __name__ == "__main__":
    main()
