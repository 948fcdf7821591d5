"""HTTP/1.1 request handler: framing, authentication, faults, request log."""

import hmac
import re
import socket
import sys
import time
import traceback
from http.server import BaseHTTPRequestHandler

from .reply import Reply
from .urllayout import UrlLayout

# The largest request body taken unless the service is told otherwise.
DEFAULT_MAX_UPLOAD = 32 * 1024 * 1024
NO_BODY_STATUSES = (204, 304)
# A Content-Length or chunk size as HTTP writes it; int() takes more forms.
DECIMAL = re.compile(rb"[0-9]{1,20}")
HEXADECIMAL = re.compile(rb"[0-9A-Fa-f]{1,16}")


class BadRequest(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


class HTTPMailHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in separate writes; without this, Nagle's
    # algorithm and the client's delayed ACK hold every body back ~40 ms.
    disable_nagle_algorithm = True
    server_version = "HTTPMailService/1.0"
    sys_version = ""

    def version_string(self):
        return self.server_version
    timeout = 60  # idle keep-alive connections are closed after this

    def do_PROPFIND(self):
        self._serve()

    do_PROPPATCH = do_GET = do_HEAD = do_MOVE = do_POST = do_DELETE = do_OPTIONS = do_PROPFIND
    do_PUT = do_COPY = do_MKCOL = do_LOCK = do_UNLOCK = do_PATCH = do_PROPFIND

    def log_message(self, format, *args):
        if self.server.service.verbose:
            sys.stderr.write("%s %s\n" % (self.log_date_time_string(), format % args))

    # Request -------------------------------------------------------------

    def _read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        length = length.strip().encode("latin-1", "replace")
        if not DECIMAL.fullmatch(length):
            raise BadRequest(400, "bad Content-Length")
        length = int(length)
        if length > self.server.service.max_upload:
            raise BadRequest(413, "request body too large")
        body = self.rfile.read(length)
        if len(body) != length:
            raise BadRequest(400, "request body ended early")
        return body

    def _read_chunked(self):
        parts, total = [], 0
        while True:
            line = self.rfile.readline(1024)
            size = line.split(b";")[0].strip()
            if not HEXADECIMAL.fullmatch(size):
                raise BadRequest(400, "bad chunk size")
            size = int(size, 16)
            total += size
            if total > self.server.service.max_upload:
                raise BadRequest(413, "request body too large")
            if size == 0:
                while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                    pass
                return b"".join(parts)
            parts.append(self.rfile.read(size))
            self.rfile.readline(1024)

    # Dispatch ------------------------------------------------------------

    def _serve(self):
        service = self.server.service
        method = self.command
        path = UrlLayout.request_path(self.path)
        query = self.path.split("?", 1)[1] if "?" in self.path else ""
        try:
            body = self._read_body()
        except BadRequest as error:
            reply = Reply.text(error.status, str(error))
            reply.close = True
            self._send(reply)
            return
        target = service.layout.parse(path)
        if target is not None and target.kind == "control" and service.control_secret:
            self._send(self._control(method, target.rest, query, body))
            return
        if service.delay:  # the time a request takes to reach a remote service and back
            time.sleep(service.delay)
        entry = {"method": method, "target": self.path, "path": path,
                 "version": self.request_version,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body": body, "account": None, "fault": None, "status": None}
        auth = service.authenticator.check(method, self.path, self.headers.get("Authorization"))
        if not auth.ok:
            reply = self._challenge(auth.stale)
        else:
            entry["account"] = auth.account
            reply = self._answer(method, target, auth.account, body, entry)
        if reply is None:  # close without an answer
            service.log.add(entry)
            self.close_connection = True
            return
        entry["status"] = reply.status
        service.log.add(entry)
        self._send(reply)

    def _control(self, method, rest, query, body):
        given = self.headers.get("X-Control-Secret", "").encode("latin-1", "replace")
        if not hmac.compare_digest(given, self.server.service.control_secret.encode("utf-8")):
            return Reply.text(403, "the control interface needs its secret")
        return self.server.service.control.answer(method, rest, query, body)

    def _challenge(self, stale):
        service = self.server.service
        reply = Reply(401, b"<html><body><h1>401 Unauthorized</h1></body></html>\r\n", "text/html")
        for value in service.authenticator.challenges(stale):
            reply.headers.append(("WWW-Authenticate", value))
        return reply

    def _answer(self, method, target, account, body, entry):
        service = self.server.service
        fault = service.faults.take(method, entry["path"])
        if fault:
            entry["fault"] = fault["id"]
            if fault.get("close"):
                return None
            if fault.get("delay"):
                time.sleep(float(fault["delay"]))
            if "status" in fault:
                return self._injected(fault)
        if target is None or target.kind == "control":  # the control interface is off
            reply = Reply.text(404, "no such resource")
        else:
            try:
                reply = service.protocol.answer(method, target, account, self.headers, body, fault)
            except Exception:  # a broken store answers 500, the service goes on
                traceback.print_exc()
                reply = Reply.text(500, "internal error")
        if fault:
            self._apply_fault(reply, fault)
        return reply

    def _injected(self, fault):
        status = fault["status"]
        if status == 401:
            reply = self._challenge(False)
        elif status in NO_BODY_STATUSES or status < 200:
            reply = Reply(status)
        else:
            reply = Reply.text(status, "status %d set by a test" % status)
        self._apply_fault(reply, fault)
        return reply

    @staticmethod
    def _apply_fault(reply, fault):
        mode = fault.get("body")
        if fault.get("raw_body") is not None:
            reply.body = fault["raw_body"].encode("latin-1")
            reply.headers = [(k, v) for k, v in reply.headers if k.lower() != "content-type"]
            reply.headers.insert(0, ("Content-Type", "text/xml"))
        elif mode == "malformed":
            reply.body = reply.body[:len(reply.body) // 2]
        elif mode == "empty":
            reply.body = b""
        elif mode == "garbage":
            reply.body = b"this is not XML\r\n"
        elif mode == "truncated":
            reply.truncate = True
        for name, value in (fault.get("headers") or {}).items():
            reply.headers = [(k, v) for k, v in reply.headers if k.lower() != name.lower()]
            reply.headers.append((name, str(value)))
        if fault.get("chunked"):
            reply.chunked = True
            if fault["chunked"] is not True:
                reply.chunk_size = int(fault["chunked"])
        reply.close_delimited = bool(fault.get("close_delimited"))
        reply.trickle = float(fault.get("trickle", 0))
        reply.trickle_headers = float(fault.get("trickle_headers", 0))
        reply.extra = int(fault.get("extra", 0))

    # Answer --------------------------------------------------------------

    def _send(self, reply):
        self.send_response(reply.status)
        for name, value in reply.headers:
            self.send_header(name, value)
        body = reply.body
        size = len(body) + reply.extra
        if reply.status in NO_BODY_STATUSES or reply.status < 200:
            body, size = b"", 0
        elif reply.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif not reply.close_delimited:
            self.send_header("Content-Length", str(size))
        if reply.close or reply.truncate or reply.close_delimited or self.close_connection:
            self.send_header("Connection", "close")
        try:
            if reply.trickle_headers:
                self._trickle_headers(reply.trickle_headers)
            self.end_headers()
            if self.command == "HEAD" or size == 0 and not reply.chunked:
                return
            if reply.truncate:
                half = body[:len(body) // 2]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(half), half) if reply.chunked else half)
                self.wfile.flush()
                self.close_connection = True
                return
            batch, held = [], 0  # small chunks leave in writes of about 64 KiB
            for piece in self._pieces(reply, body):
                batch.append(b"%x\r\n%s\r\n" % (len(piece), piece) if reply.chunked else piece)
                held += len(batch[-1])
                if reply.trickle or held >= 65536:
                    time.sleep(reply.trickle)
                    self.wfile.write(b"".join(batch))
                    batch, held = [], 0
            self.wfile.write(b"".join(batch))
            if reply.chunked:
                self.wfile.write(b"0\r\n\r\n")
            if reply.close_delimited:
                self.wfile.flush()
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True

    def _trickle_headers(self, seconds):
        """Sends the header lines gathered so far one at a time, `seconds` apart."""
        lines = b"".join(self._headers_buffer).split(b"\r\n")
        self._headers_buffer = []
        for line in lines:
            if line:
                self.wfile.write(line + b"\r\n")
                self.wfile.flush()
                time.sleep(seconds)

    @staticmethod
    def _pieces(reply, body):
        """The body, then `extra` bytes of filler lines, in the pieces the reply goes out in."""
        size = reply.chunk_size or (1 if reply.trickle else 1024 * 1024)
        for start in range(0, len(body), size):
            yield body[start:start + size]
        line = b"x" * 78 + b"\r\n"
        left = reply.extra
        while left > 0:
            piece = (line * (max(size, 80) // 80 + 1))[:min(size, left)]
            left -= len(piece)
            yield piece
