#!/usr/bin/env python3
"""The fault matrix: the real program under Xvfb against faulty servers.

Each scenario runs the program (a copy built to download from
https://localhost:PORT/...) in a fresh working folder against either a
scripted TLS server (FaultServer below: every connection, request and answer
can be made to fail in its own way) or a private nginx, and checks how the run
ends. Whatever the fault, the same things must hold: the program never
crashes (exit code 0, no sanitizer report), it never starts a launcher whose
bytes differ from the published file, and a fault that goes away is outlived:
the exact file is started once.

The launcher used here writes the SHA-256 of its own bytes to
"launcher-ran.txt" each time it runs, so a start with wrong bytes is seen
even where the file was replaced afterwards.

Usage: fault_matrix.py [--own-network] [--windows] BUILD_DIR PORT
                       [NAME_PREFIX...]
Runs the scenarios whose names start with one of the prefixes (all without
one) and prints a summary line. FAULT_SEED=N repeats the random choices of
an earlier run (the seed is printed). With --own-network (needs root), the
scenarios run in a network namespace of their own, with a loopback of its
own, so that several runners can use the same port at once; their Xvfb stays
outside, where display numbers are handed out, and the program reaches it
through its socket file.

With --windows, BUILD_DIR is the Windows build and the programs run under
its Wine prefix (see e2e_test.py), whose Xvfb all runners share. Wine makes
a program's sockets in its wineserver, so with --own-network the runner
starts a copy of the prefix with a wineserver of its own inside the
namespace. Texts that come from the system differ on Windows (WINDOWS_TEXT);
a scenario that cannot be staged under Wine is skipped with its reason.
"""

import hashlib
import os
import random
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test as e2e  # noqa: E402  (the Xvfb, nginx and relay fixtures)

PORT = PROGRAMS = None
RNG = random.Random()
URL_PATH = "/Download/Micro/TalvoroLauncher.exe"

LAUNCHER_HEAD = (b"#!/bin/sh\n"
                 b"echo \"started $(sha256sum < \"$0\" | cut -c1-64)\""
                 b" >> launcher-ran.txt\n"
                 b"exit 0\n")

# Texts the program prints.
FAILED = "下载失败: "
CRC_FAILED = "下载文件CRC检查失败"
EARLY_END = "connection closed before the whole file arrived"
TIMED_OUT = "operation timed out"
CERT_FAILED = "certificate verify failed: "

# The Windows program's words for what the system reports, by the Linux
# program's words; system_text() puts them into an expected text.
WINDOWS_TEXT = {
    "Connection refused\n": "Connection refused.\n",
    "Is a directory\n": "Access denied.\n",
    "Permission denied (os error 13)\n": "Access denied.\n",
}


def system_text(text):
    """`text` with the system's words of the platform under test."""
    if e2e.WINE:
        for linux, windows in WINDOWS_TEXT.items():
            text = text.replace(linux, windows)
    return text


class Published:
    """One version of the launcher as a server publishes it."""

    def __init__(self, folder, name, size):
        self.path = os.path.join(folder, name)
        e2e.make_launcher(self.path, size, LAUNCHER_HEAD)
        self.data = e2e.read(self.path)
        self.sha = hashlib.sha256(self.data).hexdigest()
        self.crc = int(e2e.crc_of(self.path))
        self.etag = '"%s-%x"' % (self.sha[:12], size)


# --- the scripted TLS server ---------------------------------------------


