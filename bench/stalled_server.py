#!/usr/bin/env python3
"""A TLS server on loopback whose download stalls: a HEAD gets its answer
(a 64 MiB file with an ETag and a CRC-64 header), a GET gets its header
and the first MiB of the body, and then nothing more while the connection
stays open. With --silent no request gets any answer. Used by
bench/idle.sh.

Usage: stalled_server.py [--silent] PORT CERT KEY
Prints "ready" once it listens on both loopback addresses; runs until it
is ended (SIGTERM)."""
import socket
import ssl
import sys
import threading

SIZE = 64 << 20
SENT = 1 << 20
HEADERS = ("Content-Length: %d\r\nETag: \"stalled-1\"\r\n"
           "Accept-Ranges: bytes\r\n"
           "x-oss-hash-crc64ecma: 1234567890123456789\r\n"
           "Content-Type: application/octet-stream\r\n" % SIZE)


def read_request(conn):
    """The request's head as text, or None when the client hung up."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return None
        data += piece
    return data.decode("latin-1")


def hold(conn, silent):
    """Answers HEADs; a GET gets a part of its body and then waits for
    ever. Reads and drops whatever else the client sends."""
    try:
        while True:
            request = None if silent else read_request(conn)
            if request is None:
                while conn.recv(65536):
                    pass
                return
            if request.startswith("HEAD "):
                conn.sendall(("HTTP/1.1 200 OK\r\n%s\r\n" % HEADERS).encode())
                continue
            conn.sendall(("HTTP/1.1 200 OK\r\n%s\r\n" % HEADERS).encode())
            conn.sendall(b"\0" * SENT)
            silent = True
    except OSError:
        pass
    finally:
        conn.close()


def main():
    args = sys.argv[1:]
    silent = args[:1] == ["--silent"]
    if silent:
        args = args[1:]
    port, cert, key = int(args[0]), args[1], args[2]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    # "localhost" may resolve to ::1 first: both loopback addresses.
    if socket.has_dualstack_ipv6():
        listener = socket.create_server(("::", port), family=socket.AF_INET6,
                                        dualstack_ipv6=True)
    else:
        listener = socket.create_server(("127.0.0.1", port))
    print("ready", flush=True)
    while True:
        raw, _ = listener.accept()
        raw.settimeout(30)
        try:
            conn = context.wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            continue
        conn.settimeout(None)
        threading.Thread(target=hold, args=(conn, silent), daemon=True).start()


if __name__ == "__main__":
    main()
