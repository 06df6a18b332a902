"""Serves the repository's root to the browser tests over http:// and
https:// (a certificate made for the test's host name), each on a free port."""

import functools
import http.server
import os
import ssl
import subprocess
import tempfile
import threading

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Pages:
    """http_port and https_port serve ROOT until close()."""

    def __init__(self, https_host):
        self._dir = tempfile.TemporaryDirectory(prefix="talvex-pages-")
        cert = os.path.join(self._dir.name, "cert.pem")
        key = os.path.join(self._dir.name, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", f"/CN={https_host}", "-addext", f"subjectAltName=DNS:{https_host}",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        handler = functools.partial(_Quiet, directory=ROOT)
        self._servers = []
        for tls in (False, True):
            server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            if tls:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(cert, key)
                server.socket = context.wrap_socket(server.socket, server_side=True)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self._servers.append(server)
        self.http_port = self._servers[0].server_address[1]
        self.https_port = self._servers[1].server_address[1]

    def close(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()
        self._dir.cleanup()