class Exchange:
    """One request on one connection of the FaultServer, and its answer."""

    def __init__(self, server, tls, method, offset, version):
        self.server = server
        self.tls = tls
        self.method = method
        self.offset = offset
        self.version = version

    def send(self, data):
        self.tls.sendall(data)

    def finish(self):
        """Ends the answer with close_notify."""
        try:
            self.tls.unwrap()
        except (OSError, ValueError):
            pass

    def close_plain(self):
        """Ends the connection without close_notify (a TCP FIN only)."""
        try:
            self.tls.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def reset(self):
        """Ends the connection with a TCP reset."""
        self.tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                            struct.pack("ii", 1, 0))
        self.tls.close()

    def stall(self, limit=30):
        """Sends nothing more until the client gives up (or `limit` s)."""
        self.tls.settimeout(0.2)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            try:
                if not self.tls.recv(4096):
                    return
            except socket.timeout:
                continue
            except (OSError, ssl.SSLError):
                return

    def head_text(self, version=None, status="HTTP/1.1 200 OK", drop=(),
                  crc=None, extra=()):
        v = version or self.version
        self.server.current = v
        lines = [status, "Server: fault-server",
                 "Content-Length: %d" % len(v.data),
                 "ETag: " + v.etag,
                 "x-oss-hash-crc64ecma: %d" % (v.crc if crc is None else crc),
                 "Connection: close"]
        lines = [l for l in lines if not any(l.startswith(d) for d in drop)]
        return ("\r\n".join(lines + list(extra)) + "\r\n\r\n").encode()

    def head(self, **kwargs):
        """The normal answer to HEAD (or one changed by `kwargs`)."""
        self.send(self.head_text(**kwargs))
        self.finish()

    def get_head(self, status=None, extra=()):
        data = self.version.data
        if status is None:
            if self.offset == 0:
                status = "HTTP/1.1 200 OK"
            elif self.offset < len(data):
                status = "HTTP/1.1 206 Partial Content"
            else:
                status = "HTTP/1.1 416 Requested Range Not Satisfiable"
        lines = [status, "Server: fault-server", "Connection: close"]
        if status.startswith("HTTP/1.1 206"):
            lines.append("Content-Range: bytes %d-%d/%d" % (
                self.offset, len(data) - 1, len(data)))
        return ("\r\n".join(lines + list(extra)) + "\r\n\r\n").encode()

    def get(self, status=None, whole=False, cut=None, end="reset", flip=None,
            extra=b""):
        """Answers GET with the file from the requested offset (or all of it
        when `whole`). `cut`: the number of body bytes after which the
        connection ends the `end` way ("reset", "plain", "stall"); `flip`:
        a file offset whose byte is sent inverted; `extra`: bytes sent after
        the file."""
        head = self.get_head(status)
        start = 0 if whole else self.offset
        body = bytearray(self.version.data[start:])
        if head.startswith(b"HTTP/1.1 416"):
            body = bytearray()
        if flip is not None and start <= flip < len(self.version.data):
            body[flip - start] ^= 0xFF
        body += extra
        if cut is not None:
            body = body[:cut]
        self.send(head)
        view = memoryview(body)
        for i in range(0, len(view), 65536):
            self.send(view[i:i + 65536])
        if cut is None:
            self.finish()
        elif end == "reset":
            self.reset()
        elif end == "plain":
            self.close_plain()
        else:
            self.stall()


class FaultServer:
    """A TLS server on 127.0.0.1:PORT that answers as `scenario` says.

    It records what happened as events: ("refused", n) for a handshake the
    client broke off, ("dropped", n) for a connection the client ended after
    the handshake without a byte of a request, ("HEAD", n) and ("GET", n,
    offset) for requests, n being the connection's number."""

    def __init__(self, scenario, versions):
        self.scenario = scenario
        self.versions = versions
        self.current = versions[0]
        self.lock = threading.Lock()
        self.events = []
        self.connections = 0
        self.heads = 0
        self.gets = 0
        self.stopping = threading.Event()
        self.sock = None
        self.threads = []
        self.contexts = {}
        self.listen_timer = None
        if scenario.listen_after:
            self.listen_timer = threading.Timer(scenario.listen_after,
                                                self.listen)
            self.listen_timer.start()
        else:
            self.listen()

    def context(self, name):
        if name not in self.contexts:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(os.path.join(e2e.Fixture.pki, name + ".pem"),
                                os.path.join(e2e.Fixture.pki, name + ".key"))
            self.contexts[name] = ctx
        return self.contexts[name]

    def listen(self):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", PORT))
        sock.listen(16)
        sock.settimeout(0.2)
        self.sock = sock
        t = threading.Thread(target=self._accept, daemon=True)
        t.start()
        self.threads.append(t)

    def log(self, *event):
        with self.lock:
            self.events.append(event)

    def requests(self, method):
        return [e for e in self.events if e[0] == method]

    def _accept(self):
        while not self.stopping.is_set():
            try:
                raw, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                n = self.connections
                self.connections += 1
            t = threading.Thread(target=self._serve, args=(raw, n),
                                 daemon=True)
            t.start()
            self.threads.append(t)

    def _serve(self, raw, n):
        raw.settimeout(30)
        tls = None
        try:
            cert = self.scenario.certificate(n)
            if cert == "silent":
                self.log("silent", n)
                Exchange(self, raw, None, 0, None).stall()
                return
            try:
                tls = self.context(cert).wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError):
                self.log("refused", n)
                return
            request = b""
            try:
                while b"\r\n\r\n" not in request and len(request) < 65536:
                    data = tls.recv(4096)
                    if not data:
                        break
                    request += data
            except (OSError, ssl.SSLError):
                if request:
                    raise
            if not request:
                self.log("dropped", n)
                return
            m = re.match(rb"(HEAD|GET) (\S+) HTTP/1\.1\r\n", request)
            if not m:
                self.log("bad request", n, request[:200])
                return
            method = m.group(1).decode()
            r = re.search(rb"\r\nRange: bytes=(\d+)-\r\n", request)
            offset = int(r.group(1)) if r else 0
            with self.lock:
                if method == "HEAD":
                    index = self.heads
                    self.heads += 1
                else:
                    index = self.gets
                    self.gets += 1
            ex = Exchange(self, tls, method, offset, self.current)
            if method == "HEAD":
                self.log("HEAD", n)
                self.scenario.head(ex, index)
            else:
                self.log("GET", n, offset)
                self.scenario.get(ex, index)
        except (OSError, ssl.SSLError):
            pass
        finally:
            (tls or raw).close()

    def stop(self):
        self.stopping.set()
        if self.listen_timer:
            self.listen_timer.cancel()
        if self.sock:
            self.sock.close()
        for t in self.threads:
            t.join(5)


