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
                       [NAME|NAME_PREFIX...]
       fault_matrix.py --list [--windows] [--sanitized]
Runs the scenarios named, or whose names start with one of the prefixes
(all without one), and prints a summary line. --list prints the names of
the scenarios that can run here, one a line, the longest first, and
"skip NAME: REASON" for the others (CTest registers one entry per name);
with --sanitized, for a sanitizer build. FAULT_SEED=N repeats the
random choices of an earlier run (the seed is printed); FAULT_PKI=DIR uses
the test PKI that scripts/make-pki.sh made in DIR instead of making one.
With --own-network (needs root), the scenarios run in a network namespace
of their own, with a loopback of its own, so that several runners can use
the same port at once; their Xvfb stays outside, where display numbers are handed out, and the program reaches it
through its socket file.

With --windows, BUILD_DIR is the Windows build and the programs run under
its Wine prefix (see e2e_test.py), whose Xvfb all runners share. Wine makes
a program's sockets in its wineserver, so with --own-network the runner
starts a copy of the prefix with a wineserver of its own inside the
namespace. Texts that come from the system differ on Windows (WINDOWS_TEXT);
a scenario that cannot be staged under Wine is skipped with its reason.
"""

import email.utils
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
CRC_ABSENT = CRC_FAILED + ": 远端CRC : absent\n"
# A retry that finds the refused file still announced, and downloads nothing.
REFUSED_AGAIN = FAILED + "the server still announces the file that was refused: "
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
    """One version of the launcher as a server publishes it; on Windows
    signed by `signer` of the build's code-signing PKI when given, and with
    one byte changed after signing when `tampered`."""

    def __init__(self, folder, name, size, signer=None, tampered=False):
        self.path = os.path.join(folder, name)
        e2e.make_launcher(self.path, size, LAUNCHER_HEAD)
        if signer:
            sign(self.path, signer)
        if tampered:
            # A byte of the padding after the image: the launcher would
            # still run, only the signature's digest tells.
            with open(self.path, "r+b") as f:
                f.seek(len(e2e.read(e2e.LAUNCHER_EXE)) + 100)
                byte = f.read(1)
                f.seek(-1, os.SEEK_CUR)
                f.write(bytes([byte[0] ^ 0x5A]))
        self.data = e2e.read(self.path)
        self.sha = hashlib.sha256(self.data).hexdigest()
        self.crc = int(e2e.crc_of(self.path))
        self.etag = '"%s-%x"' % (self.sha[:12], size)


def sign(path, signer):
    """Signs the program at `path` in place with `signer`'s key and chain."""
    pki = os.path.join(os.path.dirname(PROGRAMS["signed"]), "codesign")
    subprocess.run(
        ["osslsigncode", "sign", "-certs",
         os.path.join(pki, signer + "-chain.pem"), "-key",
         os.path.join(pki, signer + ".key"), "-h", "sha256", "-in", path,
         "-out", path + ".signed"], check=True, capture_output=True)
    os.replace(path + ".signed", path)


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

    def busy(self, status, retry_after=None):
        """An answer without a body with `status` (a busy server's), and
        the header "Retry-After: `retry_after`" when given."""
        lines = [status, "Server: fault-server", "Content-Length: 0",
                 "Connection: close"]
        if retry_after is not None:
            lines.append("Retry-After: %s" % retry_after)
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode())
        self.finish()

    def get_head(self, status=None, extra=(), start=None):
        """The head of a GET answer; a 206's Content-Range begins at `start`
        (by default the requested offset)."""
        data = self.version.data
        start = self.offset if start is None else start
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
                start, len(data) - 1, len(data)))
        return ("\r\n".join(lines + list(extra)) + "\r\n\r\n").encode()

    def get(self, status=None, whole=False, cut=None, end="reset", flip=None,
            extra=b""):
        """Answers GET with the file from the requested offset (or all of it
        when `whole`). `cut`: the number of body bytes after which the
        connection ends the `end` way ("reset", "plain", "stall"); `flip`:
        a file offset whose byte is sent inverted; `extra`: bytes sent after
        the file."""
        start = 0 if whole else self.offset
        head = self.get_head(status, start=start)
        body = bytearray(self.version.data[start:])
        if head.startswith(b"HTTP/1.1 416"):
            body = bytearray()
        if flip is not None and start <= flip < len(self.version.data):
            body[flip - start] ^= 0xFF
        body += extra
        if cut is not None:
            body = body[:cut]
        with self.server.lock:
            self.server.body_bytes += len(body)
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

    def chunked(self, bad=False):
        """Answers GET with the file from the requested offset in the chunked
        coding: chunks of random sizes, in hex of both cases, some with an
        extension, and a trailer. `bad`: the second size line is malformed."""
        data = self.version.data[self.offset:]
        out = bytearray(self.get_head(extra=["Transfer-Encoding: chunked"]))
        pos = 0
        while pos < len(data):
            size = min(RNG.randrange(1, 100000), len(data) - pos)
            line = "%x" % size if pos % 2 else "%X;from=%d" % (size, pos)
            out += b"%s\r\n%s\r\n" % (b"12z4" if bad and pos else
                                      line.encode(), data[pos:pos + size])
            pos += size
        self.send(out + b"0\r\nX-Trailer: done\r\n\r\n")
        self.finish()


class FaultServer:
    """A TLS server on 127.0.0.1:PORT that answers as `scenario` says.

    It records what happened as events: ("refused", n) for a handshake the
    client broke off, ("dropped", n) for a connection the client ended after
    the handshake without a byte of a request, ("accepted", n, time) for
    each TCP connection, ("HEAD", n, path, time, request) and
    ("GET", n, offset, path, request, time) for requests, n being the
    connection's number, request its head as sent, time its arrival
    (monotonic). A scenario with `second_port` is served on PORT + 1 too.
    body_bytes counts the bytes of the file sent in GET answers."""

    def __init__(self, scenario, versions):
        self.scenario = scenario
        self.versions = versions
        self.current = versions[0]
        self.lock = threading.Lock()
        self.events = []
        self.connections = 0
        self.heads = 0
        self.gets = 0
        self.body_bytes = 0
        self.stopping = threading.Event()
        self.socks = []
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
        ports = [PORT] + ([PORT + 1] if self.scenario.second_port else [])
        for port in ports:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", port))
            sock.listen(16)
            sock.settimeout(0.2)
            self.socks.append(sock)
            t = threading.Thread(target=self._accept, args=(sock,),
                                 daemon=True)
            t.start()
            self.threads.append(t)

    def log(self, *event):
        with self.lock:
            self.events.append(event)

    def requests(self, method):
        return [e for e in self.events if e[0] == method]

    def _accept(self, sock):
        while not self.stopping.is_set():
            try:
                raw, _ = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                n = self.connections
                self.connections += 1
                self.events.append(("accepted", n, time.monotonic()))
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
            method, path = m.group(1).decode(), m.group(2).decode()
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
            ex.path = path
            if method == "HEAD":
                self.log("HEAD", n, path, time.monotonic(), request)
                self.scenario.head(ex, index)
            else:
                self.log("GET", n, offset, path, request, time.monotonic())
                self.scenario.get(ex, index)
        except (OSError, ssl.SSLError):
            pass
        finally:
            (tls or raw).close()

    def stop(self):
        self.stopping.set()
        if self.listen_timer:
            self.listen_timer.cancel()
        for sock in self.socks:
            sock.close()
        for t in self.threads:
            t.join(5)


# --- scenarios -------------------------------------------------------------


class Scenario:
    """A fault and the end it must lead to.

    expect: "started" (the run ends by itself after starting the exact file
    once), "refused" (nothing is ever started; the run goes on retrying until
    `retrying()` holds, then its window is closed) or "ends" (the run ends by
    itself without starting anything). env: variables added to the
    program's environment (Linux); wrapper: a command prefix that runs the
    program (before wine on Windows); skip: the reason why it cannot run
    here, if any (windows_skip: the same on Windows only); quiet: the
    program's standard streams are closed, it has nothing to show;
    sanitized: False for a scenario whose length is waiting on the retry
    schedule or a time-out, and whose code the shorter scenarios run too:
    the sanitizer builds leave it out."""

    name = ""
    expect = "started"
    program = "loopback"
    sizes = (1 << 20,)
    listen_after = 0
    second_port = False
    timeout = 45
    nginx = False
    signer = None
    tampered = False
    env = {}
    wrapper = ()
    skip = None
    quiet = False
    sanitized = True

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


