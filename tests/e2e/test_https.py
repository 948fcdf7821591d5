"""HTTPS end to end: the gateway reaches the local service over TLS, with
the service's self-signed certificate trusted by its SHA-256 pin, and a
certificate that cannot be trusted ends the log-in as an unreachable
service, with the reason in the log and the mailbox untouched."""

import imaplib
import os
import shutil
import smtplib
import socket
import sys
import tempfile
import threading
import unittest

from gateway import Gateway, HTTPMailFixture, RawPOP, SOURCE

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from httpmail.certificate import make_certificate  # noqa: E402

ACCOUNT = "demo@hotmail.com"
PASSWORD = "demo"
FRIEND = "friend@hotmail.com"
MAIL = b"From: a@b\r\nSubject: over tls\r\n\r\nsecret text\r\n"
CANNOT_CONNECT = b"-ERR Can't connect to Hotmail server\r\n"
PIN_MISMATCH = "[サーバの証明書が ServiceCertPin と一致しません]"
DOWNGRADE = "[https のサービスへのリクエストを http では送りません]"
BAD_URL = "[ServiceURL が http:// か https:// で始まる URL ではありません。ServiceHost からの既定の URL を使います]"
CERTS = {}


def setUpModule():
    CERTS["dir"] = tempfile.mkdtemp(prefix="kestrelon-tls-")
    for name, hosts, days in (("good", ["127.0.0.1"], 30), ("wronghost", ["other.example"], 30),
                              ("expired", ["127.0.0.1"], -10)):
        folder = os.path.join(CERTS["dir"], name)
        pin = make_certificate(folder, hosts, days)
        CERTS[name] = ((os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")), pin)


def tearDownModule():
    shutil.rmtree(CERTS["dir"], ignore_errors=True)


def mailbox():
    return {ACCOUNT: {"password": PASSWORD, "folders": [{"name": "inbox", "messages": [MAIL]},
                                                        {"name": "sentitems"}]},
            FRIEND: {"password": "friend", "folders": [{"name": "inbox"}]}}


class PlainListener:
    """A plain TCP port that records whatever arrives; with an answer, it
    sends it at the first bytes and closes, as a plain HTTP server answers
    400 to what it cannot read."""

    def __init__(self, answer=None):
        self.answer = answer
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(8)
        self.port = self.socket.getsockname()[1]
        self.received = b""
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(2)
                try:
                    while True:
                        data = connection.recv(65536)
                        if not data:
                            break
                        self.received += data
                        if self.answer:
                            connection.sendall(self.answer)
                            break
                except OSError:
                    pass

    def close(self):
        self.socket.close()


class ConnectProxy:
    """An HTTP proxy that only tunnels (CONNECT), and records the targets."""

    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(8)
        self.port = self.socket.getsockname()[1]
        self.targets = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.socket.accept()
            except OSError:
                return
            threading.Thread(target=self.tunnel, args=(client,), daemon=True).start()

    def tunnel(self, client):
        head = b""
        while b"\r\n\r\n" not in head:
            data = client.recv(4096)
            if not data:
                client.close()
                return
            head += data
        line = head.split(b"\r\n", 1)[0].split()
        if line[0] != b"CONNECT":
            client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            client.close()
            return
        self.targets.append(line[1].decode())
        host, port = line[1].decode().rsplit(":", 1)
        upstream = socket.create_connection((host, int(port)))
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        for a, b in ((client, upstream), (upstream, client)):
            threading.Thread(target=self.pump, args=(a, b), daemon=True).start()

    @staticmethod
    def pump(source, target):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        for s in (source, target):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.socket.close()


class HttpsTestCase(unittest.TestCase):
    def start(self, cert="good", pin=True, url=None, **service_options):
        tls = CERTS[cert][0] if cert else None
        self.service = HTTPMailFixture(mailbox=mailbox(), tls=tls, **service_options).start()
        self.addCleanup(self.service.stop)
        properties = {"ServiceURL": url if url is not None else self.service.entry_url}
        if pin:
            properties["ServiceCertPin"] = CERTS[cert or "good"][1] if pin is True else pin
        self.gateway = Gateway(self.service, **properties).start()
        self.addCleanup(self.gateway.stop)

    def pop_login(self):
        pop = RawPOP(self.gateway.pop_port)
        self.addCleanup(pop.close)
        return pop, pop.login(ACCOUNT.encode(), PASSWORD.encode())

    def authenticated_requests(self):
        return [r for r in self.service.requests()
                if any(name.lower() == "authorization" for name, _ in r["headers"])]

    def test_pop3_smtp_and_imap_over_https_with_the_pinned_certificate(self):
        self.start()
        pop, reply = self.pop_login()
        self.assertEqual(b"+OK\r\n", reply[:3] + b"\r\n" if reply.startswith(b"+OK") else reply)
        self.assertIn(b"secret text", pop.ask_multi(b"RETR 1"))
        self.assertEqual(b"+OK", pop.ask(b"QUIT")[:3])
        with smtplib.SMTP("127.0.0.1", self.gateway.smtp_port, timeout=60) as smtp:
            smtp.login(ACCOUNT, PASSWORD)
            smtp.sendmail(ACCOUNT, [FRIEND], b"Subject: sent over tls\r\n\r\nhello\r\n")
        self.assertEqual(1, len(self.service.message_ids(FRIEND, "inbox")))
        imap = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=60)
        self.addCleanup(imap.logout)
        imap.login(ACCOUNT, PASSWORD)
        self.assertEqual("OK", imap.select("INBOX")[0])
        typ, data = imap.fetch("1", "(BODY.PEEK[])")
        self.assertEqual("OK", typ)
        self.assertIn(b"secret text", data[0][1])
        self.assertTrue(self.service.url.startswith("https://"))
        self.assertIn("[サーバの証明書の SHA-256 は %s です]" % CERTS["good"][1], self.gateway.log())

    def test_each_certificate_failure_fails_the_log_in_and_changes_nothing(self):
        plain = PlainListener(b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n")
        self.addCleanup(plain.close)
        cases = [  # name, certificate, pin, URL (None: the service's), what the log names
            ("unknown CA", "good", False, None, "0x00002f0d"),
            ("wrong host", "wronghost", True, None, "0x00002f06"),
            ("expired", "expired", True, None, "0x00002f05"),
            ("another pin", "good", "ab" * 32, None, PIN_MISMATCH),
            ("plain HTTP on an https URL", None, False, plain, "0x00002f7d"),
            ("TLS on an http URL", "good", False, "http", "0x00002f78"),
        ]
        for name, cert, pin, url, reason in cases:
            with self.subTest(name):
                self.start(cert=cert, pin=pin)
                if url == plain:
                    self.gateway.stop()
                    self.gateway = Gateway(self.service, ServiceURL="https://127.0.0.1:%d/svcs/hotmail/httpmail.asp"
                                           % plain.port).start()
                    self.addCleanup(self.gateway.stop)
                elif url == "http":
                    self.gateway.stop()
                    self.gateway = Gateway(self.service, ServiceURL=self.service.entry_url.replace(
                        "https:", "http:")).start()
                    self.addCleanup(self.gateway.stop)
                _, reply = self.pop_login()
                self.assertEqual(CANNOT_CONNECT, reply)
                self.assertIn(reason, self.gateway.log())
                self.assertEqual([], self.authenticated_requests())
                # What the plain server got is a TLS greeting, never the request.
                self.assertNotIn(b"PROPFIND", plain.received)
                self.assertEqual(1, len(self.service.message_ids(ACCOUNT, "inbox")))
                if name == "unknown CA":
                    with smtplib.SMTP("127.0.0.1", self.gateway.smtp_port, timeout=60) as smtp:
                        with self.assertRaises(smtplib.SMTPAuthenticationError) as raised:
                            smtp.login(ACCOUNT, PASSWORD)
                        self.assertEqual(454, raised.exception.smtp_code)
                    imap = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=60)
                    with self.assertRaisesRegex(imaplib.IMAP4.error, "UNAVAILABLE"):
                        imap.login(ACCOUNT, PASSWORD)
                    imap.shutdown()
                self.gateway.stop()
                self.service.stop()

    def test_a_redirect_from_https_to_http_is_refused_before_anything_is_sent(self):
        listener = PlainListener()
        self.addCleanup(listener.close)
        self.start()
        self.service.add_fault(method="PROPFIND", status=302, headers={
            "Location": "http://127.0.0.1:%d/svcs/hotmail/httpmail.asp" % listener.port})
        _, reply = self.pop_login()
        self.assertEqual(CANNOT_CONNECT, reply)
        self.assertIn(DOWNGRADE, self.gateway.log())
        self.assertEqual(b"", listener.received)

    @unittest.skipIf(os.environ.get("KESTRELON_WINE_BUILD"), "the proxy environment is the Linux layer's")
    def test_https_through_the_proxy_of_the_environment_is_tunnelled(self):
        proxy = ConnectProxy()
        self.addCleanup(proxy.close)
        saved = {name: os.environ.pop(name, None) for name in ("no_proxy", "NO_PROXY", "https_proxy")}
        os.environ["https_proxy"] = "http://127.0.0.1:%d" % proxy.port
        try:
            self.start()
        finally:
            os.environ.pop("https_proxy")
            for name, value in saved.items():
                if value is not None:
                    os.environ[name] = value
        _, reply = self.pop_login()
        self.assertTrue(reply.startswith(b"+OK"), reply)
        self.assertIn("127.0.0.1:%d" % self.service.port, proxy.targets)

    def test_a_service_url_with_another_path(self):
        self.start(entry_path="/mail/dav/entry")
        self.assertTrue(self.service.entry_url.endswith("/mail/dav/entry"))
        _, reply = self.pop_login()
        self.assertTrue(reply.startswith(b"+OK"), reply)
        self.assertEqual(1, len([r for r in self.service.requests("PROPFIND") if r["path"] == "/mail/dav/entry"
                                 and any(n.lower() == "authorization" for n, _ in r["headers"])]))

    def test_a_bad_service_url_is_refused_with_its_message_and_the_default_used(self):
        self.service = HTTPMailFixture(mailbox=mailbox()).start()
        self.addCleanup(self.service.stop)
        # ServiceHost still names the service: the default URL reaches it.
        self.gateway = Gateway(self.service, ServiceURL="ftp://127.0.0.1/x").start()
        self.addCleanup(self.gateway.stop)
        _, reply = self.pop_login()
        self.assertTrue(reply.startswith(b"+OK"), reply)
        self.assertIn(BAD_URL, self.gateway.log())
        if not os.environ.get("KESTRELON_WINE_BUILD"):
            self.assertIn(BAD_URL, self.gateway.output())


if __name__ == "__main__":
    unittest.main()
