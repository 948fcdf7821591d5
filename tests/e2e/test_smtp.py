"""SMTP end to end: kestrelon with the plug-in, the local HTTPMail service,
and clients that speak SMTP on the wire (a raw socket, Python's smtplib and
curl). A message sent to an account of the service must arrive in that
account's inbox and in the sender's sent items exactly as it was sent."""

import base64
import shutil
import smtplib
import subprocess
import tempfile
import os
import unittest

from gateway import Gateway, HTTPMailFixture, RawClient, RawPOP, REPLY_TIMEOUT

SENDER = "alice@hotmail.com"
PASSWORD = "wonderland"
RECIPIENT = "bob@hotmail.com"
OUTSIDER = "carol@example.com"
READER = "reader@hotmail.com"  # fetches over POP3 while SENDER sends
READER_PASSWORD = "looking-glass"
READER_MAIL = b"Subject: for the reader\r\n\r\nhello\r\n"
GREETING = b"220 localhost ESMTP to HTTP proxy server ready\r\n"
AUTHENTICATED = b"235 Authentication successful\r\n"
CLIENT_TIMEOUT = 60

# Lines that SMTP must stuff and unstuff: a lone ".", one starting "..",
# one ".x"; and an 8-bit body line.
MESSAGE = (b"From: Alice <alice@hotmail.com>\r\nTo: Bob <bob@hotmail.com>\r\nSubject: Dots\r\n"
           b"Date: Tue, 02 Apr 2002 10:20:30 +0000\r\n\r\nfirst\r\n.\r\n..two\r\n.x\r\n"
           b"QUIT\r\n\xe3\x81\x82\r\nlast\r\n")


def mailbox():
    return {SENDER: {"password": PASSWORD, "folders": [{"name": "inbox"}, {"name": "sentitems"}]},
            RECIPIENT: {"password": "builder", "folders": [{"name": "inbox"}]},
            READER: {"password": READER_PASSWORD, "folders": [{"name": "inbox", "messages": [READER_MAIL]},
                                                              {"name": "sentitems"}]}}


def plain(user, password, authzid=""):
    return base64.b64encode(("%s\0%s\0%s" % (authzid, user, password)).encode())


def stuffed(message):
    """The message as a client sends it after 354, terminator included."""
    lines = message.split(b"\r\n")[:-1]
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n" for line in lines) + b".\r\n"


class GatewayTest(unittest.TestCase):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=mailbox()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)

    def connect(self):
        smtp = RawClient(self.gateway.smtp_port)
        self.addCleanup(smtp.close)
        self.assertEqual(GREETING, smtp.line())
        return smtp

    def envelope(self, smtp, sender=SENDER, recipients=(RECIPIENT,)):
        for line in [b"MAIL FROM:<%s>" % sender.encode()] + [b"RCPT TO:<%s>" % r.encode() for r in recipients]:
            self.assertEqual(b"250 ok\r\n", smtp.ask(line))

    def data(self, smtp, reply=b"250 ok\r\n", status=None):
        """DATA and the message; the service answers the POST with `status`."""
        self.assertEqual(b"354 Start mail input; end with <CRLF>.<CRLF>\r\n", smtp.ask(b"DATA"))
        if status:
            self.service.set_next_status("POST", status)
        smtp.sock.sendall(stuffed(MESSAGE))
        self.assertEqual(reply, smtp.line())

    def stored(self, account, folder):
        return [self.service.message_bytes(account, folder, i) for i in self.service.message_ids(account, folder)]

    def assertDelivered(self, message, count=1):
        self.assertEqual([message] * count, self.stored(RECIPIENT, "inbox"))
        self.assertEqual([message] * count, self.stored(SENDER, "sentitems"))


class SessionTest(GatewayTest):
    def test_every_reply_byte_for_byte(self):
        smtp = self.connect()
        self.assertEqual(b"250-localhost\r\n", smtp.ask(b"EHLO client.example"))
        self.assertEqual(b"250 AUTH PLAIN\r\n", smtp.line())
        # The part after "/" in the user name is not the account's.
        self.assertEqual(AUTHENTICATED, smtp.ask(b"AUTH PLAIN " + plain(SENDER + "/extra", PASSWORD)))
        self.envelope(smtp, recipients=(RECIPIENT, OUTSIDER))
        self.data(smtp)
        self.assertEqual(b"221 localhost Service is closing\r\n", smtp.ask(b"QUIT"))
        self.assertDelivered(MESSAGE)
        posts = self.service.requests("POST")
        self.assertEqual(b"MAIL FROM:<alice@hotmail.com>\r\nRCPT TO:<bob@hotmail.com>\r\n"
                         b"RCPT TO:<carol@example.com>\r\n\r\n" + MESSAGE + b"\r\n", posts[-1]["body"])
        headers = dict(posts[-1]["headers"])
        self.assertEqual("message/rfc821", headers.get("Content-Type"))
        self.assertEqual("t", headers.get("SAVEINSENT"))
        self.assertEqual(SENDER, posts[-1]["account"])

    def test_wrong_password_is_refused_at_auth(self):
        smtp = self.connect()
        self.assertEqual(b"535 Authentications failed\r\n", smtp.ask(b"AUTH PLAIN " + plain(SENDER, "wrong")))
        self.envelope(smtp)
        self.assertEqual(b"503 authentications are requierd\r\n", smtp.ask(b"DATA"))
        self.assertEqual([], self.service.requests("POST"))
        # The right password in the same session goes through.
        self.assertEqual(AUTHENTICATED, smtp.ask(b"AUTH PLAIN " + plain(SENDER, PASSWORD)))
        self.data(smtp)
        self.assertDelivered(MESSAGE)

    def test_refused_submission_is_451_or_554_and_nothing_is_stored(self):
        smtp = self.connect()
        self.assertEqual(AUTHENTICATED, smtp.ask(b"AUTH PLAIN " + plain(SENDER, PASSWORD)))
        self.envelope(smtp)
        self.data(smtp, b"451 Requested action aborted: Hotmail server returned 500 status\r\n", 500)
        self.assertEqual([], self.stored(RECIPIENT, "inbox"))
        # A refusal that sending again cannot mend is permanent.
        self.data(smtp, b"554 Requested action aborted: Hotmail server returned 413 status\r\n", 413)
        self.assertEqual([], self.stored(RECIPIENT, "inbox"))
        # The message is kept: DATA again sends it once more, and only it.
        self.data(smtp)
        self.assertDelivered(MESSAGE)