# Connections an attempt opens: the HEAD's and the GET's, at once.
PER_ATTEMPT = 2


def tls_refused(name, cert, reason):
    """Refused three times (nothing requested), then a good certificate."""
    bad = 3 * PER_ATTEMPT
    return scenario(
        name, timeout=60,
        certificate=lambda self, n: cert if n < bad else "localhost",
        check=lambda self, ctx: (
            (["%d refused handshakes" % len(refusals(ctx))]
             if len(refusals(ctx)) != bad else [])
            + (["a request over a refused connection"]
               if any(e[1] < bad for e in ctx.server.events
                      if e[0] in ("HEAD", "GET")) else [])
            + (["reason %r not given thrice" % system_text(reason)]
               if ctx.stderr.count(system_text(FAILED + CERT_FAILED + reason))
               != 3 else [])))


SIGNATURE_FAILED = "launcher signature check failed: "
NO_SIGNATURES = "programs on Linux carry no signature"


def signature_refused(name, signer, reason, **fields):
    """A launcher that passes its CRC check but not the signature check is
    never put in place or started; the program goes on trying."""
    line = SIGNATURE_FAILED + reason + "\n"
    return scenario(
        name, expect="refused", program="signed", linux_skip=NO_SIGNATURES,
        signer=signer, timeout=30,
        retrying=lambda self, ctx: line in ctx.stderr and ctx.server.heads > 1,
        check=lambda self, ctx: (
            expect_in(ctx.stderr, line) + (
                ["the refused copy was left"]
                if os.path.exists(ctx.path("TalvoroLauncher.exe.tmp"))
                else [])), **fields)


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


def _opened_together_check(self, ctx):
    """The program opens the GET's connection with the HEAD's, at its start:
    both are accepted before the HEAD arrives (which waits for the window),
    and the GET uses the second; no other connection is made."""
    accepted = {e[1]: e[2] for e in ctx.server.requests("accepted")}
    heads, gets = ctx.server.requests("HEAD"), ctx.server.requests("GET")
    if len(accepted) != PER_ATTEMPT or len(heads) != 1 or len(gets) != 1:
        return ["%d connections, %d HEADs, %d GETs" % (
            len(accepted), len(heads), len(gets))]
    if accepted[gets[0][1]] >= heads[0][3]:
        return ["the GET's connection came %.3f s after the HEAD" % (
            accepted[gets[0][1]] - heads[0][3])]
    return []


def _old_launcher_setup(self, ctx):
    """A launcher from an earlier run is in place."""
    ctx.old_launcher = Published(ctx.root, "old-launcher", 256 << 10)
    e2e_write(ctx.path("TalvoroLauncher.exe"), ctx.old_launcher.data)


def _old_launcher_check(self, ctx):
    """Two empty downloads fail their check; the retries download nothing;
    the old launcher stays as it was (the runner compares its bytes)."""
    problems = expect_in(ctx.stderr, CRC_ABSENT)
    if ctx.stderr.count(CRC_FAILED) != 2 or ctx.server.gets != 2:
        problems.append("%d CRC failures, %d GETs" % (
            ctx.stderr.count(CRC_FAILED), ctx.server.gets))
    if "删除" in ctx.stderr or "下载成功" in ctx.stdout:
        problems.append("a spurious line")
    return problems


def _mixed_case_head(self, ex, n):
    v = ex.version
    ex.head(drop=("Content-Length", "ETag", "x-oss-hash-crc64ecma"),
            extra=["content-length: %d" % len(v.data), "Etag: " + v.etag,
                   "X-OSS-Hash-CRC64ECMA: %d" % v.crc])


def _mixed_case_check(self, ctx):
    """Every header is seen: the length, the CRC, the ETag that lets the
    second attempt resume."""
    return (expect_in(ctx.stdout, "响应头中的 Content-Length: %d 字节\n"
                      % len(ctx.final.data), "CRC64 : %d\n" % ctx.final.crc,
                      "新的 ETag: %s\n" % ctx.final.etag,
                      "ETag 匹配，继续下载文件\n")
            + gets_resumed(ctx, 1)
            + (["a CRC failure"] if CRC_FAILED in ctx.stderr else []))


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


def _long_folder_setup(self, ctx):
    """A working folder whose Windows path is 244 characters long, too long
    for the launcher's names on Windows; nothing special on Linux."""
    while len(e2e.Wine.path(ctx.work)) < 244:
        ctx.work = os.path.join(
            ctx.work, "d" * min(60, 244 - len(e2e.Wine.path(ctx.work))))
    os.makedirs(ctx.work)
    if e2e.WINE:
        self.expect = "ends"


def _long_folder_drive(self, ctx):
    """On Windows the refusal waits in a message box titled as the window
    until the user dismisses it (WM_CLOSE, as the window is closed)."""
    if not e2e.WINE:
        return drive(self, ctx)
    run = ctx.start()
    time.sleep(3)
    self.boxed = run.proc.poll() is None
    ctx.code = run.close_window(timeout=30)
    return []


def _long_folder_check(self, ctx):
    if not e2e.WINE:
        return []
    logged = [l for l in ctx.log().splitlines()
              if " working folder path too long: " in l]
    return expect_in(ctx.stderr, "working folder path too long: ") + (
        ["%d connections" % ctx.server.connections]
        if ctx.server.connections else []) + (
        [] if self.boxed else ["the program ended without its message box"]) + (
        [] if len(logged) == 1 else ["the refusal is not in the log"])


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
    sanitized = False

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


# --- real networks and failing well ------------------------------------

MIRROR_PATH = "/mirror/TalvoroLauncher.exe"
NOT_ROOT = (None if os.geteuid() == 0 else
            "needs root (a mount namespace or a mount of its own)")


def keep_partial(ctx, size):
    """Puts the first `size` bytes of the file and its ETag in the working
    folder, as an interrupted run leaves them."""
    e2e_write(ctx.path("TalvoroLauncher.bin"), ctx.final.data[:size])
    e2e_write(ctx.path("TalvoroLauncher.bin.etag"), ctx.final.etag.encode())
    ctx.kept = size


def partial_kept(ctx):
    try:
        kept = (e2e.read(ctx.path("TalvoroLauncher.bin"))
                == ctx.final.data[:ctx.kept] and ctx.final.etag.encode()
                == e2e.read(ctx.path("TalvoroLauncher.bin.etag")))
    except FileNotFoundError:
        kept = False
    return [] if kept else ["the partial file or its ETag was not kept"]


def listen_overflows():
    """The SYNs that the kernel dropped for a full accept queue (in this
    network namespace)."""
    rows = [line.split() for line in open("/proc/net/netstat")
            if line.startswith("TcpExt:")]
    return int(rows[1][rows[0].index("ListenOverflows")])


def _silent_first_address_setup(self, ctx):
    """In a mount namespace of the run's own, "localhost" is ::1 first and
    127.0.0.1 then; on ::1 a listener whose backlog (0) one connection fills,
    so that the kernel drops the SYNs that follow."""
    hosts = os.path.join(ctx.root, "hosts")
    e2e_write(hosts, b"127.0.0.1 localhost\n::1 localhost\n")
    self.wrapper = ["unshare", "-m", "sh", "-c",
                    'mount --bind "$0" /etc/hosts && exec "$@"', hosts]
    order = subprocess.run(self.wrapper + ["getent", "ahosts", "localhost"],
                           check=True, capture_output=True,
                           text=True).stdout.split()
    assert order[:1] == ["::1"] and "127.0.0.1" in order, order
    listener, filler, probe = (socket.socket(socket.AF_INET6)
                               for _ in range(3))
    ctx.cleanups += [listener.close, filler.close, probe.close]
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("::1", PORT))
    listener.listen(0)
    filler.setblocking(False)
    filler.connect_ex(("::1", PORT))
    time.sleep(0.2)
    probe.settimeout(1)
    try:  # the address must not answer: no accept, no refusal
        probe.connect(("::1", PORT))
        raise AssertionError("::1 answered")
    except socket.timeout:
        probe.close()
    time.sleep(0.1)
    self.overflows = listen_overflows()


def _silent_first_address_check(self, ctx):
    """Every connection to the server came after a SYN to ::1 that went
    unanswered; no attempt failed, none waited for the connect deadline."""
    dropped = listen_overflows() - self.overflows
    took = (ctx.runs[0].ended or float("inf")) - ctx.runs[0].began
    return ((["%d SYNs to ::1 for %d connections" % (
        dropped, ctx.server.connections)]
        if dropped < ctx.server.connections else [])
        + (["a failed attempt"] if FAILED in ctx.stderr else [])
        + ([] if took < 10 else ["took %.1f s" % took]))