# --- scenarios -------------------------------------------------------------


class Scenario:
    """A fault and the end it must lead to.

    expect: "started" (the run ends by itself after starting the exact file
    once), "refused" (nothing is ever started; the run goes on retrying until
    `retrying()` holds, then its window is closed) or "ends" (the run ends by
    itself without starting anything)."""

    name = ""
    expect = "started"
    program = "loopback"
    sizes = (1 << 20,)
    listen_after = 0
    timeout = 45
    nginx = False

    def certificate(self, n):
        return "localhost"

    def head(self, ex, n):
        ex.head()

    def get(self, ex, n):
        ex.get()

    def setup(self, ctx):
        pass

    def retrying(self, ctx):
        return False

    def check(self, ctx):
        """Problems particular to this scenario, as a list of texts."""
        return []


def scenario(name, base=Scenario, **fields):
    """A scenario class from a name and the fields and methods it changes."""
    return type(name, (base,), dict(fields, name=name))


def expect_in(text, *parts):
    parts = [system_text(p) for p in parts]
    return ["missing %r" % p for p in parts if p not in text]


def random_cut(ex):
    return RNG.randrange(1, len(ex.version.data) - ex.offset)


def gets_resumed(ctx, at_least):
    offsets = [e[2] for e in ctx.server.requests("GET")]
    resumed = [o for o in offsets if o > 0]
    if len(resumed) < at_least:
        return ["expected %d resumed GETs, offsets %r" % (at_least, offsets)]
    return []


def never_started_over(ctx):
    """The GET offsets never go back: a broken link never costs the bytes
    already on disk. (A reset may cost the bytes still in flight, so a GET
    can ask for the same offset again.)"""
    offsets = [e[2] for e in ctx.server.requests("GET")]
    if any(b < a for a, b in zip(offsets, offsets[1:])):
        return ["the download went back: offsets %r" % offsets]
    return []


def refusals(ctx):
    """The connections on which the client refused the server. SChannel
    checks the certificate once the handshake is done (the Windows program
    validates it by hand), so there a refusal is a connection that ends
    without a byte of a request."""
    kinds = ("refused", "dropped") if e2e.WINE else ("refused",)
    return [e for e in ctx.server.events if e[0] in kinds]


def tls_refused(name, cert, reason):
    """Refused three times (nothing requested), then a good certificate."""
    return scenario(
        name, timeout=60,
        certificate=lambda self, n: cert if n < 3 else "localhost",
        check=lambda self, ctx: (
            (["%d refused handshakes" % len(refusals(ctx))]
             if len(refusals(ctx)) != 3 else [])
            + (["a request over a refused connection"]
               if any(e[1] < 3 for e in ctx.server.events
                      if e[0] in ("HEAD", "GET")) else [])
            + (["reason %r not given thrice" % system_text(reason)]
               if ctx.stderr.count(system_text(FAILED + CERT_FAILED + reason))
               != 3 else [])))


def first_head(name, text, **head_args):
    """The first HEAD is answered wrongly; every later one is right."""
    return scenario(
        name,
        head=lambda self, ex, n: (ex.head(**head_args) if n == 0
                                  else ex.head()),
        check=lambda self, ctx: expect_in(ctx.stderr, text))


def first_head_raw(name, data, text):
    """The first HEAD is answered with `data` as it stands."""

    def head(self, ex, n):
        if n == 0:
            ex.send(data)
            ex.finish()
        else:
            ex.head()
    return scenario(name, head=head,
                    check=lambda self, ctx: expect_in(ctx.stderr, text))


