#!/usr/bin/env python3
"""The real program under Xvfb against nginx on loopback.

The program under test is a copy of talvoro-bootstrap built to download from
https://localhost:PORT/... (PORT is the build's loopback test port). A small
TCP relay owns that port and forwards to a private nginx; it can cut every
connection after a number of bytes (a bad link) and it counts how many
connections are open at once (never more than one: one download at a time,
one request per connection).

With --windows, BUILD_DIR is the Windows build (MinGW-w64): the same cases
run its programs under the Wine prefix that tests/win/wine-prefix.sh made
in it (the CTest fixture `wine` starts it), with that prefix's Xvfb and its
trusted test CA (BUILD_DIR/pki). The servers and the relay stay on Linux.

Usage: e2e_test.py [--windows] BUILD_DIR PORT [unittest args...]
"""

import ctypes
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = PORT = None
PROGRAM = CLOSE_TOOL = CRC_TOOL = None
TITLE = "Corvadelin"
# The system's text for a refused connection, as the program reports it.
REFUSED = "Connection refused"
WINDOWS_REFUSED = "Connection refused."  # Wine's text for WSAECONNREFUSED
# A retry that finds the refused file still announced, and downloads nothing.
REFUSED_AGAIN = "下载失败: the server still announces the file that was refused: "
# How long a run that must finish may take: on a loaded machine one stalled
# connection costs the program's 60 s idle time-out before it resumes.
RUN_LIMIT = 150

# The launcher used in tests: records each start in the folder it runs in,
# with a variable the toolkit sets for itself (the launcher must get the
# bootstrap's own environment, without it).
LAUNCHER_HEAD = (b"#!/bin/sh\n"
                 b"echo \"started GDK_GL=${GDK_GL-unset}\" >> launcher-ran.txt\n"
                 b"exit 0\n")

# The Windows mode (--windows): the Wine prefix of the build, and the test
# launcher (tests/win/test_launcher.c), which records the SHA-256 of its own
# bytes and the variable TALVORO_LAUNCHER_MARK: the launcher must get the
# bootstrap's own environment, non-ASCII values intact.
WINE = None
LAUNCHER_EXE = None
LAUNCHER_MARK = "张伟-e2e"
WIN_DIR = os.path.join(ROOT, "tests", "win")


def make_launcher(path, size, head=LAUNCHER_HEAD):
    """A launcher script `head` padded with comment lines to `size` bytes;
    in the Windows mode the test launcher padded with random bytes (the
    loader ignores what follows the image)."""
    if WINE:
        image = read(LAUNCHER_EXE)
        if size < len(image):
            raise ValueError("a %d-byte launcher is smaller than %s"
                             % (size, LAUNCHER_EXE))
        with open(path, "wb") as f:
            f.write(image + os.urandom(size - len(image)))
        return
    body = bytearray(head)
    rnd = os.urandom(size)
    i = 0
    while len(body) < size:
        line = b"# " + rnd[i:i + 60].hex().encode() + b"\n"
        i += 60
        body += line
    with open(path, "wb") as f:
        f.write(bytes(body[:size - 1]) + b"\n")


def crc_of(path):
    """The CRC-64 of `path` in decimal, as the publisher's tool prints it:
    the Linux build's own tool; for the Windows build liblzma's lzma_crc64
    (the same CRC-64), which spares each published file a Wine process."""
    if WINE:
        lzma = ctypes.CDLL("liblzma.so.5")
        lzma.lzma_crc64.restype = ctypes.c_uint64
        lzma.lzma_crc64.argtypes = [ctypes.c_char_p, ctypes.c_size_t,
                                    ctypes.c_uint64]
        data = read(path)
        return str(lzma.lzma_crc64(data, len(data), 0))
    return subprocess.run([CRC_TOOL, path], check=True, capture_output=True,
                          text=True).stdout.split()[0]


