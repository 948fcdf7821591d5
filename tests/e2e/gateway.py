"""Runs the stand-in host `kestrelon` with the plug-in for an end-to-end test.

    with HTTPMailFixture(mailbox=...) as service, Gateway(service, DeleteMode=2) as gateway:
        pop = RawPOP(gateway.pop_port)
        pop.expect_line(b"+OK POP3 to HTTP proxy server ready\\r\\n")

The gateway gets a data folder of its own whose PlugIns/Kestrelon.ini names
free local ports, the service's address and Log=1; any other INI key of the
"Property" section can be given as a keyword.

With KESTRELON_WINE_BUILD naming a Windows build folder (x86_64, see
cmake/mingw-w64-x86_64.cmake), the gateway is that build's kestrelon.exe
run under wine64, so the same tests check the plug-in on Windows Sockets.
"""

import atexit
import os
import socket
import subprocess
import sys
import tempfile
import shutil
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SOURCE = os.environ.get("KESTRELON_SOURCE") or \
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("KESTRELON_BUILD") or os.path.join(SOURCE, "build")
WINE_BUILD = os.environ.get("KESTRELON_WINE_BUILD")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))

from httpmail_fixture import HTTPMailFixture  # noqa: E402,F401
from processes import free_ports, terminate  # noqa: E402

# Generous: the wait ends as soon as the servers listen, and a loaded
# machine running the sanitizer build needs the margin.
START_TIMEOUT = 30.0
REPLY_TIMEOUT = 10.0


_wineserver_env = None