def first_get(name, text, **get_args):
    """The first GET is answered wrongly; every later one is right."""
    return scenario(
        name,
        get=lambda self, ex, n: ex.get(**get_args) if n == 0 else ex.get(),
        check=lambda self, ctx: expect_in(ctx.stderr, text))


def _etag_changes_head(self, ex, n):
    ex.head(version=ex.server.versions[0 if n == 0 else 1])


def _etag_changes_check(self, ctx):
    problems = expect_in(ctx.stderr, EARLY_END)
    if ctx.stdout.count("ETag 不匹配，重新下载文件") != 2:
        problems.append("the new ETag was not noticed")
    offsets = [e[2] for e in ctx.server.requests("GET")]
    if offsets[-1] != 0:
        problems.append("the new file was resumed: %r" % offsets)
    return problems


def _no_etag_head(self, ex, n):
    ex.head(drop=("ETag",) if n > 0 else ())


def _read_only_folder_setup(self, ctx):
    ctx.as_user = 65534 if os.geteuid() == 0 else None
    if ctx.as_user is not None:
        os.chown(ctx.work, 65534, 65534)
    os.chmod(ctx.work, 0o555)


def _read_only_folder_retrying(self, ctx):
    if ctx.stderr.count(FAILED) >= 2 and not self.opened:
        os.chmod(ctx.work, 0o755)  # the user mends it; the next try works
        self.opened = True
    return False


def _launcher_read_only_setup(self, ctx):
    e2e_write(ctx.path("TalvoroLauncher.exe"), b"#!/bin/sh\nexit 3\n")
    os.chmod(ctx.path("TalvoroLauncher.exe"), 0o444)


def _launcher_dir_setup(self, ctx):
    os.mkdir(ctx.path("TalvoroLauncher.exe"))
    e2e_write(ctx.path("TalvoroLauncher.exe/keep.txt"), b"user data\n")


def _launcher_dir_check(self, ctx):
    problems = expect_in(ctx.stderr,
                         "Failed to delete existing file: Is a directory\n",
                         "Failed to copy file: Is a directory\n",
                         "Failed to start setup executable: ")
    if e2e.read(ctx.path("TalvoroLauncher.exe/keep.txt")) != b"user data\n":
        problems.append("the directory's content was touched")
    if os.path.exists(ctx.path("TalvoroLauncher.exe.tmp")):
        problems.append("TalvoroLauncher.exe.tmp left behind")
    if e2e.read(ctx.path("TalvoroLauncher.bin")) != ctx.final.data:
        problems.append("the download is not the published file")
    return problems


def _stale_bin_setup(self, ctx):
    data = ctx.final.data + os.urandom(4096)
    e2e_write(ctx.path("TalvoroLauncher.bin"), data)
    st = os.stat(ctx.final.path)
    # nginx's ETag: mtime and size in hex.
    e2e_write(ctx.path("TalvoroLauncher.bin.etag"),
              ('"%x-%x"' % (int(st.st_mtime), st.st_size)).encode())


def e2e_write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class KilledAgainAndAgain(Scenario):
    """SIGKILL at 20 random moments of a download, each time restarted;
    after every kill the partial file is a prefix of the published one, and
    the last run starts the exact file once."""

    name = "process.sigkill_at_20_random_moments"
    nginx = True
    sizes = (16 << 20,)
    rate = 1 << 20
    kills = 20
    timeout = 90

    def drive(self, ctx):
        problems = []
        target = ctx.path("TalvoroLauncher.bin")

        def size():
            try:
                return os.path.getsize(target)
            except FileNotFoundError:
                return 0

        for i in range(self.kills):
            before = size()
            run = ctx.start()
            if i % 2 == 0:
                # Any moment: start-up, the HEAD exchange, the first bytes.
                time.sleep(RNG.uniform(0.05, 1.0))
            else:
                # A moment while bytes arrive.
                e2e.wait_until(lambda: size() > before, 10)
                time.sleep(RNG.uniform(0.0, 0.5))
            if run.proc.poll() is not None:
                problems.append("run %d ended before its kill" % i)
            run.proc.send_signal(signal.SIGKILL)
            run.proc.wait(10)
            try:
                part = e2e.read(ctx.path("TalvoroLauncher.bin"))
            except FileNotFoundError:
                part = b""
            if ctx.final.data[:len(part)] != part:
                problems.append("after kill %d the partial file (%d bytes) "
                                "is not a prefix of the file" % (i, len(part)))
        ctx.kept = len(part)
        run = ctx.start()
        ctx.code = run.wait(self.timeout)
        return problems

    def check(self, ctx):
        if ctx.kept == 0:
            return ["20 kills left nothing to resume"]
        return expect_in(ctx.stdout, "ETag 匹配，继续下载文件")


