"""Starts the local HTTPMail service for a test and drives its control interface.

Import from any tests/<area>/ script:

    import os, sys
    sys.path.insert(0, os.path.join(os.environ["KESTRELON_SOURCE"], "tests", "support"))
    from httpmail_fixture import HTTPMailFixture

    with HTTPMailFixture(mailbox={"demo@hotmail.com": {"password": "demo",
                                  "folders": [{"name": "inbox", "messages": [b"..."]}]}}) as svc:
        settings.serviceHost = svc.service_host        # "127.0.0.1:PORT"
        svc.set_next_status("PROPFIND", 500)
        ...
        assert svc.message_ids("demo@hotmail.com", "deleteditems") == ["MSG0001"]
        posts = svc.requests("POST")                   # bodies are bytes

Without mailbox= or source= the service runs on a copy of tools/sample_mailbox.
The service runs in a subprocess on a free port of 127.0.0.1 with a
temporary copy of the mailbox, removed at stop() unless keep=True.
"""

import json
import os
import secrets
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SOURCE = os.environ.get("KESTRELON_SOURCE") or \
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(SOURCE, "tools")
SERVICE_SCRIPT = os.path.join(TOOLS, "httpmail_service.py")
SAMPLE_MAILBOX = os.path.join(TOOLS, "sample_mailbox")

if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)

from httpmail.mailboxbuilder import MailboxBuilder  # noqa: E402
from processes import terminate  # noqa: E402

START_TIMEOUT = 10.0
CONTROL_SECRET_VARIABLE = "HTTPMAIL_CONTROL_SECRET"