def keep_wineserver(env):
    """Keeps one wineserver for the prefix until the run ends. The server a
    program starts (wineserver -p0) shuts the prefix down as soon as the last
    program exits: a host started while explorer quits cannot create its
    window, and one started later in that shutdown is killed with the rest."""
    global _wineserver_env
    if _wineserver_env is not None:
        return
    os.makedirs(env["WINEPREFIX"], exist_ok=True)
    # A server left by an earlier run would keep its own lifetime.
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env)
    # Detached, it must not hold the runner's output open.
    subprocess.run([WINESERVER, "-p"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _wineserver_env = env
    atexit.register(stop_wineserver)


def stop_wineserver():
    subprocess.run([WINESERVER, "-k"], env=_wineserver_env)
    subprocess.run([WINESERVER, "-w"], env=_wineserver_env)


def needs(*programs):
    """Skips a test whose client programs are not installed."""
    import unittest
    missing = [p for p in programs if not shutil.which(p)]
    return unittest.skipIf(missing, "not installed: %s" % " ".join(missing))


def run_on_terminal(command, env, cwd, answers, timeout=60):
    """Runs an interactive client on a pseudo-terminal; for each (prompt,
    keys) of `answers`, types the keys once the prompt has shown. Returns
    (exit code, what it showed); a client silent for `timeout` is killed."""
    import pty
    import select
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(cwd)
        os.execvpe(command[0], command, env)
    shown, typed, ended = b"", set(), False
    try:
        while select.select([fd], [], [], timeout)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the terminal closes when the client ends
                chunk = b""
            if not chunk:
                ended = True
                break
            shown += chunk
            for prompt, keys in answers:
                if prompt not in typed and prompt in shown:
                    os.write(fd, keys)
                    typed.add(prompt)
    finally:
        if not ended:
            os.kill(pid, 9)
        _, status = os.waitpid(pid, 0)
        os.close(fd)
    return (os.waitstatus_to_exitcode(status) if ended else None), shown


def free_port():
    return free_ports(1)[0]


class Gateway:
    def __init__(self, service, **properties):
        self.service = service
        self.properties = properties
        self.workdir = None
        self.process = None
        self.pop_port = None
        self.smtp_port = None
        self.imap_port = None

    def start(self):
        self.workdir = tempfile.mkdtemp(prefix="kestrelon-e2e-")
        plugins = os.path.join(self.workdir, "PlugIns")
        os.makedirs(plugins)
        # A port free a moment ago may be taken by another program before
        # kestrelon binds it; kestrelon then says so and stops, and the
        # start is tried again on other ports.
        for attempt in range(3):
            self.pop_port, self.smtp_port, self.imap_port = free_ports(3)
            keys = {"POPPortNumber": self.pop_port, "SMTPPortNumber": self.smtp_port,
                    "IMAPPortNumber": self.imap_port, "ServiceHost": self.service.service_host, "Log": 1}
            keys.update(self.properties)  # a test's own values win
            lines = ["[Property]"] + ["%s=%s" % (key, value) for key, value in keys.items()]
            with open(os.path.join(plugins, "Kestrelon.ini"), "w") as ini:
                ini.write("\n".join(lines) + "\n")
            try:
                return self.launch()
            except RuntimeError as error:
                if attempt == 2 or "could not listen" not in str(error):
                    raise
                self.forget_log()

    def restart(self):
        """Stops kestrelon and starts it again on the same data folder."""
        terminate(self.process, 10)
        self.process = None
        self.forget_log()
        return self.launch()

    def forget_log(self):
        """The next start writes a new log; the old one must not answer for it."""
        try:
            os.remove(os.path.join(self.workdir, "PlugIns", "Kestrelon.log"))
        except OSError:
            pass

    def launch(self):
        self.output_path = os.path.join(self.workdir, "kestrelon.out")
        if WINE_BUILD:
            keep_wineserver(self.environment())
        with open(self.output_path, "ab") as output:
            self.process = subprocess.Popen(self.command(), stdout=output, stderr=subprocess.STDOUT,
                                            env=self.environment())
        timeout = START_TIMEOUT * (4 if WINE_BUILD else 1)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("kestrelon exited: %s" % self.output())
            if self.listening():
                return self
            time.sleep(0.05)
        seen = "output:\n%s\nlog:\n%s" % (self.output(), self.log())
        self.stop()
        raise RuntimeError("kestrelon did not listen within %.0f s; %s" % (timeout, seen))

    def command(self):
        if not WINE_BUILD:
            return [os.path.join(BUILD, "kestrelon"), "--data-dir", self.workdir]
        return [WINE, os.path.join(WINE_BUILD, "kestrelon.exe"), "--data-dir", "Z:" + self.workdir.replace("/", "\\")]

    def environment(self):
        env = dict(os.environ)
        if WINE_BUILD:
            env.setdefault("WINEPREFIX", os.path.join(WINE_BUILD, "wineprefix"))
            env.setdefault("WINEDEBUG", "-all")
            env.pop("DISPLAY", None)  # message boxes return at once
        return env

    def listening(self):
        if str(self.properties.get("Log", 1)) != "0":
            log = self.log()
            imap_off = str(self.properties.get("IMAPPortNumber", "")) == "0"
            return "[POP の待機を開始しました]" in log and "[SMTP の待機を開始しました]" in log and \
                (imap_off or "[IMAP の待機を開始しました]" in log)
        try:  # without a log, a greeting tells that the server is up
            with socket.create_connection(("127.0.0.1", self.pop_port), timeout=1) as probe:
                return probe.recv(64).startswith(b"+OK")
        except OSError:
            return False

    def stop(self):
        """Stops kestrelon with SIGTERM; returns its exit status."""
        status = None
        if self.process is not None:
            status = terminate(self.process, 10)
            self.exit_output = self.output()
        self.process = None
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None
        return status

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, *exc):
        status = self.stop()
        # A clean stop exits 0; anything else (a crash, a sanitizer's
        # report) fails the test that ran it.
        if exc_type is None and status not in (0, None) and not WINE_BUILD:
            raise AssertionError("kestrelon exited with %s:\n%s" % (status, self.exit_output))

    def running(self):
        return self.process is not None and self.process.poll() is None

    def output(self):
        try:
            with open(self.output_path, "r", errors="replace") as handle:
                return handle.read()
        except (OSError, AttributeError):
            return ""

    def log(self):
        """The plug-in's log, decoded from code page 932."""
        try:
            with open(os.path.join(self.workdir, "PlugIns", "Kestrelon.log"), "rb") as handle:
                return handle.read().decode("cp932", "replace")
        except OSError:
            return ""


class CredentialTrap:
    """Another port of 127.0.0.1 that asks every request for Basic
    credentials; `requests` keeps (method, path, Authorization or None)."""

    def __init__(self):
        trap = self
        self.requests = []

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def asked(self):
                length = int(self.headers.get("Content-Length") or 0)
                self.rfile.read(length)
                auth = self.headers.get("Authorization")
                trap.requests.append((self.command, self.path, auth))
                body = b"Subject: trapped\r\n\r\nfrom the trap\r\n"
                self.send_response(401 if auth is None else 200)
                if auth is None:
                    self.send_header("WWW-Authenticate", 'Basic realm="trap"')
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_PROPFIND = do_PROPPATCH = do_MOVE = do_DELETE = asked

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class RawClient:
    """A line client that shows every byte the server sends."""

    def __init__(self, port, timeout=REPLY_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data)

    def read_until(self, terminator):
        while terminator not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed; received %r" % self.pending)
            self.pending += chunk
        end = self.pending.index(terminator) + len(terminator)
        data, self.pending = self.pending[:end], self.pending[end:]
        return data

    def line(self):
        return self.read_until(b"\r\n")

    def ask(self, command):
        self.send(command + b"\r\n")
        return self.line()

    def closed(self):
        """True once the server has closed the connection (after any data)."""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.pending += chunk
        except (ConnectionResetError, socket.timeout):
            return False


class RawPOP(RawClient):
    """A POP3 client that shows every byte the server sends."""

    def multi(self):
        """A whole multi-line reply, status line to the final ".\r\n"."""
        reply = self.line()
        if not reply.startswith(b"+OK"):
            return reply
        # Read in large pieces and look for the end only in what is new: a
        # reply of many megabytes must not be joined line by line.
        if self.pending.startswith(b".\r\n"):
            self.pending = self.pending[3:]
            return reply + b".\r\n"
        body = bytearray(self.pending)
        start = 0
        while True:
            end = body.find(b"\r\n.\r\n", start)
            if end >= 0:
                end += 5
                self.pending = bytes(body[end:])
                return reply + bytes(body[:end])
            start = max(0, len(body) - 4)
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("connection closed; received %d bytes" % len(body))
            body += chunk

    def ask_multi(self, command):
        self.send(command + b"\r\n")
        return self.multi()

    def login(self, user, password):
        greeting = self.line()
        assert greeting == b"+OK POP3 to HTTP proxy server ready\r\n", greeting
        assert self.ask(b"USER " + user) == b"+OK\r\n"
        return self.ask(b"PASS " + password)


def memory(process, key="VmHWM"):
    """The peak (VmHWM) or present (VmRSS) resident size of a process in
    bytes, None where unknown."""
    try:
        with open("/proc/%d/status" % process.pid) as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def sanitized():
    """Whether this build runs under a sanitizer, which holds freed memory back."""
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
            return "KESTRELON_SANITIZE:BOOL=ON" in cache.read()
    except OSError:
        return False
