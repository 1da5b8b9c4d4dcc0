#!/usr/bin/env python3
"""A TLS server on loopback that accepts every connection, completes the
handshake, reads the request and then never answers: a download that has
stalled. Used by bench/idle.sh.

Usage: stalled_server.py PORT CERT KEY
Prints "ready" once it listens; runs until it is ended (SIGTERM)."""
import socket
import ssl
import sys
import threading


def hold(conn):
    """Reads what the client sends and answers nothing, until it hangs up."""
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass
    finally:
        conn.close()


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", port), reuse_port=False)
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
        threading.Thread(target=hold, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