class Wine:
    """A Wine prefix made by tests/win/wine-prefix.sh, and how the Windows
    programs run in it."""

    def __init__(self, build, prefix):
        self.build = build
        self.prefix = prefix
        marker = os.path.join(prefix, "talvoro-display")
        if not os.path.exists(marker):
            raise RuntimeError("%s is not running: tests/win/wine-prefix.sh up "
                               "BUILD_DIR starts it" % prefix)
        self.display = read(marker).decode().strip()

    @staticmethod
    def path(unix_path):
        """The Windows form of a Unix path (drive Z: is the root)."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def env(self):
        """The environment of a program in this prefix: its display, and a
        UTF-8 locale, in which Wine reads Unix file names."""
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8",
                   DISPLAY=self.display)
        for name in ("SSL_CERT_FILE", "SSL_CERT_DIR", "WAYLAND_DISPLAY",
                     "TALVORO_LAUNCHER_MARK"):
            env.pop(name, None)
        return env

    def set_local_app_data(self, folder):
        """Makes `folder` the LOCALAPPDATA of the programs started next in
        this prefix (Wine sets the variable from the registry, whatever the
        Unix environment says)."""
        self.run("reg", "add", "HKCU\\Volatile Environment", "/v",
                 "LOCALAPPDATA", "/t", "REG_SZ", "/d", Wine.path(folder),
                 "/f")

    def run(self, program, *args, check=True):
        """Runs a Windows tool to its end through tests/win/wine-run.sh; its
        standard output (its exit code when not `check`)."""
        r = subprocess.run(
            [os.path.join(WIN_DIR, "wine-run.sh"), program] + list(args),
            env=dict(self.env(), TALVORO_WINEPREFIX=self.prefix),
            stdin=subprocess.DEVNULL, capture_output=True, text=True,
            timeout=120)
        if not check:
            return r.returncode
        if r.returncode != 0:
            raise RuntimeError("%s %s: exit code %d\n%s" % (
                program, " ".join(args), r.returncode, r.stderr))
        return r.stdout

    def clone(self, dest, shared_display=False):
        """A copy of this prefix at `dest` with a wineserver of its own and
        an Xvfb of its own (unless `shared_display`)."""
        args = [os.path.join(WIN_DIR, "wine-prefix.sh"), "clone", self.build,
                dest]
        if shared_display:
            args.append(self.display)
        subprocess.run(args, check=True, timeout=300, stdin=subprocess.DEVNULL)
        return Wine(self.build, dest)

    def drop(self):
        """Stops a clone's wineserver (and Xvfb) and deletes it."""
        subprocess.run([os.path.join(WIN_DIR, "wine-prefix.sh"), "drop",
                        self.prefix], check=True, timeout=120,
                       stdin=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Relay:
    """Forwards 127.0.0.1:listen_port to 127.0.0.1:target_port."""

    def __init__(self, listen_port, target_port, cut_after=None):
        self.target_port = target_port
        self.cut_after = cut_after
        self.lock = threading.Lock()
        self.open = 0
        self.most_open = 0
        self.connections = 0
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", listen_port))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.stopped = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopped:
            try:
                client, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.open += 1
                self.connections += 1
                self.most_open = max(self.most_open, self.open)
            threading.Thread(target=self._serve, args=(client,),
                             daemon=True).start()

    def _serve(self, client):
        upstream = socket.create_connection(("127.0.0.1", self.target_port))
        done = threading.Event()
        counted = [True]

        def release():
            # Before the client can see the end of this connection, so that
            # a connection it opens next is not counted as overlapping.
            with self.lock:
                if counted[0]:
                    counted[0] = False
                    self.open -= 1

        def pump(src, dst, limit):
            sent = 0
            try:
                while not done.is_set():
                    data = src.recv(65536)
                    if not data:
                        break
                    if limit is not None and sent + len(data) >= limit:
                        dst.sendall(data[:limit - sent])
                        break
                    dst.sendall(data)
                    sent += len(data)
            except OSError:
                pass
            release()
            done.set()
            for s in (client, upstream):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        up = threading.Thread(target=pump, args=(client, upstream, None))
        up.start()
        pump(upstream, client, self.cut_after)
        up.join(10)
        client.close()
        upstream.close()
        release()

    def stop(self):
        self.stopped = True
        self.sock.close()
        self.thread.join(5)


class Fixture:
    tmp = pki = xvfb = display = None


def setUpModule(display=None, pki=None):
    """Makes the scratch folder and test PKI (unless the folder of a made
    one, `pki`, is given), and starts an Xvfb unless a running `display` is
    given. The Windows mode uses the prefix's PKI (the CA it trusts) and its
    display."""
    Fixture.tmp = tempfile.mkdtemp(prefix="talvoro-e2e-")
    if WINE:
        Fixture.pki = os.path.join(WINE.build, "pki")
        Fixture.display = WINE.display
        return
    Fixture.pki = pki or os.path.join(Fixture.tmp, "pki")
    if not pki:
        subprocess.run([os.path.join(ROOT, "scripts", "make-pki.sh"),
                        Fixture.pki], check=True, stdout=subprocess.DEVNULL)
    if display:
        Fixture.display = display
        return
    r, w = os.pipe()
    Fixture.xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24",
         "-nolisten", "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        Fixture.display = ":" + f.readline().strip()


def tearDownModule():
    if Fixture.xvfb:
        Fixture.xvfb.terminate()
        Fixture.xvfb.wait(10)
    shutil.rmtree(Fixture.tmp, ignore_errors=True)


class Server:
    """A private nginx serving one launcher file, behind the relay."""

    def __init__(self, root, launcher, crc="auto", rate=None, cut_after=None):
        self.dir = os.path.join(root, "nginx")
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        args = [os.path.join(ROOT, "scripts", "nginx-serve.sh"), "start",
                self.dir, str(self.port), launcher,
                os.path.join(Fixture.pki, "localhost.pem"),
                os.path.join(Fixture.pki, "localhost.key")]
        if crc == "auto":
            crc = crc_of(launcher)
        args += ["--no-crc"] if crc is None else ["--crc", str(crc)]
        if rate:
            args += ["--rate", str(rate)]
        subprocess.run(args, check=True)
        self.relay = Relay(PORT, self.port, cut_after)

    def stop(self):
        self.relay.stop()
        subprocess.run([os.path.join(ROOT, "scripts", "nginx-serve.sh"), "stop",
                        self.dir], check=False)


class Run:
    """One run of the program in `folder` (in the Windows mode, under the
    prefix `wine`, by default the build's, with the variables `extra_env`
    added)."""

    def __init__(self, folder, wine=None, extra_env=None):
        self.folder = folder
        self.wine = wine
        # The log goes to a folder of the test's own.
        self.state = os.path.join(folder, "..", "state")
        if WINE:
            (wine or WINE).set_local_app_data(self.state)
            env = dict((wine or WINE).env(),
                       TALVORO_LAUNCHER_MARK=LAUNCHER_MARK,
                       **(extra_env or {}))
            self.start([PROGRAM], env, os.path.join(folder, ".."))
            return
        env = dict(os.environ, DISPLAY=Fixture.display,
                   SSL_CERT_FILE=os.path.join(Fixture.pki, "ca.pem"),
                   XDG_STATE_HOME=self.state)
        env.pop("SSL_CERT_DIR", None)
        env.pop("GDK_GL", None)
        self.start([PROGRAM], env, os.path.join(folder, ".."))

    def log(self):
        """The log of the runs in this test's folder, "" without one."""
        path = (os.path.join(self.state, "Corvadelin", "Logs", "bootstrap.log")
                if WINE else
                os.path.join(self.state, "corvadelin", "bootstrap.log"))
        try:
            return read(path).decode()
        except FileNotFoundError:
            return ""

    def status_texts(self):
        """The status line as the window holds it (Windows: the text of its
        static control) or, under GTK, as the log says it was set."""
        if WINE:
            try:
                out = (self.wine or WINE).run(CLOSE_TOOL, "--text", TITLE,
                                              Wine.path(self.image))
            except RuntimeError:  # no such window (yet)
                return []
            return out.splitlines()
        return re.findall(r" status: (.*)$", self.log(), re.M)

    def start(self, command, env, log_dir, wrapper=()):
        """Starts `command` (under `wrapper`, a command prefix that ends by
        running the rest, before `wine` in the Windows mode)."""
        if WINE:
            # Runs a copy of its own, which the close tool tells apart from
            # the programs of the tests that share the desktop.
            self.wine = getattr(self, "wine", None) or WINE
            copies = os.path.join(os.path.normpath(log_dir), "program")
            os.makedirs(copies, exist_ok=True)
            self.image = os.path.join(copies, os.path.basename(command[0]))
            if not os.path.exists(self.image):
                shutil.copyfile(command[0], self.image)
            command = ["wine", self.image] + command[1:]
        self.out_path = os.path.join(log_dir, "stdout.txt")
        self.err_path = os.path.join(log_dir, "stderr.txt")
        self.out = open(self.out_path, "wb")
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(list(wrapper) + command, cwd=self.folder,
                                     env=env,
                                     stdout=self.out, stderr=self.err)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise

    def close_window(self, timeout=10):
        """Asks the window to close (WM_DELETE_WINDOW; WM_CLOSE on Windows)
        until the program ends; its exit code."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if WINE:
                self.wine.run(CLOSE_TOOL, TITLE, Wine.path(self.image),
                              check=False)
            else:
                subprocess.run([CLOSE_TOOL, TITLE], env=dict(
                    os.environ, DISPLAY=Fixture.display),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                return self.proc.wait(0.5)
            except subprocess.TimeoutExpired:
                pass
        return self.wait(0.1)

    def finish(self):
        """Ends the program if it still runs and closes its output files."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        self.err.close()

    # The output is read through a file description of its own: the
    # program shares the offset of the one it writes through, so moving
    # that one would make its next line overwrite earlier ones.
    def stdout(self):
        return read(self.out_path).decode(errors="replace")

    def stderr(self):
        return read(self.err_path).decode(errors="replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def assert_plain_windows_file(test, path):
    """A file the Windows program put in place is a plain one: not
    read-only (Wine keeps that attribute as the lack of write permission),
    not hidden, not a system file (kept in the user.DOSATTRIB attribute)."""
    test.assertTrue(os.stat(path).st_mode & 0o200, path + " is read-only")
    try:
        attributes = int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0],
                         16)
    except OSError:
        attributes = 0
    test.assertEqual(attributes & 0x7, 0, "%s has attributes %#x"
                     % (path, attributes))