def _start_tinyproxy(ctx, auth=False):
    """tinyproxy on a loopback port, allowing CONNECT to the test port (with
    `auth`, only with a user and password); its address "127.0.0.1:port"."""
    port = e2e.free_port()
    ctx.proxy_log = os.path.join(ctx.root, "tinyproxy.log")
    conf = os.path.join(ctx.root, "tinyproxy.conf")
    e2e_write(conf, ('Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\n'
                     'LogLevel Info\nMaxClients 16\nAllow 127.0.0.1\n'
                     'ConnectPort %d\n%s' % (
                         port, ctx.proxy_log, PORT,
                         "BasicAuth user pass\n" if auth else "")).encode())
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                             stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    ctx.cleanups.append(lambda: (proxy.terminate(), proxy.wait(10)))
    assert e2e.wait_until(lambda: os.path.exists(ctx.proxy_log) and b"Accepting"
                          in e2e.read(ctx.proxy_log), 10), "no tinyproxy"
    return b"127.0.0.1:%d" % port


# The flags of the connection settings: direct, the fixed proxy, the
# automatic configuration script, auto-detection.
DIRECT, FIXED_PROXY, SCRIPT, AUTO_DETECT = 1, 2, 4, 8


def _wine_proxy_settings(ctx, flags, proxy=b"", script=b""):
    """The user's settings, in a copy of the prefix: the Internet Options
    values and the connection settings that WinHTTP reads (magic, a counter,
    the flags, then the proxy, the bypass list and the script's address,
    each after its length)."""
    wine, saved = e2e.WINE.clone(os.path.join(ctx.root, "prefix"),
                                 shared_display=True), e2e.WINE
    e2e.WINE = wine
    ctx.cleanups.append(lambda: (setattr(e2e, "WINE", saved), wine.drop()))
    key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
    blob = struct.pack("<3I", 0x46, 0, flags) + b"".join(
        struct.pack("<I", len(text)) + text for text in (proxy, b"", script))
    values = [("\\Connections", ["DefaultConnectionSettings", "/t",
                                  "REG_BINARY", "/d", blob.hex()])]
    if flags & FIXED_PROXY:
        values += [("", ["ProxyEnable", "/t", "REG_DWORD", "/d", "1"]),
                   ("", ["ProxyServer", "/d", proxy.decode()])]
    if flags & SCRIPT:
        values.append(("", ["AutoConfigURL", "/d", script.decode()]))
    for sub, value in values:
        wine.run("reg", "add", key + sub, "/v", *value, "/f")


