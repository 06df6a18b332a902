"""What the Python tests share for talking to a server: a free port to start
it on, and one GET /readCard read to the end of its body.

The tests import it by putting this folder on sys.path, relative to their
own file, so they run the same from CTest and by hand.
"""

import re
import socket
import time

HOST = "127.0.0.1"

CARD_REQUEST = b"GET /readCard HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def free_port():
    """A TCP port nobody has bound right now. The server binds the wildcard
    address, so the probe does too."""
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def card_request(origin=None):
    """GET /readCard, from the page of `origin` when one is given."""
    if not origin:
        return CARD_REQUEST
    return CARD_REQUEST[:-2] + f"Origin: {origin}\r\n\r\n".encode()


def read_reply(conn):
    """One response off the connection: (head, body), the body as long as
    Content-Length says."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            raise AssertionError("connection closed before the headers")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            raise AssertionError("connection closed inside the body")
        body += chunk
    return head, body


def read_card(port, deadline_s, server=None, origin=None):
    """One GET /readCard on a new connection; (head, body) once the whole body
    is in. Connecting is tried again until `deadline_s` has passed, while the
    server process (when given) still runs."""
    end = time.monotonic() + deadline_s
    while True:
        if server is not None and server.poll() is not None:
            raise AssertionError(f"the server ended with {server.returncode} before it answered")
        try:
            s = socket.create_connection((HOST, port), timeout=5)
            break
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.2)
    with s:
        # The answer may take as long as the deadline, and never less than 30 s.
        s.settimeout(max(deadline_s, 30.0))
        s.sendall(card_request(origin))
        return read_reply(s)