# x, y, width, height of the window: the picture's size, centred on the
# tests' 1920x1080 screen.
# The progress bar's height at most (28 pixels at 96 dpi on Windows, 42 at
# 144): the rows above it must show the picture.
MAX_BAR = 48


def window_geometries(display):
    """(x, y, width, height) on the screen of each mapped X window titled
    TITLE (a window is made, unmapped, before it is placed and shown)."""
    tree = subprocess.run(["xwininfo", "-display", display, "-root", "-tree"],
                          capture_output=True, text=True).stdout
    found = []
    for wid in re.findall(r'^\s*(0x[0-9a-f]+) "%s":' % TITLE, tree, re.M):
        info = subprocess.run(["xwininfo", "-display", display, "-id", wid],
                              capture_output=True, text=True).stdout
        if "Map State: IsViewable" not in info:
            continue
        fields = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):"
                                 r"\s*(-?\d+)", info, re.M))
        found.append(tuple(int(fields[k]) for k in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width",
            "Height")))
    return found


def window_icons(display):
    """The icons the window titled TITLE shows (X's _NET_WM_ICON, which Wine
    fills from the window class's icons): {size: 8-bit RGBA rows}."""
    tree = subprocess.run(["xwininfo", "-display", display, "-root", "-tree"],
                          capture_output=True, text=True).stdout
    found = re.findall(r'^\s*(0x[0-9a-f]+) "%s":' % TITLE, tree, re.M)
    if not found:
        return {}
    text = subprocess.run(["xprop", "-display", display, "-id", found[0],
                           "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"],
                          capture_output=True, text=True).stdout
    values = [int(v) for v in re.findall(r"\d+", text.partition("=")[2])]
    icons = {}
    while len(values) >= 2:
        w, h = values[0], values[1]
        argb = values[2:2 + w * h]
        values = values[2 + w * h:]
        icons[w] = b"".join(bytes([p >> 16 & 255, p >> 8 & 255, p & 255,
                                   p >> 24 & 255]) for p in argb)
    return icons