def _proxy_setup(self, ctx, auth=False):
    """tinyproxy (see _start_tinyproxy); the program is told to use it."""
    server = _start_tinyproxy(ctx, auth)
    if auth:
        keep_partial(ctx, len(ctx.final.data) // 2)
    if not e2e.WINE:
        self.env = {"https_proxy": "http://" + server.decode()}
        return
    _wine_proxy_settings(ctx, DIRECT | FIXED_PROXY, proxy=server)


SQUID_USER, SQUID_PASSWORD = "alice", "s3cret-Pw"


def _start_squid(ctx, scheme="basic"):
    """Debian's squid on a loopback port, run in the foreground with its
    files in the scenario's folder, allowing CONNECT to the test port only
    to SQUID_USER signed in with `scheme` ("basic": basic_ncsa_auth and a
    password file; "digest": digest_file_auth). Its address
    "127.0.0.1:port"; ctx.proxy_log is its access log."""
    folder = os.path.join(ctx.root, "squid")
    os.makedirs(folder)
    port = e2e.free_port()
    ctx.proxy_log = os.path.join(folder, "access.log")
    passwords = os.path.join(folder, "passwords")
    if scheme == "basic":
        line = subprocess.run(
            ["openssl", "passwd", "-apr1", SQUID_PASSWORD], check=True,
            capture_output=True, text=True).stdout.strip()
        e2e_write(passwords, ("%s:%s\n" % (SQUID_USER, line)).encode())
        helper = "basic_ncsa_auth %s" % passwords
    else:
        e2e_write(passwords, ("%s:%s\n" % (SQUID_USER, SQUID_PASSWORD))
                  .encode())
        helper = "digest_file_auth -c %s" % passwords
    conf = os.path.join(folder, "squid.conf")
    e2e_write(conf, (
        "http_port 127.0.0.1:%d\nvisible_hostname talvoro-test\n"
        "pid_filename %s/squid.pid\ncache_log %s/cache.log\n"
        "access_log stdio:%s\ncache deny all\ncache_mem 4 MB\n"
        "coredump_dir %s\nnetdb_filename none\nshutdown_lifetime 0 seconds\n"
        "auth_param %s program /usr/lib/squid/%s\n"
        "auth_param %s realm talvoro-test\n"
        "auth_param %s children 2 startup=1\n"
        "acl test_port port %d\nacl signed_in proxy_auth REQUIRED\n"
        "http_access deny !test_port\nhttp_access allow localhost signed_in\n"
        "http_access deny all\n" % (
            port, folder, folder, ctx.proxy_log, folder, scheme, helper,
            scheme, scheme, PORT)).encode())
    if os.getuid() == 0:  # squid then runs as its own user
        subprocess.run(["chown", "-R", "proxy", folder], check=True)
    proxy = subprocess.Popen(["squid", "-N", "-f", conf],
                             stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    ctx.cleanups.append(lambda: (proxy.terminate(), proxy.wait(20)))

    def listening():
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return True
        except OSError:
            return False
    assert e2e.wait_until(listening, 20), "no squid"
    return b"127.0.0.1:%d" % port


def _squid_setup(password=SQUID_PASSWORD, scheme="basic"):
    """squid (see _start_squid), named with SQUID_USER and `password` in
    its address; the partial download is kept."""
    def setup(self, ctx):
        server = _start_squid(ctx, scheme).decode()
        keep_partial(ctx, len(ctx.final.data) // 2)
        address = "http://%s:%s@%s" % (SQUID_USER, password, server)
        ctx.secrets = [password]
        if not e2e.WINE:
            ctx.state = os.path.join(ctx.root, "state")
            self.env = {"https_proxy": address, "XDG_STATE_HOME": ctx.state}
            return
        _wine_proxy_settings(ctx, DIRECT | FIXED_PROXY, proxy=address.encode())
    return setup


def _squid_tunnels(ctx):
    """The tunnels squid opened for SQUID_USER, and the 407s it sent."""
    log = e2e.read(ctx.proxy_log).decode(errors="replace")
    target = "CONNECT localhost:%d " % PORT
    lines = [line for line in log.splitlines() if target in line]
    return (sum(1 for line in lines if "/200 " in line and SQUID_USER in line),
            sum(1 for line in lines if "/407 " in line))


def _no_secret(ctx):
    """Problems if a password (or its Basic form) is in the program's
    outputs, or in the files of its log folder."""
    import base64
    texts = [ctx.stdout, ctx.stderr]
    folder = getattr(ctx, "state", None)
    for top, _, names in os.walk(folder) if folder else ():
        texts += [e2e.read(os.path.join(top, n)).decode(errors="replace")
                  for n in names]
    problems = []
    for secret in getattr(ctx, "secrets", []):
        basic = base64.b64encode(
            ("%s:%s" % (SQUID_USER, secret)).encode()).decode()
        if any(secret in t or basic in t for t in texts):
            problems.append("the password %r was printed or logged" % secret)
    return problems


SIGN_IN = FAILED + "proxy requires authentication (offered: "


def _sign_in_refused(reason, check=lambda self, ctx: []):
    """A run that retries with the sign-in line `reason` (after SIGN_IN),
    never reaching the origin, the partial download kept, and `check`."""
    return dict(
        expect="refused", timeout=30,
        retrying=lambda self, ctx: ctx.stderr.count(SIGN_IN + reason) >= 2,
        check=lambda self, ctx: partial_kept(ctx) + _no_secret(ctx) + (
            [] if not ctx.server.connections else ["the origin was reached"])
        + check(self, ctx))


NTLM_USER = "talvoro-tester"  # tests/sign_in_identity_main.cc
NTLM_PASSWORD = "Wine-Sign-In-7"


def _ntlm_challenge():
    """An NTLM Type 2 message as a domain's server sends it: the target
    name and the target information (names and a time stamp)."""
    def text(t):
        return t.encode("utf-16-le")
    target = text("TESTLAB")
    info = b"".join(struct.pack("<HH", kind, len(v)) + v for kind, v in (
        (2, text("TESTLAB")), (1, text("PROXY")), (4, text("testlab.test")),
        (3, text("proxy.testlab.test")),
        (7, struct.pack("<Q", (int(time.time()) + 11644473600) * 10 ** 7)),
        (0, b"")))
    flags = 0xE2898215  # unicode, NTLM, target info, 128/56-bit, ...
    offset = 56
    return (b"NTLMSSP\0" + struct.pack("<I", 2) +
            struct.pack("<HHI", len(target), len(target), offset) +
            struct.pack("<I", flags) + os.urandom(8) + bytes(8) +
            struct.pack("<HHI", len(info), len(info), offset + len(target)) +
            bytes([6, 1, 0xB1, 0x1D, 0, 0, 0, 15]) + target + info)


def _ntlm_user(message):
    """The user name of an NTLM Type 3 message."""
    length, _, offset = struct.unpack_from("<HHI", message, 36)
    (flags,) = struct.unpack_from("<I", message, 60)
    name = message[offset:offset + length]
    return name.decode("utf-16-le" if flags & 1 else "latin-1",
                       errors="replace")


def _start_ntlm_proxy(ctx):
    """A CONNECT proxy on loopback that offers Negotiate and NTLM: it
    answers an NTLM Type 1 with a Type 2, accepts any Type 3 on the same
    connection and then relays to the test port; a Negotiate token that is
    no NTLM message is refused. ctx.ntlm_events lists (connection number,
    scheme, message type or user name). Its address."""
    ctx.ntlm_events = []
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.2)
    stopped = []

    def relay(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for sock in (a, b):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def answer(conn, status, headers=()):
        body = b"sign in"
        conn.sendall(("HTTP/1.1 %s\r\n%sContent-Length: %d\r\n\r\n" % (
            status, "".join(h + "\r\n" for h in headers), len(body)))
            .encode() + body)

    def serve(conn, n):
        import base64
        data = b""
        with conn:
            for _ in range(6):  # requests on this connection
                while b"\r\n\r\n" not in data:
                    more = conn.recv(4096)
                    if not more:
                        return
                    data += more
                head, data = data.split(b"\r\n\r\n", 1)
                found = re.search(rb"(?im)^proxy-authorization: *(\S+) +(\S+)",
                                  head)
                if not found:
                    answer(conn, "407 Sign In", ("Proxy-Authenticate: Negotiate",
                                                 "Proxy-Authenticate: NTLM"))
                    continue
                scheme = found.group(1).decode()
                message = base64.b64decode(found.group(2))
                kind = (struct.unpack_from("<I", message, 8)[0]
                        if message.startswith(b"NTLMSSP\0") else 0)
                if kind == 3:
                    ctx.ntlm_events.append((n, scheme, _ntlm_user(message)))
                    conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    origin = socket.create_connection(("localhost", PORT))
                    threading.Thread(target=relay, args=(origin, conn),
                                     daemon=True).start()
                    relay(conn, origin)
                    return
                ctx.ntlm_events.append((n, scheme, kind))
                if kind == 1:
                    answer(conn, "407 Sign In", ("Proxy-Authenticate: %s %s" % (
                        scheme, base64.b64encode(_ntlm_challenge()).decode()),))
                else:
                    answer(conn, "407 Sign In", ("Proxy-Authenticate: NTLM",))

    def accept():
        n = 0
        while not stopped:
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:  # closed at the end
                break
            conn.settimeout(20)
            threading.Thread(target=serve, args=(conn, n), daemon=True).start()
            n += 1

    threading.Thread(target=accept, daemon=True).start()
    ctx.cleanups.append(lambda: (stopped.append(1), listener.close()))
    return b"127.0.0.1:%d" % listener.getsockname()[1]


def _ntlm_setup(self, ctx):
    proxy = _start_ntlm_proxy(ctx)
    keep_partial(ctx, len(ctx.final.data) // 2)
    ctx.secrets = [NTLM_PASSWORD]
    _wine_proxy_settings(ctx, DIRECT | FIXED_PROXY, proxy=proxy)


def _ntlm_check(self, ctx):
    """Each tunnel signed in on one connection: an NTLM Type 1 then a Type 3
    naming the test user, in the first scheme offered (Wine's Negotiate
    carries NTLM when it is given an identity)."""
    problems = _no_secret(ctx)
    signed = [e for e in ctx.ntlm_events if isinstance(e[2], str)]
    if len(signed) != ctx.server.connections or len(signed) < 2:
        problems.append("%d NTLM sign-ins for %d connections" % (
            len(signed), ctx.server.connections))
    for n, scheme, user in signed:
        steps = [e[1:] for e in ctx.ntlm_events if e[0] == n]
        if steps != [("Negotiate", 1), ("Negotiate", NTLM_USER)]:
            problems.append("connection %d: %r" % (n, steps))
    return problems


def _ntlm_fallback_check(self, ctx):
    """The logged-on user's sign-in, as far as Wine takes it: Negotiate
    has no credentials, so NTLM's Type 1 is sent (never a Negotiate token);
    Wine cannot make the Type 3 without cached credentials."""
    steps = [e[1:] for e in ctx.ntlm_events]
    if not steps or any(step != ("NTLM", 1) for step in steps):
        return ["the proxy saw %r" % steps]
    return []


def _serve_script(ctx, script):
    """An http server on loopback that answers "/proxy.pac" with `script`
    (404 when None); its address. ctx.script_requests counts the asks."""
    import http.server

    ctx.script_requests = 0

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            ctx.script_requests += 1
            body = (script or "").encode()
            found = script is not None and self.path == "/proxy.pac"
            self.send_response(200 if found else 404)
            self.send_header("Content-Type",
                             "application/x-ns-proxy-autoconfig")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    ctx.cleanups.append(lambda: (server.shutdown(), server.server_close()))
    return b"http://127.0.0.1:%d/proxy.pac" % server.server_address[1]


def _script_setup(answer, fixed=False, unreachable=False):
    """The settings name a script whose answer for the download's address
    is `answer` ("{proxy}": tinyproxy's address; None: the script is
    missing, a 404) and "DIRECT" for any other address; with `fixed`,
    tinyproxy is also the fixed entry; with `unreachable`, nothing listens
    on the script's port."""
    def setup(self, ctx):
        proxy = _start_tinyproxy(ctx)
        script = None
        if answer is not None:
            script = ('function FindProxyForURL(url, host) {\n'
                      '  if (url == "https://localhost:%d%s") return "%s";\n'
                      '  return "DIRECT";\n}\n' % (
                          PORT, URL_PATH,
                          answer.replace("{proxy}", proxy.decode())))
        address = (b"http://127.0.0.1:%d/proxy.pac" % e2e.free_port()
                   if unreachable else _serve_script(ctx, script))
        _wine_proxy_settings(
            ctx, DIRECT | SCRIPT | (FIXED_PROXY if fixed else 0),
            proxy=proxy if fixed else b"", script=address)
        ctx.proxy = proxy.decode()
    return setup


def _script_check(line, tunnelled=True, asked=True):
    """The one report `line` ("{proxy}": tinyproxy's address), the script
    fetched (`asked`), and every connection through tinyproxy's tunnel (or,
    without `tunnelled`, none)."""
    def check(self, ctx):
        problems = expect_in(ctx.stdout, line.replace("{proxy}", ctx.proxy))
        if ctx.stdout.count(line.split(": ")[0]) != 1:
            problems.append("the script's line is not there once")
        if asked and not ctx.script_requests:
            problems.append("the script was never fetched")
        connects = _proxy_connects(ctx)
        if not ((2 <= connects == ctx.server.connections) if tunnelled
                else connects == 0):
            problems.append("%d CONNECTs for %d connections" % (
                connects, ctx.server.connections))
        return problems
    return check


NO_SCRIPTS = "Linux has no system proxy configuration script"
def _proxy_connects(ctx):
    log = e2e.read(ctx.proxy_log).decode(errors="replace")
    return log.count("CONNECT localhost:%d HTTP/1.1" % PORT)


def _wrong_range_get(self, ex, n):
    if n == 0:
        ex.get(cut=len(ex.version.data) // 3, end="plain")
    else:  # a 206 from 0 to a ranged GET, then the file
        ex.get(status="HTTP/1.1 206 Partial Content" if n == 1 else None,
               whole=n == 1)


def _wrong_range_check(self, ctx):
    size = len(ctx.final.data)
    gets = ctx.server.requests("GET")
    problems = expect_in(ctx.stdout, "Content-Range 与请求不符，从头下载文件: "
                         "bytes 0-%d/%d\n" % (size - 1, size))
    offsets = [e[2] for e in gets]
    if len(offsets) != 3 or offsets[0] or not offsets[1] or offsets[2]:
        problems.append("GET offsets %r" % offsets)
    elif (b"\r\nIf-Range: %s\r\n" % ctx.final.etag.encode()) not in gets[1][4]:
        problems.append("the ranged GET has no If-Range with the ETag")
    return problems


def _backoff_retrying(self, ctx):
    heads = ctx.server.requests("HEAD")
    return bool(heads) and time.monotonic() > heads[0][3] + 20.5


def _backoff_check(self, ctx):
    """The attempts (HEADs) of the first 20 s follow the pauses 0, 1, 2, 4,
    8 s (each shortened by up to a half), plus an attempt's work; only the
    first two download (then the file is refused, and still announced)."""
    times = [e[3] for e in ctx.server.requests("HEAD")]
    times = [t for t in times if t <= times[0] + 20]
    gaps = [b - a for a, b in zip(times, times[1:])]
    problems = [] if ctx.server.gets == 2 else ["%d GETs" % ctx.server.gets]
    # Neighbouring pauses may meet (a half of one is all of the one before).
    if (5 <= len(times) <= 7
            and all(b > a - 0.1 for a, b in zip(gaps, gaps[1:]))
            and all(0.5 * p - 0.05 <= g <= p + 1.5
                    for g, p in zip(gaps, (0, 1, 2, 4, 8)))):
        return problems
    return problems + ["%d HEADs in 20 s, gaps %s ... s" % (
        len(times), ", ".join("%.2f" % g for g in gaps[:8]))]


class BadPublicationForAWhile(Scenario):
    """The host announces a wrong CRC for 20 s, then the right one. The
    wrong file is downloaded twice (once may be a byte damaged on the way),
    then only HEADs come while the pauses grow; the corrected announcement
    is downloaded at once, within one pause (32 s at most by then), and
    started."""

    name = "fail.wrong_crc_for_20_s_then_corrected"
    sizes = (4 << 20,)
    bad_for = 20.0
    longest_pause = 32.0
    timeout = 90
    sanitized = False

    def setup(self, ctx):
        self.fixed_at = None
        self.answers = []  # (time, announced the wrong CRC)
        self.litter = set()

    def head(self, ex, n):
        now = time.monotonic()
        if self.fixed_at is None:
            self.fixed_at = now + self.bad_for
        self.answers.append((now, now < self.fixed_at))
        ex.head(crc=12345 if now < self.fixed_at else None)

    def retrying(self, ctx):
        # Between refused attempts nothing of the download is on disk.
        if (self.fixed_at and time.monotonic() < self.fixed_at - 1
                and REFUSED_AGAIN in ctx.stderr):
            self.litter |= set(os.listdir(ctx.work))
        return False

    def check(self, ctx):
        bad = [t for t, wrong in self.answers if wrong]
        good = [t for t, wrong in self.answers if not wrong]
        gets = [e[5] for e in ctx.server.requests("GET")]
        bad_gets = [t for t in gets if not good or t < good[0]]
        problems = []
        if len(bad_gets) != 2 or len(bad) < 5:
            problems.append("%d GETs for %d HEADs of the wrong CRC" % (
                len(bad_gets), len(bad)))
        if not good or good[0] - self.fixed_at > self.longest_pause + 2:
            problems.append("the corrected CRC was asked for too late")
        elif len(gets) - len(bad_gets) != 1 or gets[-1] - good[0] > 2:
            problems.append("the corrected file was not downloaded at once")
        if (ctx.stderr.count(CRC_FAILED) != len(bad_gets)
                or ctx.stderr.count(REFUSED_AGAIN) != len(bad) - len(bad_gets)
                or "删除" in ctx.stderr):
            problems.append("the lines do not match the attempts")
        if self.litter:
            problems.append("files between refused attempts: %r"
                            % sorted(self.litter))
        return problems


def _close_in_a_pause_drive(self, ctx):
    """Closes the window 0.3 s into the 3 s pause after a refused
    connection; the program must end at once, not after the pause."""
    run = ctx.start()
    if not e2e.wait_until(lambda: FAILED in run.stderr(), 30):
        return ["no failed attempt"]
    time.sleep(0.3)
    began = time.monotonic()
    ctx.code = run.close_window()
    self.took = time.monotonic() - began
    return [] if self.took < 1.2 else ["ended %.2f s after the close"
                                       % self.took]


def _two_copies_drive(self, ctx):
    runs = [ctx.start()]
    time.sleep(getattr(self, "gap", 0))
    runs.append(ctx.start())
    ended = {}
    deadline = time.monotonic() + self.timeout
    while len(ended) < 2 and time.monotonic() < deadline:
        for r in runs:
            if r not in ended and r.proc.poll() is not None:
                ended[r] = time.monotonic() - r.began
        time.sleep(0.05)
    if len(ended) < 2:
        return ["no end within %d s" % self.timeout]
    ctx.code = next((r.proc.returncode for r in runs if r.proc.returncode), 0)
    line = "已有一个副本在此文件夹中运行，本副本退出\n"
    second = [r for r in runs if line in r.stdout()]
    if len(second) != 1 or second[0].stdout() != line or second[0].stderr():
        return ["not one copy stood back: %r" % [r.stdout() for r in runs]]
    took = ended[second[0]]
    return [] if took < 5 else ["the second copy took %.1f s" % took]


def _small_disk_setup(self, ctx):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs",
                    ctx.work], check=True)
    ctx.cleanups.append(lambda: subprocess.run(["umount", "-l", ctx.work]))
    keep_partial(ctx, 1 << 20)
    self.grown = self.gets = self.free = None


def _small_disk_retrying(self, ctx):
    """Once the program has found the disk too small: makes it bigger."""
    if self.grown is None and "not enough free disk space" in ctx.stderr:
        st = os.statvfs(ctx.work)
        self.free, self.gets = st.f_bavail * st.f_frsize, ctx.server.gets
        subprocess.run(["mount", "-o", "remount,size=40m", ctx.work],
                       check=True)
        self.grown = True
    return False


def _small_disk_check(self, ctx):
    m = re.search(FAILED + r"not enough free disk space: (\d+) bytes needed, "
                  r"(\d+) bytes free\n", ctx.stderr)
    if not m:
        return ["no report of the small disk"]
    size = len(ctx.final.data)
    problems = []
    if (int(m.group(1)), int(m.group(2))) != (2 * size - ctx.kept, self.free):
        problems.append("reported %s/%s, expected %d/%d" % (
            m.group(1), m.group(2), 2 * size - ctx.kept, self.free))
    if self.gets:
        problems.append("a GET was sent to the small disk")
    offsets = [e[2] for e in ctx.server.requests("GET")]
    if offsets != [ctx.kept]:
        problems.append("GET offsets %r" % offsets)
    return problems



# --- a busy server -------------------------------------------------------

BUSY_503 = "HTTP/1.1 503 Service Unavailable"
HEAD_FAILED = FAILED + "HEAD 请求失败，响应: "
GET_FAILED = FAILED + "HTTP 请求失败，响应: "


def sent_once_resumed(ctx, cuts):
    """The file went over the wire once in all: the GETs asked for 0, then
    for the cut `cuts` times, each with the ETag in If-Range."""
    gets = ctx.server.requests("GET")
    cut = len(ctx.final.data) // 2
    problems = []
    if [e[2] for e in gets] != [0] + [cut] * cuts:
        problems.append("GET offsets %r" % [e[2] for e in gets])
    elif not all((b"\r\nIf-Range: %s\r\n" % ctx.final.etag.encode()) in e[4]
                 for e in gets[1:]):
        problems.append("a resumed GET without the ETag in If-Range")
    if ctx.server.body_bytes != len(ctx.final.data):
        problems.append("%d bytes of the file sent for %d" % (
            ctx.server.body_bytes, len(ctx.final.data)))
    return problems


def _cut_at_half(ex):
    ex.get(cut=len(ex.version.data) // 2, end="plain")


def _busy_after_cut_check(self, ctx):
    """The HEAD after the cut is answered 503 with Retry-After: 8; the next
    one comes no earlier, nor much later (the program lengthens a server's
    wait by at most a half), and resumes."""
    heads = [e[3] for e in ctx.server.requests("HEAD")]
    problems = sent_once_resumed(ctx, 1) + expect_in(
        ctx.stderr, HEAD_FAILED + BUSY_503 + "\r\n")
    if len(heads) != 3 or not 8 <= heads[2] - heads[1] <= 12 + 1.5:
        problems.append("HEADs at %s s" % ", ".join(
            "%.2f" % (t - heads[0]) for t in heads))
    return problems


def _http_date_head(self, ex, n):
    """The first HEAD: 429 with Retry-After as an HTTP-date 6 to 7 s ahead
    (a whole second)."""
    if n:
        ex.head()
        return
    wall = time.time()
    until = int(wall) + 7
    self.until = time.monotonic() + (until - wall)
    ex.busy("HTTP/1.1 429 Too Many Requests",
            email.utils.formatdate(until, usegmt=True))


def _http_date_check(self, ctx):
    heads = [e[3] for e in ctx.server.requests("HEAD")]
    if len(heads) >= 2 and self.until <= heads[1] <= self.until + 3.5 + 1.5:
        return []
    return ["the HEAD after the 429 came %.2f s after the date" % (
        heads[1] - self.until) if len(heads) >= 2 else "no second HEAD"]


def _unparsed_check(self, ctx):
    """A Retry-After that does not parse is ignored: the next attempt comes
    after the program's own first pause (at most 3 s)."""
    heads = [e[3] for e in ctx.server.requests("HEAD")]
    if len(heads) >= 2 and heads[1] - heads[0] <= 3 + 1.5:
        return []
    return ["HEADs at %s s" % ", ".join("%.2f" % (t - heads[0])
                                        for t in heads)]


DAY_PAUSE = " pause: 600000 ms before the next attempt"


def _day_retrying(self, ctx):
    heads = ctx.server.requests("HEAD")
    return (DAY_PAUSE in ctx.log() and bool(heads)
            and time.monotonic() > heads[0][3] + 5)


def _day_check(self, ctx):
    """Asked to wait a day, the program waits 10 minutes (its log says so);
    nothing comes in the 5 s the scenario watches; the partial stays."""
    problems = expect_in(ctx.log(), DAY_PAUSE) + partial_kept(ctx)
    if ctx.server.heads != 1:
        problems.append("%d HEADs" % ctx.server.heads)
    return problems


def _other_port_head(self, ex, n):
    if ex.path == URL_PATH:
        ex.head(status="HTTP/1.1 302 Found",
                extra=["Location: https://localhost:%d%s" % (PORT + 1,
                                                             MIRROR_PATH)])
    else:
        ex.head()


AGENT = re.compile(rb"\r\nUser-Agent: CorvadelinBootstrap/(\d+\.\d+\.\d+) "
                   rb"\((Linux|Windows) [^;()\r\n]+; (x86_64|x86|arm64|arm)\)"
                   rb"\r\n")


def project_version():
    """The version in the build's cache (the project's in CMakeLists.txt)."""
    cache = e2e.read(os.path.join(os.path.dirname(PROGRAMS["loopback"]),
                                  "CMakeCache.txt")).decode()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache,
                     re.M).group(1)


def _host_and_agent_check(self, ctx):
    """Every request names its host with the port it went to, and says who
    asks: the project's version and the system the program runs on."""
    requests = ([(e[2], e[4]) for e in ctx.server.requests("HEAD")]
                + [(e[3], e[4]) for e in ctx.server.requests("GET")])
    system = b"Windows" if e2e.WINE else b"Linux"
    version = project_version().encode()
    problems = []
    for path, request in requests:
        port = PORT if path == URL_PATH else PORT + 1
        if (b"\r\nHost: localhost:%d\r\n" % port) not in request:
            problems.append("Host of %s: %r" % (path, request[:300]))
        m = AGENT.search(request)
        if not m or m.group(1) != version or m.group(2) != system:
            problems.append("User-Agent of %s: %r" % (path, request[:300]))
    if len(requests) != 3:
        problems.append("%d requests" % len(requests))
    return problems


SCENARIOS = [
    # Connections.
    scenario("conn.refused_until_the_server_listens", listen_after=4.0,
             check=lambda self, ctx: expect_in(
                 ctx.stderr, FAILED + "Connection refused\n")
             + shows_unreachable(ctx)),
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
    scenario("conn.get_connection_opened_with_the_heads",
             check=_opened_together_check),
    # Stalled for 30 s (the program's own time-out is 60 s): the window
    # says it waits after 15 s.
    scenario("conn.stall_long_enough_to_show_the_waiting_line", timeout=75,
             sanitized=False,
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="stall")
                                      if n == 0 else ex.get()),
             check=lambda self, ctx: shows_waiting(ctx) + gets_resumed(ctx, 1)),
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
    first_head("http.head_without_crc", CRC_ABSENT,
               drop=("x-oss-hash-crc64ecma",)),
    scenario("http.no_crc_an_empty_body_and_an_old_launcher", expect="refused",
             timeout=30, setup=_old_launcher_setup,
             head=lambda self, ex, n: ex.head(
                 drop=("x-oss-hash-crc64ecma", "Content-Length"),
                 extra=["Content-Length: 0"]),
             get=lambda self, ex, n: (ex.send(ex.get_head()), ex.finish()),
             retrying=lambda self, ctx: ctx.stderr.count(REFUSED_AGAIN) >= 2,
             check=_old_launcher_check),
    scenario("http.header_names_in_mixed_case", head=_mixed_case_head,
             get=lambda self, ex, n: (ex.get(cut=random_cut(ex), end="plain")
                                      if n == 0 else ex.get()),
             check=_mixed_case_check),
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
    scenario("local.working_folder_path_near_the_windows_limit",
             setup=_long_folder_setup, drive=_long_folder_drive,
             check=_long_folder_check),
    scenario("local.stale_download_longer_than_the_file", nginx=True,
             setup=_stale_bin_setup,
             check=lambda self, ctx: expect_in(
                 ctx.stdout + ctx.stderr, "ETag 匹配，继续下载文件",
                 FAILED + "HTTP 请求失败，响应: HTTP/1.1 416")),
    # Process.
    KilledAgainAndAgain,
    scenario("process.started_with_stdout_and_stderr_closed", quiet=True,
             listen_after=4.0,
             windows_skip=(
                 "with descriptors 1 and 2 closed, Wine's own wineserver "
                 "request pipe takes descriptor 2 (seen with strace) and the "
                 "process is killed once the program writes its first line; "
                 "closed Unix descriptors under Wine are not a Windows start "
                 "without standard handles"),
             wrapper=("sh", "-c", 'exec "$@" >&- 2>&-', "sh"),
             check=lambda self, ctx: (
                 [] if ctx.stdout + ctx.stderr == "" and ctx.server.gets == 1
                 else ["output went somewhere, or %d GETs" % ctx.server.gets])),
    # Real networks.
    scenario("net.first_address_never_answers", skip=NOT_ROOT, timeout=20,
             setup=_silent_first_address_setup,
             check=_silent_first_address_check),
    scenario("net.redirect_to_a_relative_location",
             head=lambda self, ex, n: ex.head(
                 status="HTTP/1.1 302 Found",
                 extra=["Location: " + MIRROR_PATH])
             if ex.path == URL_PATH else ex.head(),
             check=lambda self, ctx: expect_in(
                 ctx.stdout, "重定向到: https://localhost:%d%s\n"
                 % (PORT, MIRROR_PATH)) + (
                 [] if [e[3] for e in ctx.server.requests("GET")]
                 == [MIRROR_PATH] else ["a GET not sent to the mirror"]) + (
                 # The GET's connection opened with the redirecting HEAD's.
                 [] if len(ctx.server.requests("dropped")) == 1
                 else ["%d connections closed unused"
                       % len(ctx.server.requests("dropped"))])),
    scenario("net.redirect_to_an_http_address", expect="refused", timeout=20,
             head=lambda self, ex, n: ex.head(
                 status="HTTP/1.1 302 Found",
                 extra=["Location: http://localhost:%d%s" % (PORT, URL_PATH)]),
             retrying=lambda self, ctx: ctx.stderr.count(
                 FAILED + "redirect to a non-https address refused: "
                 "http://localhost:%d%s\n" % (PORT, URL_PATH)) >= 2,
             check=lambda self, ctx: (
                 ["a GET was sent"] if ctx.server.gets else [])),
    scenario("net.host_and_user_agent_after_a_redirect_to_another_port",
             second_port=True, head=_other_port_head,
             check=_host_and_agent_check),
    scenario("net.chunked_body", get=lambda self, ex, n: ex.chunked(),
             check=lambda self, ctx: (
                 [] if ctx.server.gets == 1 and FAILED not in ctx.stderr
                 else ["the chunked body did not arrive in one go"])),
    scenario("net.malformed_chunk_size",
             get=lambda self, ex, n: ex.chunked(bad=n == 0),
             check=lambda self, ctx: expect_in(
                 ctx.stderr, FAILED + 'malformed chunked body: chunk size '
                 '"12z4"\n')),
    scenario("net.206_from_the_wrong_place", get=_wrong_range_get,
             check=_wrong_range_check),
    scenario("net.through_a_proxy", setup=_proxy_setup,
             check=lambda self, ctx: (
                 [] if 2 <= _proxy_connects(ctx) == ctx.server.connections
                 else ["%d CONNECTs for %d connections" % (
                     _proxy_connects(ctx), ctx.server.connections)])),
    scenario("net.proxy_asking_for_authentication", expect="refused",
             timeout=20,
             setup=lambda self, ctx: _proxy_setup(self, ctx, auth=True),
             retrying=lambda self, ctx: ctx.stderr.count(
                 SIGN_IN + "Basic); no user name and password in the proxy "
                 "address\n") >= 2,
             check=lambda self, ctx: partial_kept(ctx) + (
                 [] if _proxy_connects(ctx) and not ctx.server.connections
                 else ["the origin was reached, or the proxy not asked"])),
    scenario("net.proxy_sign_in_basic", setup=_squid_setup(),
             check=lambda self, ctx: _no_secret(ctx) + (
                 [] if _squid_tunnels(ctx)[0] == ctx.server.connections >= 2
                 else ["squid's tunnels %r for %d connections" % (
                     _squid_tunnels(ctx), ctx.server.connections)])),
    scenario("net.proxy_sign_in_wrong_password",
             setup=_squid_setup(password="not-the-Pw"),
             **_sign_in_refused("Basic); the user name or password was "
                                "refused\n")),
    scenario("net.proxy_sign_in_unsupported_scheme",
             setup=_squid_setup(scheme="digest"),
             **_sign_in_refused("Digest); none of these schemes is "
                                "supported\n")),
    scenario("net.proxy_sign_in_ntlm", program="sign-in",
             linux_skip="Linux has no system sign-in for NTLM",
             setup=_ntlm_setup, check=_ntlm_check),
    scenario("net.proxy_sign_in_as_the_user_negotiate_to_ntlm",
             linux_skip="Linux has no system sign-in for NTLM",
             setup=_ntlm_setup,
             **_sign_in_refused("NTLM); the NTLM sign-in as the user "
                                "failed (", _ntlm_fallback_check)),
    scenario("net.proxy_script", linux_skip=NO_SCRIPTS,
             setup=_script_setup("PROXY {proxy}"),
             check=_script_check("代理自动配置脚本选择: {proxy}\n")),
    scenario("net.proxy_script_dead_proxy_first", linux_skip=NO_SCRIPTS,
             windows_skip="Wine's WinHTTP passes on only the first proxy of "
                          "a script's answer",
             setup=_script_setup("PROXY 127.0.0.1:1; PROXY {proxy}"),
             check=_script_check(
                 "代理自动配置脚本选择: 127.0.0.1:1; {proxy}\n")),
    scenario("net.proxy_script_missing", linux_skip=NO_SCRIPTS,
             setup=_script_setup(None),
             check=_script_check("代理自动配置脚本不可用，改用: 直接连接\n",
                                 tunnelled=False)),
    scenario("net.proxy_script_unreachable_fixed_proxy", linux_skip=NO_SCRIPTS,
             setup=_script_setup("PROXY {proxy}", fixed=True,
                                 unreachable=True),
             check=_script_check("代理自动配置脚本不可用，改用: {proxy}\n",
                                 asked=False)),
    # Failing well.
    scenario("fail.backoff_after_crc_mismatches", expect="refused",
             sizes=(256 << 10,), timeout=40, sanitized=False,
             head=lambda self, ex, n: ex.head(crc=12345),
             retrying=_backoff_retrying, check=_backoff_check),
    BadPublicationForAWhile,
    scenario("fail.close_during_a_retry_pause", expect="refused",
             listen_after=600,
             setup=lambda self, ctx: keep_partial(ctx, 100000),
             drive=_close_in_a_pause_drive,
             check=lambda self, ctx: partial_kept(ctx) + (
                 [] if ctx.stderr.count(FAILED) == 1
                 else ["not closed in the first pause"])),
    # A busy server: the partial stays, Retry-After is honoured.
    scenario("fail.503_with_retry_after_after_a_cut", sizes=(2 << 20,),
             head=lambda self, ex, n: (ex.busy(BUSY_503, 8) if n == 1
                                       else ex.head()),
             get=lambda self, ex, n: _cut_at_half(ex) if n == 0 else ex.get(),
             check=_busy_after_cut_check),
    scenario("fail.500_after_a_cut", sizes=(2 << 20,),
             get=lambda self, ex, n: (
                 _cut_at_half(ex) if n == 0 else
                 ex.busy("HTTP/1.1 500 Internal Server Error") if n == 1
                 else ex.get()),
             check=lambda self, ctx: sent_once_resumed(ctx, 2) + expect_in(
                 ctx.stderr,
                 GET_FAILED + "HTTP/1.1 500 Internal Server Error\n")),
    scenario("fail.429_with_an_http_date", head=_http_date_head,
             check=_http_date_check),
    scenario("fail.retry_after_that_does_not_parse",
             head=lambda self, ex, n: (
                 ex.busy(BUSY_503, "Sat, 31 Feb 2035 10:00:00 GMT") if n == 0
                 else ex.head()),
             check=_unparsed_check),
    scenario("fail.retry_after_of_a_day", expect="refused", timeout=20,
             setup=lambda self, ctx: keep_partial(ctx, 100000),
             head=lambda self, ex, n: ex.busy(BUSY_503, 86400),
             retrying=_day_retrying, check=_day_check),
    scenario("fail.two_copies_at_once", drive=_two_copies_drive,
             check=lambda self, ctx: (
                 ["a CRC failure"] if CRC_FAILED in ctx.stderr else [])),
    scenario("fail.two_copies_0_3_s_apart", drive=_two_copies_drive, gap=0.3,
             check=lambda self, ctx: (
                 ["a CRC failure"] if CRC_FAILED in ctx.stderr else [])),
    scenario("fail.small_disk", skip=NOT_ROOT, sizes=(12 << 20,), timeout=60,
             setup=_small_disk_setup, retrying=_small_disk_retrying,
             check=_small_disk_check),
    # Signed launchers (the Windows program built with a signer list).
    scenario("sign.by_the_listed_signer", program="signed",
             linux_skip=NO_SIGNATURES, signer="publisher",
             check=lambda self, ctx: (
                 ["a signature refused"] if SIGNATURE_FAILED in ctx.stderr
                 else [])),
    signature_refused("sign.unsigned", None, "not signed"),
    signature_refused("sign.by_another_trusted_signer", "other",
                      "signer not allowed"),
    signature_refused("sign.under_an_untrusted_root", "stranger",
                      "untrusted root"),
    signature_refused("sign.under_an_untrusted_root_sha256_certificate",
                      "stranger256", "untrusted root"),
    signature_refused("sign.changed_after_signing", "publisher", "bad digest",
                      tampered=True),
]


# --- the runner ------------------------------------------------------------


class Program(e2e.Run):
    """One run of `binary` in `folder`, as `uid` if given."""

    def __init__(self, folder, binary, uid=None, log_dir=None, extra_env=None,
                 wrapper=(), state=None):
        self.folder = folder
        if e2e.WINE:
            assert uid is None, "Windows runs have no other user"
            if state:
                e2e.WINE.set_local_app_data(state)
            self.start([binary], e2e.WINE.env(), log_dir, wrapper)
            return
        env = dict(os.environ, DISPLAY=e2e.Fixture.display,
                   SSL_CERT_FILE=os.path.join(e2e.Fixture.pki, "ca.pem"))
        if state:
            env["XDG_STATE_HOME"] = state
        for name in ("SSL_CERT_DIR", "GDK_GL", "https_proxy", "HTTPS_PROXY",
                     "no_proxy", "NO_PROXY"):
            env.pop(name, None)
        env.update(extra_env or {})
        command = [binary]
        if uid is not None:
            env["HOME"] = folder
            command = ["setpriv", "--reuid", str(uid), "--regid", str(uid),
                       "--clear-groups"] + command
        self.start(command, env, log_dir, wrapper)


class Context:
    """What a scenario's checks look at."""

    def __init__(self, sc, root):
        self.scenario = sc
        self.root = root
        self.work = os.path.join(root, "work")
        os.makedirs(self.work)
        # The log's folder: made by the program.
        self.state = os.path.join(root, "state")
        os.chmod(root, 0o755)
        self.versions = [Published(root, "published-%d" % i, size,
                                   sc.signer, sc.tampered)
                         for i, size in enumerate(sc.sizes)]
        self.final = self.versions[-1]
        self.as_user = None
        self.runs = []
        self.server = None
        self.code = None
        self.kept = 0
        self.stdout = self.stderr = ""
        self.cleanups = []  # run after the checks, last first

    def path(self, name):
        return os.path.join(self.work, name)

    def start(self):
        binary = PROGRAMS[self.scenario.program]
        log_dir = os.path.join(self.root, "run-%d" % len(self.runs))
        os.makedirs(log_dir)
        run = Program(self.work, binary, self.as_user, log_dir,
                      self.scenario.env, self.scenario.wrapper, self.state)
        run.began, run.ended = time.monotonic(), None
        self.runs.append(run)
        return run

    def collect(self):
        self.stdout = "".join(r.stdout() for r in self.runs)
        self.stderr = "".join(r.stderr() for r in self.runs)

    def log_path(self):
        if e2e.WINE:
            return os.path.join(self.state, "Corvadelin", "Logs",
                                "bootstrap.log")
        return os.path.join(self.state, "corvadelin", "bootstrap.log")

    def log(self):
        """The program's log (all runs), "" when there is none."""
        try:
            return e2e.read(self.log_path()).decode()
        except FileNotFoundError:
            return ""

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
        run.ended = time.monotonic()
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
    try:
        return run_and_check(sc, ctx)
    finally:
        for cleanup in reversed(ctx.cleanups):
            cleanup()


def run_and_check(sc, ctx):
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
        if ("Setup executable started successfully\n" not in ctx.stdout
                and not sc.quiet):
            problems.append("no report of the start")
    elif starts:
        problems.append("a launcher was started")
    old = getattr(ctx, "old_launcher", None)
    if sc.expect == "refused" and old is None and os.path.exists(exe):
        problems.append("TalvoroLauncher.exe was written")
    if old and (not os.path.isfile(exe) or e2e.read(exe) != old.data):
        problems.append("the launcher in place was changed")
    problems += log_problems(ctx)
    problems += sc.check(ctx)
    return problems, wrong


LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ (.*)$")


def log_problems(ctx):
    """The log of every run: its head, each line of the standard streams in
    it; a run that cannot write it says so once on stderr and goes on."""
    if ctx.as_user is not None:
        # Another user cannot make the log's folder in the test's root.
        problems = []
        if ctx.stderr.count("cannot open the log: ") != len(ctx.runs):
            problems.append("no single line about the log that cannot open")
        if os.path.exists(ctx.log_path()):
            problems.append("a log was written where it cannot be")
        return problems
    entries = []
    for line in ctx.log().splitlines():
        match = LOG_LINE.match(line)
        if not match:
            return ["malformed log line %r" % line]
        entries.append(match.group(1))
    # A run killed at once may not have written its head.
    problems = ["log with %d %r lines for %d runs" % (n, head, len(ctx.runs))
                for head, n in (
                    (head, sum(e.startswith(head) for e in entries))
                    for head in ("start: Corvadelin bootstrap ",
                                 "address: https://", "proxy: ", "folder: "))
                if not 1 <= n <= len(ctx.runs)]
    # A report of several lines is one log line (its breaks made blanks).
    logged = set(entries)
    for line in ctx.stdout.splitlines() + [
            l for l in ctx.stderr.splitlines() if l.startswith(FAILED)]:
        if line and line not in logged and not any(
                e.startswith(line + " ") for e in entries):
            problems.append("not in the log: %r" % line)
    return problems


def status_lines(ctx):
    """The window's status lines as the log has them."""
    return re.findall(r" status: (.+)$", ctx.log(), re.M)


def shows_waiting(ctx):
    """The window said that it waits for the server, then no more."""
    lines = status_lines(ctx)
    waiting = [i for i, l in enumerate(lines) if l in (
        "Waiting for the download server to send data…",
        "正在等待下载服务器发送数据…")]
    if not waiting:
        return ["no waiting line in %r" % lines]
    return [] if waiting[-1] < len(lines) - 1 else [
        "the waiting line stayed"]


def shows_unreachable(ctx):
    """The window said that the server could not be reached, with a
    countdown, and cleared the line once the download went on."""
    lines = status_lines(ctx)
    said = [l for l in lines if re.match(
        r"(Can't reach the download server\. Retrying in \d+ s\.|"
        r"无法连接到下载服务器，\d+ 秒后重试)$", l)]
    problems = [] if said else ["no status line about the unreachable server"
                                " in %r" % lines]
    if not re.search(r" status: $", ctx.log(), re.M):
        problems.append("the status line was never cleared")
    return problems


def run_in_own_network(args):
    """Starts an Xvfb here, then runs the matrix in a new network namespace
    (brought up by `ip`) with that display; returns its exit code. The
    Windows mode uses its prefix's display instead."""
    command = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"',
               "sh", sys.executable, os.path.abspath(__file__)] + args
    if args and args[0] == "--windows":
        return subprocess.run(command, env=dict(
            os.environ, FAULT_OWN_NETWORK="1")).returncode
    e2e.setUpModule(pki=os.environ.get("FAULT_PKI"))
    try:
        return subprocess.run(
            command, env=dict(os.environ, FAULT_DISPLAY=e2e.Fixture.display,
                              FAULT_PKI=e2e.Fixture.pki)).returncode
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
        "signed": os.path.join(build, "talvoro-bootstrap-loopback-signed.exe"),
        "sign-in": os.path.join(build,
                                "talvoro-bootstrap-loopback-sign-in.exe"),
    }
    if not os.environ.get("FAULT_OWN_NETWORK"):
        return None
    clone = e2e.WINE.clone(tempfile.mkdtemp(prefix="talvoro-faults-wine-")
                           + "/prefix", shared_display=True)
    e2e.WINE = clone
    return clone


