"""HTTP/1.1 framing: keep-alive, Content-Length, chunked and 100-continue."""

import socket
import subprocess
import unittest

from servicetest import DEMO, MAILS_BODY, ROOT_BODY, ServiceTestCase

ENTRY = "/svcs/hotmail/httpmail.asp"


class RawConnection:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("connection closed")
        self.buffer += chunk

    def read_reply(self, head_request=False):
        while b"\r\n\r\n" not in self.buffer:
            self._fill()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.setdefault(name.strip().lower(), []).append(value.strip())
        length = 0 if head_request or status in (204, 304) or status < 200 else int(headers["content-length"][0])
        while len(self.buffer) < length:
            self._fill()
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return status, headers, body


class KeepAliveTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo", "folders": [
        {"name": "inbox", "messages": [b"Subject: a\r\n\r\n" + b"x" * 5000 + b"\r\n"]},
        {"name": "deleteditems"}]}}

    def test_one_connection_carries_challenge_and_many_requests(self):
        self.client.request("PROPFIND", ENTRY, ROOT_BODY)
        sock = self.client.connection.sock
        for _ in range(5):
            status, _, _ = self.client.request("PROPFIND", self.demo_path("F000000001/"), MAILS_BODY)
            self.assertEqual(207, status)
            status, _, body = self.client.request("GET", self.demo_path("F000000001/MSG0001"))
            self.assertEqual((200, 5016), (status, len(body)))
        self.assertIs(sock, self.client.connection.sock)
        self.assertEqual(12, self.client.rounds)  # one 401 round-trip in all

    def test_pipelined_raw_requests_are_framed_by_content_length(self):
        raw = RawConnection(self.svc.port)
        try:
            raw.sock.sendall(b"PROPFIND %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s"
                             b"OPTIONS %s HTTP/1.1\r\nHost: x\r\n\r\n"
                             % (ENTRY.encode(), len(ROOT_BODY), ROOT_BODY, ENTRY.encode()))
            status, headers, body = raw.read_reply()
            self.assertEqual(401, status)
            self.assertEqual(int(headers["content-length"][0]), len(body))
            status, _, _ = raw.read_reply()
            self.assertEqual(401, status)
            # /_control answers with its secret alone: a 204 has no body at all.
            secret = b"X-Control-Secret: " + self.svc.control_secret.encode()
            raw.sock.sendall(b"DELETE /_control/requests HTTP/1.1\r\nHost: x\r\n%s\r\n\r\n"
                             b"GET /_control/ping HTTP/1.1\r\nHost: x\r\n%s\r\n\r\n" % (secret, secret))
            status, headers, _ = raw.read_reply()
            self.assertEqual(204, status)
            self.assertNotIn("content-length", headers)
            status, _, body = raw.read_reply()
            self.assertEqual(200, status)
            self.assertIn(b'"ok": true', body)
        finally:
            raw.close()

    def test_chunked_body_expect_continue_and_connection_close(self):
        self.client.request("PROPFIND", ENTRY, ROOT_BODY)
        auth = self.client.authorization("PROPFIND", ENTRY)
        raw = RawConnection(self.svc.port)
        try:
            half = len(ROOT_BODY) // 2
            raw.sock.sendall(b"PROPFIND %s HTTP/1.1\r\nHost: x\r\nAuthorization: %s\r\n"
                             b"Transfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n"
                             % (ENTRY.encode(), auth.encode()))
            status, _, _ = raw.read_reply()
            self.assertEqual(100, status)
            raw.sock.sendall(b"%x\r\n%s\r\n%x\r\n%s\r\n0\r\n\r\n" % (
                half, ROOT_BODY[:half], len(ROOT_BODY) - half, ROOT_BODY[half:]))
            status, _, body = raw.read_reply()
            self.assertEqual(207, status)
            self.assertIn(b"hm:msgfolderroot", body)
            self.assertEqual(ROOT_BODY, self.svc.requests()[-1]["body"])
            raw.sock.sendall(b"GET /_control/ping HTTP/1.1\r\nHost: x\r\nX-Control-Secret: %s\r\n"
                             b"Connection: close\r\n\r\n" % self.svc.control_secret.encode())
            status, headers, _ = raw.read_reply()
            self.assertEqual(["close"], headers["connection"])
            self.assertEqual(b"", raw.sock.recv(10))
        finally:
            raw.close()

    def test_malformed_framing_is_refused_before_authentication(self):
        # Each head is followed by more bytes than it may take, and the
        # connection stays open: the answer must not wait for its end.
        cases = [
            (b"Transfer-Encoding: chunked", b"-1\r\n"),
            (b"Transfer-Encoding: chunked", b"+5\r\n"),
            (b"Transfer-Encoding: chunked", b"0x5\r\n"),
            (b"Transfer-Encoding: chunked", b"5 5\r\n"),
            (b"Transfer-Encoding: chunked", b"\r\n"),
            (b"Content-Length: \xb2", b""),   # a digit to str.isdigit, not to int
            (b"Content-Length: -1", b""),
        ]
        for head, start in cases:
            raw = RawConnection(self.svc.port)
            try:
                raw.sock.sendall(b"POST %s HTTP/1.1\r\nHost: x\r\n%s\r\n\r\n%s%s"
                                 % (ENTRY.encode(), head, start, b"y" * 4096))
                status, headers, _ = raw.read_reply()
                self.assertEqual(400, status, (head, start))
                self.assertEqual(["close"], headers["connection"], (head, start))
            finally:
                raw.close()
        # Chunks that add up past the limit are refused as they come.
        raw = RawConnection(self.svc.port)
        try:
            raw.sock.sendall(b"POST %s HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"%x\r\n" % (ENTRY.encode(), 32 * 1024 * 1024 + 1))  # the default limit
            status, _, _ = raw.read_reply()
            self.assertEqual(413, status)
        finally:
            raw.close()
        self.assertEqual([], self.svc.requests())

    def test_curl_reuses_its_connection_with_digest(self):
        url = self.svc.url + self.demo_path("F000000001/MSG0001")
        done = subprocess.run(["curl", "--noproxy", "*", "-sv", "--digest", "-u", DEMO + ":demo",
                               "--max-time", "10", "-o", "/dev/null", "-o", "/dev/null", url, url],
                              capture_output=True, timeout=20)
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertIn(b"Re-using existing connection", done.stderr)
        statuses = [e["status"] for e in self.svc.requests("GET")]
        self.assertEqual(200, statuses[-1])
        self.assertEqual(2, statuses.count(200))


if __name__ == "__main__":
    unittest.main()