def splash_pixels(scaled_by=None, width=None, height=None):
    """The picture of assets/splash.png as 8-bit RGBA rows; resized to
    width x height with ImageMagick's filter `scaled_by` when given."""
    resize = (["-filter", scaled_by, "-resize", "%dx%d!" % (width, height)]
              if scaled_by else [])
    return subprocess.run(
        ["convert", os.path.join(ROOT, "assets", "splash.png")] + resize
        + ["-depth", "8", "rgba:-"], check=True, capture_output=True).stdout


def mean_difference(picture, screen, width, rows):
    """The mean difference of a colour channel between `picture` (RGBA) and
    `screen` (RGB) over the opaque pixels of the first `rows` rows."""
    total = count = 0
    for i in range(width * rows):
        if picture[4 * i + 3] == 255:
            for k in range(3):
                total += abs(picture[4 * i + k] - screen[3 * i + k])
            count += 3
    return total / max(count, 1)


def screen_pixels(display, x, y, w, h):
    """The screen's pixels in the rectangle as 8-bit RGB rows (b"" when the
    screen cannot be read)."""
    return subprocess.run(
        ["import", "-display", display, "-window", "root", "-crop",
         "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8", "rgb:-"],
        capture_output=True).stdout


def rows_showing(picture, screen, width):
    """How many rows from the top of `screen` (RGB) show `picture` (RGBA)
    pixel for pixel, over the picture's opaque pixels."""
    height = len(picture) // (4 * width)
    if len(screen) != width * height * 3:
        return 0
    for row in range(height):
        for col in range(width):
            i = row * width + col
            if (picture[4 * i + 3] == 255
                    and picture[4 * i:4 * i + 3] != screen[3 * i:3 * i + 3]):
                return row
    return height


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class EndToEnd(unittest.TestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(dir=Fixture.tmp)
        self.work = os.path.join(self.root, "work")
        os.makedirs(self.work)
        self.launcher = os.path.join(self.root, "TalvoroLauncher.exe")
        self.server = None

        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.finish()
        if self.server:
            self.server.stop()

    def start(self):
        run = Run(self.work)
        self.runs.append(run)
        return run

    def path(self, name):
        return os.path.join(self.work, name)

    def launcher_runs(self):
        try:
            return read(self.path("launcher-ran.txt")).count(b"started")
        except FileNotFoundError:
            return 0

    def assert_installed(self, run):
        self.assertEqual(read(self.path("TalvoroLauncher.exe")),
                         read(self.launcher))
        if WINE:
            assert_plain_windows_file(self, self.path("TalvoroLauncher.exe"))
            started = "started %s mark=%s\n" % (
                hashlib.sha256(read(self.launcher)).hexdigest(), LAUNCHER_MARK)
            started = started.encode()
        else:
            self.assertEqual(os.stat(self.path("TalvoroLauncher.exe")).st_mode
                             & 0o777, 0o755)
            started = b"started GDK_GL=unset\n"
        self.assertTrue(wait_until(lambda: self.launcher_runs() >= 1, 5))
        time.sleep(0.3)
        self.assertEqual(read(self.path("launcher-ran.txt")), started)
        self.assertEqual(read(self.path("TalvoroLauncher.bin")),
                         read(self.launcher))
        self.assertTrue(os.path.exists(self.path("TalvoroLauncher.bin.etag")))
        self.assertFalse(os.path.exists(self.path("TalvoroLauncher.exe.tmp")))
        self.assertIn("下载成功\nSetup executable started successfully\n",
                      run.stdout())

    def test_whole_run(self):
        size = 3 * 1024 * 1024 + 17
        make_launcher(self.launcher, size)
        self.server = Server(self.root, self.launcher)
        run = self.start()
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assert_installed(run)
        etag = read(self.path("TalvoroLauncher.bin.etag")).decode()
        self.assertRegex(etag, r'^"[0-9a-f]+-[0-9a-f]+"$')
        crc = crc_of(self.launcher)
        self.assertEqual(
            run.stdout(),
            f"响应头中的 Content-Length: {size} 字节\n"
            "ETag 不匹配，重新下载文件\n"
            f"新的 ETag: {etag}\n"
            f"CRC64 : {crc}\n"
            "当前文件大小: 0 字节\n"
            "下载完成！\n"
            "下载成功\n"
            "Setup executable started successfully\n")
        self.assertEqual(run.stderr(), "")
        # The HEAD's connection and the GET's, opened together.
        self.assertLessEqual(self.server.relay.most_open, 2)

    def test_closed_half_way_then_resumed(self):
        make_launcher(self.launcher, 6 * 1024 * 1024)
        self.server = Server(self.root, self.launcher, rate=1024 * 1024)
        run = self.start()
        bin_path = self.path("TalvoroLauncher.bin")
        self.assertTrue(wait_until(
            lambda: os.path.exists(bin_path)
            and os.path.getsize(bin_path) > 1024 * 1024, 20))
        self.assertEqual(run.close_window(), 0)
        kept = os.path.getsize(bin_path)
        self.assertGreater(kept, 1024 * 1024)
        self.assertLess(kept, 6 * 1024 * 1024)
        self.assertTrue(os.path.exists(self.path("TalvoroLauncher.bin.etag")))
        self.assertFalse(os.path.exists(self.path("TalvoroLauncher.exe")))
        self.assertEqual(self.launcher_runs(), 0)

        self.server.stop()
        self.server = Server(self.root, self.launcher)
        run = self.start()
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        out = run.stdout()
        etag = read(self.path("TalvoroLauncher.bin.etag")).decode()
        self.assertIn(f"ETag: {etag}\n", out)
        self.assertIn("ETag 匹配，继续下载文件\n", out)
        m = re.search(r"当前文件大小: (\d+) 字节\n", out)
        self.assertIsNotNone(m)
        self.assertGreaterEqual(int(m.group(1)), kept)
        self.assert_installed(run)

    def assert_refused(self, run, crc_text):
        """Two downloads that fail their check (both files deleted each
        time), then retries that see the same file announced and download
        nothing."""
        line = "下载文件CRC检查失败: 远端CRC : %s\n" % crc_text
        self.assertTrue(wait_until(
            lambda: run.stderr().count(REFUSED_AGAIN) >= 2, 30))
        self.assertEqual(run.close_window(), 0)
        self.assertEqual(run.stderr().splitlines()[:2], [line[:-1]] * 2)
        self.assertEqual(run.stderr().count(line), 2)
        self.assertNotIn("删除", run.stderr())
        self.assertEqual(run.stdout().count("当前文件大小: 0 字节\n"), 2)
        self.assertNotIn("下载成功", run.stdout())
        self.assertEqual(os.listdir(self.work), [])
        self.assertEqual(self.launcher_runs(), 0)

    def test_wrong_crc_is_retried_and_never_started(self):
        make_launcher(self.launcher, 256 * 1024)
        self.server = Server(self.root, self.launcher, crc=12345)
        run = self.start()
        self.assert_refused(run, "12345")
        self.assertNotIn("ETag 匹配", run.stdout())
        # The HEAD's connection and the GET's, opened together.
        self.assertLessEqual(self.server.relay.most_open, 2)

    def test_missing_crc_is_never_started(self):
        make_launcher(self.launcher, 64 * 1024)
        self.server = Server(self.root, self.launcher, crc=None)
        run = self.start()
        self.assert_refused(run, "absent")
        self.assertNotIn("CRC64 : ", run.stdout())

    def test_no_server_retries_every_three_seconds(self):
        began = time.monotonic()
        run = self.start()
        self.assertTrue(wait_until(
            lambda: run.stderr().count("下载失败: ") >= 3, 20))
        # Three attempts with two pauses between them: 3 s and 6 s, each
        # shortened by up to a half at random.
        self.assertGreaterEqual(time.monotonic() - began, 4.5)
        self.assertEqual(run.close_window(), 0)
        lines = run.stderr().splitlines()
        self.assertEqual(lines[0], "下载失败: " + REFUSED)
        self.assertEqual(set(lines), {"下载失败: " + REFUSED})
        self.assertFalse(os.path.exists(self.path("TalvoroLauncher.exe")))

    def test_working_folder_with_a_non_ascii_name(self):
        self.work = os.path.join(self.root, "张伟", "Downloads")
        os.makedirs(self.work)
        make_launcher(self.launcher, 512 * 1024)
        self.server = Server(self.root, self.launcher)
        run = self.start()
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assert_installed(run)
        self.assertEqual(run.stderr(), "")

    def test_whole_run_beside_planted_dlls(self):
        """DLLs named like system DLLs, planted beside the program and in
        the working folder (a Downloads folder), are never loaded, with Wine
        told to prefer them to its own as Windows prefers a DLL in the
        program's folder to the system's (tests/win/planted_dll.c)."""
        if not WINE:
            self.skipTest("the Windows loader's search order")
        planted = os.path.join(BUILD, "planted-dlls")
        names = sorted(n for n in os.listdir(planted) if n.endswith(".dll"))
        marks = os.path.join(self.root, "marks")
        program = os.path.join(self.root, "program")
        for folder in (marks, program):
            os.makedirs(folder)
        for folder in (program, self.work):
            for name in names:
                shutil.copy(os.path.join(planted, name), folder)
        # Wine 8 has no known DLLs (user32 is one on Windows): its user32
        # imports version.dll, which is therefore loaded, searched for in
        # the program's folder first, before the program's first
        # instruction. Under Wine version.dll alone stays builtin-first
        # (still planted). uxtheme.dll, which comctl32's start loads by
        # name, is native-first: the program must have taken the system's
        # before it starts comctl32.
        native_first = [n[:-len(".dll")] for n in names
                        if n != "version.dll"]
        env = {"TALVORO_PLANTED_MARKS": Wine.path(marks),
               "WINEDLLOVERRIDES": "mscoree,mshtml=;%s=n,b"
               % ",".join(native_first)}
        make_launcher(self.launcher, 256 * 1024)
        self.server = Server(self.root, self.launcher)
        run = Run(self.work, extra_env=env)
        self.runs.append(run)
        try:
            code = run.wait(RUN_LIMIT)
        except subprocess.TimeoutExpired:
            code = "still running after %d s" % RUN_LIMIT
        # The publisher's tool, started the same way.
        shutil.copy(CRC_TOOL, program)
        subprocess.run(["wine", os.path.join(program, os.path.basename(
            CRC_TOOL)), "TalvoroLauncher.bin"], cwd=self.work,
            env=dict(WINE.env(), **env), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        loaded = {n: read(os.path.join(marks, n)).decode(errors="replace")
                  for n in os.listdir(marks)}
        self.assertEqual(loaded, {}, "planted DLLs that were loaded, with the "
                         "programs that loaded them")
        self.assertEqual(code, 0)
        self.assert_installed(run)

    def test_system_dll_that_cannot_be_loaded_is_named(self):
        """A system DLL that cannot be loaded (disabled in Wine) is an error
        that names it: a download failure, retried, for the TLS and proxy
        DLLs; a start-up failure for DXGI. Never a crash."""
        if not WINE:
            self.skipTest("Windows DLLs")
        make_launcher(self.launcher, 64 * 1024)
        self.server = Server(self.root, self.launcher)
        for dll in ("secur32", "crypt32", "winhttp", "dxgi"):
            run = Run(self.work, extra_env={
                "WINEDLLOVERRIDES": "mscoree,mshtml=;%s=" % dll})
            self.runs.append(run)
            line = "cannot load %s.dll from the system folder: " % dll
            if dll == "dxgi":
                self.assertNotEqual(run.wait(30), 0)
                self.assertIn("`Err` value: " + line, run.stderr())
                break
            # Two attempts and the pause between them; a Wine start on a
            # busy machine takes its share.
            self.assertTrue(wait_until(lambda: run.stderr().count(
                "下载失败: " + line) >= 2, 60), run.stderr())
            self.assertEqual(run.close_window(), 0)
        self.assertEqual(self.launcher_runs(), 0)

    def test_window_centred_with_the_picture(self):
        self.check_window_on_screen()

    def test_window_centred_and_enlarged_at_144_dpi(self):
        if not WINE:
            self.skipTest("LogPixels is a Windows setting")
        self.check_window_on_screen(dpi=144)

    def test_window_centred_and_enlarged_at_192_dpi(self):
        if not WINE:
            self.skipTest("LogPixels is a Windows setting")
        self.check_window_on_screen(dpi=192)

    def test_dead_network_shows_why_on_the_window(self):
        """With no server the window is not the window of a download under
        way: during each pause a line over the lower part of the picture
        names the cause and counts down, read back from the window's static
        control (Windows) or from the log the label's text goes to (GTK)."""
        display, wine = Fixture.display, None
        if WINE:
            wine = WINE.clone(os.path.join(self.root, "prefix"))
            self.addCleanup(wine.drop)
            display = wine.display
        width, height = 300, 169
        window = ((1920 - width) // 2, (1080 - height) // 2, width, height)
        run = Run(self.work, wine)
        self.runs.append(run)
        self.assertTrue(wait_until(lambda: window_geometries(display), 30),
                        "no window titled %s" % TITLE)
        picture = splash_pixels()
        rows = [height]

        def covered():
            shot = screen_pixels(display, *window)
            rows[0] = rows_showing(picture, shot, width)
            # Fewer rows show the picture than above the bar alone: the
            # bar is 28 rows under Wine, at most 13 under GTK, and the band
            # at least 14.
            return 0 < rows[0] < height - (28 + 7 if WINE else 13)
        self.assertTrue(wait_until(covered, 20),
                        "%d rows show the picture" % rows[0])
        said = re.compile(r"^(Can't reach the download server\. Retrying in "
                          r"\d+ s\.|无法连接到下载服务器，\d+ 秒后重试)$")
        texts = [[]]

        def named():
            texts[0] = run.status_texts()
            return any(said.match(t) for t in texts[0])
        self.assertTrue(wait_until(named, 20), "status texts %r" % texts[0])
        self.assertEqual(run.close_window(), 0)
        log = run.log()
        for line in ("start: Corvadelin bootstrap ", "下载失败: "):
            self.assertIn(" " + line, log)
        # The first pause lies between half and all of 3 s.
        self.assertRegex(log, r" pause: (1[5-9]\d\d|2\d\d\d|3000) ms before "
                              r"the next attempt")

    def check_window_on_screen(self, dpi=96):
        """While a download goes on (slowly) the program's window is the
        picture's size times the display's scale (300x169 at 96 dpi) at the
        centre of the 1920x1080 screen, the rows above the
        bar show the picture (pixel for pixel unscaled; on a scaled display
        smoothly enlarged, closer to a bilinear enlargement than to repeated
        pixels), and a close request ends the program with exit code 0. In
        the Windows mode the run gets a copy of the prefix with a screen of
        its own (the other tests' windows share the prefix's screen, at the
        same place), with `dpi` as its LogPixels setting."""
        display, wine = Fixture.display, None
        if WINE:
            wine = WINE.clone(os.path.join(self.root, "prefix"))
            self.addCleanup(wine.drop)
            display = wine.display
            if dpi != 96:
                wine.run("reg", "add", "HKCU\\Control Panel\\Desktop", "/v",
                         "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
        scale = dpi / 96
        width, height = (300 * dpi + 48) // 96, (169 * dpi + 48) // 96
        window = ((1920 - width) // 2, (1080 - height) // 2, width, height)
        # Far more than the test lasts at this rate: nothing fails, so
        # nothing is written over the picture.
        make_launcher(self.launcher, 8 * 1024 * 1024)
        self.server = Server(self.root, self.launcher, rate=65536)
        run = Run(self.work, wine)
        self.runs.append(run)
        self.assertTrue(wait_until(lambda: window_geometries(display), 30),
                        "no window titled %s" % TITLE)
        self.assertEqual(window_geometries(display), [window])
        if WINE and scale == 1:
            # The product's icon, as assets/talvoro.ico holds it at 32 px
            # (its third entry: 256, 48, 32, 24, 16).
            icon = subprocess.run(
                ["convert", os.path.join(ROOT, "assets", "talvoro.ico[2]"),
                 "-depth", "8", "rgba:-"], check=True,
                capture_output=True).stdout
            shown = window_icons(display).get(32, b"")
            self.assertEqual(len(shown), len(icon), "no 32-pixel icon")
            self.assertLess(max(abs(a - b) for a, b in zip(shown, icon)), 8)
        if scale == 1:
            picture = splash_pixels()
            rows = [0]

            def shows_picture():
                shot = screen_pixels(display, *window)
                rows[0] = rows_showing(picture, shot, width)
                return height - MAX_BAR <= rows[0] < height
            self.assertTrue(wait_until(shows_picture, 15),
                            "%d of %d rows show the picture above a bar"
                            % (rows[0], height))
            # The transparent rounded corner shows the scene's colour next
            # to it, not the window's background.
            shot = screen_pixels(display, *window)
            first = next(i for i in range(width) if picture[4 * i + 3] == 255)
            self.assertEqual(shot[0:3], picture[4 * first:4 * first + 3])
        else:
            # Rows surely above the bar, whose height scales too.
            rows = height - int(MAX_BAR * scale)
            smooth = splash_pixels("Triangle", width, height)
            repeated = splash_pixels("Point", width, height)
            found = [None, None]

            def shows_enlarged_picture():
                shot = screen_pixels(display, *window)
                if len(shot) != width * height * 3:
                    return False
                found[:] = [mean_difference(smooth, shot, width, rows),
                            mean_difference(repeated, shot, width, rows)]
                return found[0] < 3 and found[1] > 1.5 * found[0]
            self.assertTrue(wait_until(shows_enlarged_picture, 15),
                            "mean difference to a smooth enlargement %s, "
                            "to repeated pixels %s" % tuple(found))
        self.assertEqual(run.close_window(), 0)
        self.assertNotIn("下载成功", run.stdout())

    def test_link_cut_every_megabyte_arrives_in_one_run(self):
        make_launcher(self.launcher, 3 * 1024 * 1024 + 5)
        self.server = Server(self.root, self.launcher,
                             cut_after=1024 * 1024)
        run = self.start()
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assert_installed(run)
        err = run.stderr()
        self.assertGreaterEqual(
            err.count("下载失败: connection closed before the whole file "
                      "arrived\n"), 2)
        self.assertNotIn("CRC检查失败", err)
        self.assertGreaterEqual(run.stdout().count("ETag 匹配，继续下载文件\n"), 2)
        # The HEAD's connection and the GET's, opened together.
        self.assertLessEqual(self.server.relay.most_open, 2)


def use_windows(build):
    """Switches the module to the Windows programs of `build` under its Wine
    prefix (which must be up)."""
    global WINE, PROGRAM, CLOSE_TOOL, CRC_TOOL, LAUNCHER_EXE, REFUSED
    WINE = Wine(build, os.path.join(build, "wine-prefix"))
    PROGRAM = os.path.join(build, "talvoro-bootstrap-loopback.exe")
    CLOSE_TOOL = os.path.join(build, "talvoro-win-close-window.exe")
    CRC_TOOL = os.path.join(build, "talvoro-crc64.exe")
    LAUNCHER_EXE = os.path.join(build, "talvoro-win-test-launcher.exe")
    REFUSED = WINDOWS_REFUSED


if __name__ == "__main__":
    args = sys.argv[1:]
    windows = bool(args) and args[0] == "--windows"
    if windows:
        args = args[1:]
    BUILD, PORT = os.path.abspath(args[0]), int(args[1])
    if windows:
        use_windows(BUILD)
    else:
        PROGRAM = os.path.join(BUILD, "talvoro-bootstrap-loopback")
        CLOSE_TOOL = os.path.join(BUILD, "x11_close_window")
        CRC_TOOL = os.path.join(BUILD, "talvoro-crc64")
    unittest.main(argv=[sys.argv[0]] + args[2:])