def skip_reason(sc, windows, sanitized=False):
    """Why scenario `sc` cannot run on the platform under test, or None."""
    if sanitized and not sc.sanitized:
        return "its length is waiting, not code; the normal build runs it"
    return sc.skip or getattr(sc, "windows_skip" if windows else "linux_skip",
                              None)


def list_scenarios(windows, sanitized):
    """The longest first (by time-out): CTest starts its entries in the
    order they were registered, and the longest should not come last."""
    for cls in sorted(SCENARIOS, key=lambda cls: -cls.timeout):
        reason = skip_reason(cls, windows, sanitized)
        print("skip %s: %s" % (cls.name, reason) if reason else cls.name)
    return 0


def main():
    global PORT, PROGRAMS
    args = sys.argv[1:]
    if args and args[0] == "--list":
        return list_scenarios("--windows" in args[1:],
                              "--sanitized" in args[1:])
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
    names = {s.name for s in SCENARIOS}
    chosen = [s for s in SCENARIOS if not prefixes or any(
        s.name == p or (p not in names and s.name.startswith(p))
        for p in prefixes)]
    e2e.setUpModule(os.environ.get("FAULT_DISPLAY"),
                    os.environ.get("FAULT_PKI"))
    os.chmod(e2e.Fixture.tmp, 0o755)
    os.chmod(os.path.join(e2e.Fixture.pki, "ca.pem"), 0o644)
    os.chmod(e2e.Fixture.pki, 0o755)
    passed = wrong_total = skipped = 0
    try:
        for cls in chosen:
            sc = cls()
            reason = skip_reason(sc, bool(e2e.WINE))
            if reason:
                skipped += 1
                print("skip %-50s %s" % (sc.name, reason), flush=True)
                continue
            began = time.monotonic()
            root = tempfile.mkdtemp(dir=e2e.Fixture.tmp)
            ctx = None
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