class HTTPMailFixture:
    def __init__(self, mailbox=None, source=None, namespace=None, auth=None, encoding=None,
                 realm=None, verbose=False, keep=False, max_upload=None, control=True, tls=None,
                 entry_path=None, delay_ms=None, port=0):
        self.description = mailbox
        self.source = source if source is not None or mailbox is not None else SAMPLE_MAILBOX
        self.options = []
        for flag, value in (("--namespace", namespace), ("--auth", auth),
                            ("--encoding", encoding), ("--realm", realm),
                            ("--max-upload", None if max_upload is None else str(max_upload)),
                            ("--entry-path", entry_path),
                            ("--delay-ms", None if delay_ms is None else str(delay_ms))):
            if value is not None:
                self.options += [flag, value]
        if verbose:
            self.options.append("--verbose")
        # tls: (cert.pem, key.pem); the service then speaks https only.
        self.scheme = "https" if tls else "http"
        if tls:
            self.options += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        self.keep = keep
        self.entry_path = entry_path
        # Only this fixture knows the secret of the control interface; the
        # service gets it in its environment, which other programs cannot read.
        self.control_secret = secrets.token_hex(16) if control else None
        self.workdir = None
        self.root = None
        self.wanted_port = port  # 0: a free one
        self.port = None
        self.process = None
        self.layout = None  # {account: {folder: [ids]}} when built from a description
        # The control interface is the test's own: its certificate is not checked.
        self._opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({}), urllib.request.HTTPSHandler(context=ssl._create_unverified_context()))

    # Life cycle ----------------------------------------------------------

    def start(self):
        self.workdir = tempfile.mkdtemp(prefix="httpmail-")
        self.root = os.path.join(self.workdir, "mailbox")
        if self.description is not None:
            self.layout = MailboxBuilder.write(self.root, self.description)
        else:
            MailboxBuilder.copy(self.source, self.root)
        return self.launch(str(self.wanted_port))

    def restart(self):
        """A new service process on the same mailbox and port: nothing it issued before is known."""
        terminate(self.process, 5)
        return self.launch(str(self.port))

    def launch(self, port):
        port_file = os.path.join(self.workdir, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.output_path = os.path.join(self.workdir, "service.log")
        environment = dict(os.environ)
        environment.pop(CONTROL_SECRET_VARIABLE, None)
        if self.control_secret:
            environment[CONTROL_SECRET_VARIABLE] = self.control_secret
        with open(self.output_path, "ab") as output:
            self.process = subprocess.Popen(
                [sys.executable, SERVICE_SCRIPT, "--root", self.root, "--port", port,
                 "--port-file", port_file] + self.options,
                stdout=output, stderr=subprocess.STDOUT, env=environment)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("HTTPMail service exited: %s" % self.output())
            if os.path.exists(port_file):
                with open(port_file) as handle:
                    self.port = int(handle.read().strip())
                if self.control_secret:
                    self._control("GET", "ping")
                return self
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("HTTPMail service did not start within %.0f s" % START_TIMEOUT)

    def stop(self):
        if self.process is not None:
            terminate(self.process, 5)
        self.process = None
        if self.workdir and not self.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def output(self):
        """What the service printed (its log with verbose=True)."""
        try:
            with open(self.output_path, "r", errors="replace") as handle:
                return handle.read()
        except (OSError, AttributeError):
            return ""

    # Addresses -----------------------------------------------------------

    host = "127.0.0.1"

    @property
    def service_host(self):
        """Host and port, the value for the ServiceHost setting."""
        return "%s:%d" % (self.host, self.port)

    @property
    def url(self):
        return "%s://%s" % (self.scheme, self.service_host)

    @property
    def entry_url(self):
        return self.url + (self.entry_path or "/svcs/hotmail/httpmail.asp")

    def folder_root_url(self, account):
        return "%s/hmdata/%s/" % (self.url, account)

    def send_url(self, account):
        return "%s/hmsend/%s" % (self.url, account)

    # Control -------------------------------------------------------------

    def _control(self, method, name, value=None, query=""):
        data = None if value is None else json.dumps(value).encode("utf-8")
        request = urllib.request.Request("%s/_control/%s%s" % (self.url, name, query),
                                         data=data, method=method)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        request.add_header("X-Control-Secret", self.control_secret or "")
        try:
            with self._opener.open(request, timeout=10) as reply:
                text = reply.read()
        except urllib.error.HTTPError as error:
            raise RuntimeError("control %s %s: %s" % (method, name, error.read().decode("utf-8", "replace")))
        return json.loads(text) if text else None

    def add_fault(self, **rule):
        """Adds a fault rule (see tools/README.md); returns its id."""
        return self._control("POST", "faults", rule)["ids"][0]

    def set_next_status(self, method, status, times=1, path=None, **more):
        rule = dict(method=method, status=status, times=times, **more)
        if path is not None:
            rule["path"] = path
        return self.add_fault(**rule)

    def set_delay(self, method, seconds, times=1, path=None):
        rule = dict(method=method, delay=seconds, times=times)
        if path is not None:
            rule["path"] = path
        return self.add_fault(**rule)

    def faults(self):
        return self._control("GET", "faults")["faults"]

    def clear_faults(self):
        self._control("DELETE", "faults")

    def requests(self, method=None):
        """Recorded requests, oldest first; "body" is bytes, "headers" [name, value] pairs."""
        query = "?method=%s" % method if method else ""
        entries = self._control("GET", "requests", query=query)["requests"]
        for entry in entries:
            entry["body"] = entry["body"].encode("latin-1")
        return entries

    def clear_requests(self):
        self._control("DELETE", "requests")

    def reset(self):
        self._control("POST", "reset")

    # Mailbox on disk -----------------------------------------------------

    def folder_path(self, account, folder):
        """Directory of a folder, by its directory name ("inbox", "Work")."""
        return os.path.join(self.root, account, folder)

    def message_ids(self, account, folder):
        path = self.folder_path(account, folder)
        if not os.path.isdir(path):
            return []
        return sorted(name[:-4] for name in os.listdir(path) if name.endswith(".eml"))

    def message_bytes(self, account, folder, msg_id):
        with open(os.path.join(self.folder_path(account, folder), msg_id + ".eml"), "rb") as handle:
            return handle.read()

    def folder_meta(self, account, folder):
        try:
            with open(os.path.join(self.folder_path(account, folder), "folder.json"), encoding="utf-8") as handle:
                return json.load(handle)
        except FileNotFoundError:
            return {}

    def is_read(self, account, folder, msg_id):
        return bool(self.folder_meta(account, folder).get("messages", {}).get(msg_id, {}).get("read", False))
