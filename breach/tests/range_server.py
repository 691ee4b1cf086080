#!/usr/bin/env python3
"""A stand-in for the breached-password range service, for the lookup tests.

Listens on three loopback ports and prints "PORTS <tls> <foreign> <plain>":
  tls      HTTPS with --cert/--key (the certificate the client trusts)
  foreign  HTTPS with --other-cert/--other-key (a certificate it does not trust)
  plain    plain HTTP

Every request is recorded in --log before it is answered:
  REQUEST <listener> <method> <path> <version>
  HEADER <name>: <value>        (one per header, in the order received)
  BODY <bytes received after the headers>
  END

The answer is chosen by the five-character prefix in "/range/<prefix>",
looked up in --routes (re-read for every request), one route a line:
  <PREFIX> <status>|drop <delay ms> <body file>|-
"drop" closes the connection without an answer. Unrouted requests get 404.
The server exits when its parent process ends.
"""

import argparse
import http.server
import os
import ssl
import sys
import threading
import time

LOG_LOCK = threading.Lock()


def read_routes(path):
    routes = {}
    try:
        with open(path, encoding="ascii") as f:
            for line in f:
                fields = line.split()
                if len(fields) == 4:
                    routes[fields[0]] = (fields[1], int(fields[2]), fields[3])
    except OSError:
        pass
    return routes


class RangeHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        record = [f"REQUEST {self.server.name} {self.command} {self.path} {self.request_version}"]
        record += [f"HEADER {name}: {value}" for name, value in self.headers.items()]
        record += [f"BODY {len(body)}", "END", ""]
        with LOG_LOCK, open(self.server.log, "a", encoding="utf-8") as f:
            f.write("\n".join(record))

        prefix = self.path[len("/range/"):] if self.path.startswith("/range/") else ""
        status, delay_ms, body_file = read_routes(self.server.routes).get(prefix, ("404", 0, "-"))
        time.sleep(delay_ms / 1000)
        if status == "drop":
            self.close_connection = True
            return
        payload = b""
        if body_file != "-":
            with open(body_file, "rb") as f:
                payload = f.read()
        try:
            self.send_response(int(status))
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(payload)
        except OSError:
            pass  # the client gave up (a slow answer)
        self.close_connection = True

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = do_OPTIONS = do_PATCH = handle_any


class RangeServer(http.server.ThreadingHTTPServer):
    request_queue_size = 64  # concurrent lookups connect all at once

    def __init__(self, name, context, log, routes):
        super().__init__(("127.0.0.1", 0), RangeHandler)
        self.name, self.context, self.log, self.routes = name, context, log, routes

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread.
        if self.context is not None:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        try:
            self.RequestHandlerClass(request, client_address, self)
        finally:
            if self.context is not None:
                request.close()  # no close_notify: a dropped connection stays dropped

    def handle_error(self, request, client_address):
        pass


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main():
    parser = argparse.ArgumentParser()
    for option in ("--cert", "--key", "--other-cert", "--other-key", "--routes", "--log"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    parent = os.getppid()

    servers = [
        RangeServer("tls", tls_context(args.cert, args.key), args.log, args.routes),
        RangeServer("foreign", tls_context(args.other_cert, args.other_key), args.log, args.routes),
        RangeServer("plain", None, args.log, args.routes),
    ]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print("PORTS " + " ".join(str(s.server_address[1]) for s in servers), flush=True)

    while os.getppid() == parent:
        time.sleep(0.2)
    sys.exit(0)


if __name__ == "__main__":
    main()