SCENARIOS = [
    # Connections.
    scenario("conn.refused_until_the_server_listens", listen_after=4.0,
             check=lambda self, ctx: expect_in(
                 ctx.stderr, FAILED + "Connection refused\n")),
    scenario("conn.reset_during_head",
             head=lambda self, ex, n: ex.reset() if n == 0 else ex.head(),
             check=lambda self, ctx: expect_in(ctx.stderr, FAILED)),
    scenario("conn.reset_during_get_headers",
             get=lambda self, ex, n: (
                 (ex.send(b"HTTP/1.1 200 OK\r\nContent-Le"), ex.reset())
                 if n == 0 else ex.get()),
             check=lambda self, ctx: expect_in(ctx.stderr, FAILED)),
    scenario("conn.reset_at_three_random_points_of_the_body", timeout=60,
             sizes=(2 << 20,),
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex)) if n < 3
                                      else ex.get()),
             check=lambda self, ctx: (
                 gets_resumed(ctx, 1) + never_started_over(ctx)
                 + ([] if ctx.stderr.count(FAILED) == 3
                    else ["not three failed attempts"]))),
    scenario("conn.no_close_notify_after_the_whole_body",
             get=lambda self, ex, n: ex.get(
                 cut=len(ex.version.data) - ex.offset, end="plain"),
             check=lambda self, ctx: (
                 [] if FAILED not in ctx.stderr and ctx.server.gets == 1
                 else ["the end without close_notify was not accepted"])),
    scenario("conn.no_close_notify_in_the_middle_of_the_body",
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="plain")
                                      if n == 0 else ex.get()),
             check=lambda self, ctx: (expect_in(ctx.stderr, EARLY_END)
                                      + gets_resumed(ctx, 1))),
    scenario("conn.stall_in_the_middle_of_the_body", program="short",
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="stall")
                                      if n == 0 else ex.get()),
             check=lambda self, ctx: (expect_in(ctx.stderr, TIMED_OUT)
                                      + gets_resumed(ctx, 1))),
    scenario("conn.accepted_and_never_answered", program="short",
             certificate=lambda self, n: "silent" if n == 0 else "localhost",
             check=lambda self, ctx: expect_in(ctx.stderr,
                                               FAILED + TIMED_OUT)),
    # TLS: refused every time, then a proper certificate.
    tls_refused("tls.wrong_host_name", "other", "hostname mismatch"),
    tls_refused("tls.expired", "expired", "certificate has expired"),
    tls_refused("tls.self_signed", "selfsigned", "self-signed certificate"),
    tls_refused("tls.unknown_ca", "unknownca",
                "unable to get local issuer certificate"),
    # HTTP.
    first_head("http.head_404", FAILED + "HEAD 请求失败，响应: HTTP/1.1 404",
               status="HTTP/1.1 404 Not Found"),
    first_head("http.head_500", FAILED + "HEAD 请求失败，响应: HTTP/1.1 500",
               status="HTTP/1.1 500 Internal Server Error"),
    first_head("http.head_http_1_0", FAILED + "HEAD 请求失败，响应: HTTP/1.0 200",
               status="HTTP/1.0 200 OK"),
    scenario("http.head_without_content_length",
             head=lambda self, ex, n: ex.head(drop=("Content-Length",)),
             check=lambda self, ctx: (
                 ["a length was announced"]
                 if "Content-Length" in ctx.stdout else [])),
    scenario("http.head_without_etag_after_a_cut",
             head=_no_etag_head,
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="plain")
                                      if n == 0 else ex.get()),
             check=lambda self, ctx: (
                 [] if [e[2] for e in ctx.server.requests("GET")][-1] == 0
                 else ["a file without an ETag was resumed"])),
    first_head("http.head_without_crc", CRC_FAILED + ": 远端CRC : 0\n",
               drop=("x-oss-hash-crc64ecma",)),
    first_get("http.get_416", FAILED + "HTTP 请求失败，响应: HTTP/1.1 416",
              status="HTTP/1.1 416 Range Not Satisfiable"),
    first_get("http.get_500", FAILED + "HTTP 请求失败，响应: HTTP/1.1 500",
              status="HTTP/1.1 500 Internal Server Error"),
    scenario("http.get_200_to_a_range",
             get=lambda self, ex, n: (
                 ex.get(cut=random_cut(ex), end="plain") if n == 0
                 else ex.get(status="HTTP/1.1 200 OK", whole=True)),
             check=lambda self, ctx: gets_resumed(ctx, 1)),
    scenario("http.body_longer_than_announced",
             get=lambda self, ex, n: ex.get(extra=os.urandom(100000)),
             check=lambda self, ctx: (
                 [] if ctx.server.gets == 1 and FAILED not in ctx.stderr
                 else ["the file did not arrive in one go"])),
    scenario("http.etag_changes_between_attempts", sizes=(1 << 20, 3 << 19),
             head=_etag_changes_head,
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="plain")
                                      if n == 0 else ex.get()),
             check=_etag_changes_check),
    first_head_raw("http.garbage_head",
                   b"\x16\x03\x01 garbage \x00\x01 no status line\r\n\r\n",
                   FAILED + "HEAD 请求失败，响应: "),
    first_head_raw("http.invalid_utf8_in_the_head",
                   b"HTTP/1.1 200 OK\r\nX-Name: \xff\xfe\xc0\xaf\r\n\r\n",
                   FAILED + "stream did not contain valid UTF-8\n"),
    first_head("http.head_beyond_its_cap",
               FAILED + "HEAD response larger than 65536 bytes\n",
               extra=["X-Filler-%d: %s" % (i, "f" * 1000)
                      for i in range(70)]),
    first_get("http.get_header_line_beyond_its_cap",
              FAILED + "GET response header line longer than 16384 bytes\n",
              status="HTTP/1.1 200 OK\r\nX-Long: " + "l" * 20000),
    # Integrity.
    first_head("integrity.wrong_crc", CRC_FAILED, crc=12345),
    scenario("integrity.byte_flipped_in_flight",
             get=lambda self, ex, n: ex.get(
                 flip=RNG.randrange(4096, len(ex.version.data)) if n == 0
                 else None),
             check=lambda self, ctx: expect_in(ctx.stderr, CRC_FAILED)),
    scenario("integrity.byte_flipped_in_a_resumed_part",
             get=lambda self, ex, n: (
                 ex.get(cut=len(ex.version.data) // 2, end="plain")
                 if n == 0 else ex.get(
                     flip=RNG.randrange(ex.offset, len(ex.version.data))
                     if n == 1 else None)),
             check=lambda self, ctx: (
                 expect_in(ctx.stderr, CRC_FAILED) + gets_resumed(ctx, 1)
                 + ([] if ctx.server.requests("GET")[-1][2] == 0
                    else ["not downloaded afresh after the mismatch"]))),
    # Local.
    scenario("local.read_only_working_folder", opened=False, timeout=60,
             windows_skip=(
                 "root ignores the folder's permissions, and the prefix's "
                 "wineserver, which every program of the prefix talks to, "
                 "runs as root: the program cannot run as another user"
                 if os.geteuid() == 0 else None),
             setup=_read_only_folder_setup,
             retrying=_read_only_folder_retrying,
             check=lambda self, ctx: expect_in(
                 ctx.stderr, FAILED + "Permission denied (os error 13)\n")),
    scenario("local.launcher_present_and_read_only",
             setup=_launcher_read_only_setup,
             check=lambda self, ctx: (
                 ["a hand-off step failed"] if "Failed" in ctx.stderr
                 else [])),
    scenario("local.launcher_is_a_directory", expect="ends",
             setup=_launcher_dir_setup, check=_launcher_dir_check),
    scenario("local.stale_download_longer_than_the_file", nginx=True,
             setup=_stale_bin_setup,
             check=lambda self, ctx: expect_in(
                 ctx.stdout + ctx.stderr, "ETag 匹配，继续下载文件",
                 FAILED + "HTTP 请求失败，响应: HTTP/1.1 416")),
    # Process.
    KilledAgainAndAgain,
]