class SmtplibTest(GatewayTest):
    def test_login_and_sendmail(self):
        client = smtplib.SMTP("127.0.0.1", self.gateway.smtp_port, timeout=REPLY_TIMEOUT)
        self.addCleanup(client.close)
        code, features = client.ehlo()
        self.assertEqual(250, code)
        self.assertTrue(client.has_extn("auth"))
        self.assertEqual((235, b"Authentication successful"), client.login(SENDER, PASSWORD))  # PLAIN, initial response
        self.assertEqual({}, client.sendmail(SENDER, [RECIPIENT, OUTSIDER], MESSAGE))
        self.assertEqual(221, client.quit()[0])
        self.assertDelivered(MESSAGE)


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class CurlTest(GatewayTest):
    def upload(self, *options):
        with tempfile.NamedTemporaryFile(suffix=".eml", delete=False) as handle:
            handle.write(MESSAGE)
        self.addCleanup(os.unlink, handle.name)
        return subprocess.run(
            ["curl", "--silent", "--show-error", "--max-time", "30", "--noproxy", "*"] + list(options) +
            ["--user", "%s:%s" % (SENDER, PASSWORD), "--mail-from", SENDER, "--mail-rcpt", RECIPIENT,
             "--upload-file", handle.name, "smtp://127.0.0.1:%d" % self.gateway.smtp_port],
            capture_output=True, timeout=CLIENT_TIMEOUT)

    def test_upload_with_and_without_initial_response(self):
        # Without --sasl-ir curl sends "AUTH PLAIN" and its response after the 334.
        for count, options in enumerate([[], ["--sasl-ir"]], 1):
            result = self.upload(*options)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertDelivered(MESSAGE, count)


class TwoAccountsTest(GatewayTest):
    """The POP3 and the SMTP server each act for the account of their own client."""

    def test_each_connection_acts_as_itself(self):
        smtp = self.connect()
        pop = RawPOP(self.gateway.pop_port)
        self.addCleanup(pop.close)
        self.assertEqual(AUTHENTICATED, smtp.ask(b"AUTH PLAIN " + plain(SENDER, PASSWORD)))
        # A failed POP3 log-in of another account takes nothing from SMTP.
        self.assertEqual(b"-ERR authentication failure\r\n", pop.login(READER.encode(), b"wrong"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"USER " + READER.encode()))
        self.assertEqual(b"+OK\r\n", pop.ask(b"PASS " + READER_PASSWORD.encode()))
        # A connection authenticates once; it stays the sender's.
        self.assertEqual(b"503 Already authenticated\r\n", smtp.ask(b"AUTH PLAIN " + plain(READER, READER_PASSWORD)))
        # The reader's download works after the sender's AUTH.
        reply = pop.ask_multi(b"RETR 1")
        self.assertEqual(b"+OK\r\n" + READER_MAIL + b".\r\n", reply)
        self.envelope(smtp)
        self.data(smtp)
        self.assertDelivered(MESSAGE)
        self.assertEqual([], self.stored(READER, "sentitems"))
        posts = self.service.requests("POST")
        self.assertEqual([SENDER], [post["account"] for post in posts if post["status"] == 201])
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        gets = self.service.requests("GET")
        self.assertTrue(gets)
        self.assertEqual({READER}, {get["account"] for get in gets if get["account"]})

    def test_connection_without_auth_cannot_send_after_either_side_logged_in(self):
        with RawPOP(self.gateway.pop_port) as pop:
            self.assertEqual(b"+OK\r\n", pop.login(READER.encode(), READER_PASSWORD.encode()))
            first = self.connect()
            self.assertEqual(AUTHENTICATED, first.ask(b"AUTH PLAIN " + plain(SENDER, PASSWORD)))
            self.assertEqual(b"221 localhost Service is closing\r\n", first.ask(b"QUIT"))
            first.close()
            smtp = self.connect()
            self.envelope(smtp, sender=READER)
            self.assertEqual(b"503 authentications are requierd\r\n", smtp.ask(b"DATA"))
        self.assertEqual([], self.service.requests("POST"))
        self.assertEqual([], self.stored(RECIPIENT, "inbox"))


if __name__ == "__main__":
    unittest.main()
