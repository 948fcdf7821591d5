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


class Listener:
    """A port of 127.0.0.1; each connection goes to serve(connection) on a thread of its own."""

    def __init__(self, serve):
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        threading.Thread(target=self.accept, args=(serve,), daemon=True).start()

    def accept(self, serve):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(connection,), daemon=True).start()

    def close(self):
        self.socket.close()


def plain_server(received, answer):
    """Keeps the first bytes a client sends and answers as a plain HTTP
    server answers what it cannot read."""
    def serve(connection):
        with connection:
            received.append(connection.recv(65536))
            connection.sendall(answer)
    return serve


def connect_proxy(targets):
    """An HTTP proxy that only tunnels (CONNECT), keeping the targets."""
    def serve(client):
        target = client.recv(65536).split()[1].decode()  # curl's CONNECT comes whole
        targets.append(target)
        host, port = target.rsplit(":", 1)
        upstream = socket.create_connection((host, int(port)))
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        threading.Thread(target=pump, args=(upstream, client), daemon=True).start()
        pump(client, upstream)
    return serve


def pump(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    for end in (source, target):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class HttpsTestCase(unittest.TestCase):
    def start(self, cert="good", pin=True, url=None, **service_options):
        tls = CERTS[cert][0] if cert else None
        self.service = HTTPMailFixture(mailbox=mailbox(), tls=tls, **service_options).start()
        self.addCleanup(self.service.stop)
        # url: the gateway's ServiceURL made from the service's entry URL.
        properties = {"ServiceURL": url(self.service.entry_url) if url else self.service.entry_url}
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
        received = []
        plain = Listener(plain_server(received, b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"))
        self.addCleanup(plain.close)
        cases = [  # name, certificate, pin, URL (None: the service's), what the log names
            ("unknown CA", "good", False, None, "0x00002f0d"),
            ("wrong host", "wronghost", True, None, "0x00002f06"),
            ("expired", "expired", True, None, "0x00002f05"),
            ("another pin", "good", "ab" * 32, None, PIN_MISMATCH),
            ("plain HTTP on an https URL", None, False,
             lambda _: "https://127.0.0.1:%d/svcs/hotmail/httpmail.asp" % plain.port, "0x00002f7d"),
            # The TLS server may close before the plain request is read back as
            # garbage: a connection ended then (12030) is as right as no status line.
            ("TLS on an http URL", "good", False, lambda entry: entry.replace("https:", "http:"),
             ("0x00002f78", "0x00002efe")),
        ]
        for name, cert, pin, url, reason in cases:
            with self.subTest(name):
                self.start(cert=cert, pin=pin, url=url)
                _, reply = self.pop_login()
                self.assertEqual(CANNOT_CONNECT, reply)
                log = self.gateway.log()
                self.assertTrue(any(r in log for r in ((reason,) if isinstance(reason, str) else reason)), log)
                self.assertEqual([], self.authenticated_requests())
                # What the plain server got is a TLS greeting, never the request.
                self.assertNotIn(b"PROPFIND", b"".join(received))
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
        received = []
        listener = Listener(received.append)
        self.addCleanup(listener.close)
        self.start()
        self.service.add_fault(method="PROPFIND", status=302, headers={
            "Location": "http://127.0.0.1:%d/svcs/hotmail/httpmail.asp" % listener.port})
        _, reply = self.pop_login()
        self.assertEqual(CANNOT_CONNECT, reply)
        self.assertIn(DOWNGRADE, self.gateway.log())
        self.assertEqual([], received)  # not even a connection

    @unittest.skipIf(os.environ.get("KESTRELON_WINE_BUILD"), "the proxy environment is the Linux layer's")
    def test_https_through_the_proxy_of_the_environment_is_tunnelled(self):
        targets = []
        proxy = Listener(connect_proxy(targets))
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
        self.assertIn("127.0.0.1:%d" % self.service.port, targets)

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