# --- the runner ------------------------------------------------------------


class Program(e2e.Run):
    """One run of `binary` in `folder`, as `uid` if given."""

    def __init__(self, folder, binary, uid=None, log_dir=None):
        self.folder = folder
        if e2e.WINE:
            assert uid is None, "Windows runs have no other user"
            self.start([binary], e2e.WINE.env(), log_dir)
            return
        env = dict(os.environ, DISPLAY=e2e.Fixture.display,
                   SSL_CERT_FILE=os.path.join(e2e.Fixture.pki, "ca.pem"))
        env.pop("SSL_CERT_DIR", None)
        env.pop("GDK_GL", None)
        command = [binary]
        if uid is not None:
            env["HOME"] = folder
            command = ["setpriv", "--reuid", str(uid), "--regid", str(uid),
                       "--clear-groups"] + command
        self.start(command, env, log_dir)


class Context:
    """What a scenario's checks look at."""

    def __init__(self, sc, root):
        self.scenario = sc
        self.root = root
        self.work = os.path.join(root, "work")
        os.makedirs(self.work)
        os.chmod(root, 0o755)
        self.versions = [Published(root, "published-%d" % i, size)
                         for i, size in enumerate(sc.sizes)]
        self.final = self.versions[-1]
        self.as_user = None
        self.runs = []
        self.server = None
        self.code = None
        self.kept = 0
        self.stdout = self.stderr = ""

    def path(self, name):
        return os.path.join(self.work, name)

    def start(self):
        binary = PROGRAMS[self.scenario.program]
        log_dir = os.path.join(self.root, "run-%d" % len(self.runs))
        os.makedirs(log_dir)
        run = Program(self.work, binary, self.as_user, log_dir)
        self.runs.append(run)
        return run

    def collect(self):
        self.stdout = "".join(r.stdout() for r in self.runs)
        self.stderr = "".join(r.stderr() for r in self.runs)

    def launcher_starts(self):
        try:
            text = e2e.read(self.path("launcher-ran.txt")).decode()
        except FileNotFoundError:
            return []
        return re.findall(r"^started (\S*)$", text, re.M)


def stacks(pid):
    """The threads' stacks of a program that hangs, for the failure report."""
    if not shutil.which("gdb"):
        return "(no gdb for the stacks)"
    try:
        return subprocess.run(
            ["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
            capture_output=True, text=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        return "(gdb took too long)"


def drive(sc, ctx):
    """Runs the program until the scenario's end; problems found on the way."""
    run = ctx.start()
    if sc.expect in ("started", "ends"):
        deadline = time.monotonic() + sc.timeout
        while time.monotonic() < deadline and run.proc.poll() is None:
            ctx.collect()
            sc.retrying(ctx)
            time.sleep(0.1)
        if run.proc.poll() is None:
            return ["no end within %d s" % sc.timeout, stacks(run.proc.pid)]
        ctx.code = run.proc.returncode
        return []
    ok = e2e.wait_until(lambda: (ctx.collect(), sc.retrying(ctx))[1],
                        sc.timeout)
    ctx.code = run.close_window()
    return [] if ok else ["still not retrying as expected after %d s"
                          % sc.timeout]


def run_scenario(sc, ctx):
    """Runs one scenario; returns (problems, launcher starts with wrong
    bytes)."""
    problems = []
    sc.setup(ctx)
    if sc.nginx:
        ctx.server = e2e.Server(ctx.root, ctx.final.path,
                                rate=getattr(sc, "rate", None))
        ctx.server.events = []
    else:
        ctx.server = FaultServer(sc, ctx.versions)
    try:
        problems += sc.drive(ctx) if hasattr(sc, "drive") else drive(sc, ctx)
        if ctx.code is not None:
            time.sleep(0.3)  # a launcher started at the end writes its line
    finally:
        for run in ctx.runs:
            run.finish()
        ctx.server.stop()
    ctx.collect()
    if ctx.code != 0:
        problems.append("exit code %r" % ctx.code)
    for marker in ("AddressSanitizer", "runtime error:", "LeakSanitizer",
                   "ThreadSanitizer"):
        if marker in ctx.stderr:
            problems.append("sanitizer report: " + marker)
    starts = ctx.launcher_starts()
    wrong = sum(1 for sha in starts if sha != ctx.final.sha)
    if wrong:
        problems.append("%d launcher start(s) with wrong bytes" % wrong)
    exe = ctx.path("TalvoroLauncher.exe")
    if sc.expect == "started":
        if len(starts) != 1:
            problems.append("launcher started %d times" % len(starts))
        if not os.path.isfile(exe) or e2e.read(exe) != ctx.final.data:
            problems.append("TalvoroLauncher.exe is not the published file")
        if "Setup executable started successfully\n" not in ctx.stdout:
            problems.append("no report of the start")
    elif starts:
        problems.append("a launcher was started")
    if sc.expect == "refused" and os.path.exists(exe):
        problems.append("TalvoroLauncher.exe was written")
    problems += sc.check(ctx)
    return problems, wrong


def run_in_own_network(args):
    """Starts an Xvfb here, then runs the matrix in a new network namespace
    (brought up by `ip`) with that display; returns its exit code. The
    Windows mode uses its prefix's display instead."""
    command = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"',
               "sh", sys.executable, os.path.abspath(__file__)] + args
    if args and args[0] == "--windows":
        return subprocess.run(command, env=dict(
            os.environ, FAULT_OWN_NETWORK="1")).returncode
    e2e.setUpModule()
    try:
        return subprocess.run(
            command,
            env=dict(os.environ, FAULT_DISPLAY=e2e.Fixture.display)).returncode
    finally:
        e2e.tearDownModule()


def use_windows(build):
    """The Windows programs of `build` under its prefix; in a network
    namespace of its own, under a copy of the prefix whose wineserver (which
    makes the programs' sockets) runs in the namespace. Returns the copy, to
    be dropped at the end, or None."""
    global PROGRAMS
    e2e.use_windows(build)
    PROGRAMS = {
        "loopback": os.path.join(build, "talvoro-bootstrap-loopback.exe"),
        "short": os.path.join(build,
                              "talvoro-bootstrap-loopback-short-timeouts.exe"),
    }
    if not os.environ.get("FAULT_OWN_NETWORK"):
        return None
    clone = e2e.WINE.clone(tempfile.mkdtemp(prefix="talvoro-faults-wine-")
                           + "/prefix", shared_display=True)
    e2e.WINE = clone
    return clone


def main():
    global PORT, PROGRAMS
    args = sys.argv[1:]
    if args and args[0] == "--own-network":
        return run_in_own_network(args[1:])
    windows = bool(args) and args[0] == "--windows"
    if windows:
        args = args[1:]
    build, PORT = os.path.abspath(args[0]), int(args[1])
    prefixes = args[2:]
    e2e.PORT = PORT
    clone = None
    if windows:
        clone = use_windows(build)
    else:
        e2e.CLOSE_TOOL = os.path.join(build, "x11_close_window")
        e2e.CRC_TOOL = os.path.join(build, "talvoro-crc64")
        PROGRAMS = {
            "loopback": os.path.join(build, "talvoro-bootstrap-loopback"),
            "short": os.path.join(build,
                                  "talvoro-bootstrap-loopback-short-timeouts"),
        }
    try:
        return run_matrix(prefixes)
    finally:
        if clone:
            clone.drop()
            shutil.rmtree(os.path.dirname(clone.prefix), ignore_errors=True)


def run_matrix(prefixes):
    """Runs the chosen scenarios and prints the summary; the exit code."""
    seed = int(os.environ.get("FAULT_SEED", time.time_ns() % 1000000))
    RNG.seed(seed)
    print("seed %d" % seed, flush=True)
    chosen = [s for s in SCENARIOS
              if not prefixes or any(s.name.startswith(p) for p in prefixes)]
    e2e.setUpModule(os.environ.get("FAULT_DISPLAY"))
    os.chmod(e2e.Fixture.tmp, 0o755)
    os.chmod(os.path.join(e2e.Fixture.pki, "ca.pem"), 0o644)
    os.chmod(e2e.Fixture.pki, 0o755)
    passed = wrong_total = skipped = 0
    try:
        for cls in chosen:
            sc = cls()
            reason = getattr(sc, "windows_skip", None) if e2e.WINE else None
            if reason:
                skipped += 1
                print("skip %-50s %s" % (sc.name, reason), flush=True)
                continue
            began = time.monotonic()
            root = tempfile.mkdtemp(dir=e2e.Fixture.tmp)
            try:
                ctx = Context(sc, root)
                problems, wrong = run_scenario(sc, ctx)
            except Exception:  # a broken scenario fails, the rest still run
                problems, wrong = [traceback.format_exc()], 0
            wrong_total += wrong
            took = time.monotonic() - began
            if problems:
                print("FAIL %-50s %5.1f s" % (sc.name, took), flush=True)
                for p in problems:
                    print("     " + p.rstrip().replace("\n", "\n     "))
                for i, run in enumerate(getattr(ctx, "runs", [])):
                    print("     run %d stderr:\n%s" % (i, run.stderr()[-3000:]))
            else:
                passed += 1
                print("ok   %-50s %5.1f s" % (sc.name, took), flush=True)
    finally:
        e2e.tearDownModule()
    ran = len(chosen) - skipped
    print("fault matrix: %d scenarios run, %d passed, %d launchers started "
          "with wrong bytes%s" % (ran, passed, wrong_total,
                                  ", %d skipped" % skipped if skipped else ""),
          flush=True)
    return 0 if ran and passed == ran and wrong_total == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
