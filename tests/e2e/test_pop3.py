"""POP3 end to end: kestrelon with the plug-in, the local HTTPMail service,
and clients that speak POP3 on the wire (a raw socket and Python's poplib)."""

import poplib
import smtplib
import time
import unittest

from gateway import CredentialTrap, Gateway, HTTPMailFixture, RawPOP, REPLY_TIMEOUT, free_port, memory, sanitized, \
    WINE_BUILD
import mailboxes as mb

USER = mb.ACCOUNT.encode()
PASS = mb.PASSWORD.encode()
GREETING = b"+OK POP3 to HTTP proxy server ready\r\n"


def framed(message):
    """A message with no line to stuff, as it follows "+OK\\r\\n": unchanged, then the terminator."""
    assert message.endswith(b"\r\n") and not message.startswith(b".") and b"\n." not in message
    return message + b".\r\n"


# The fixtures whose lines need stuffing, as they are on the wire.
DOTS_SENT = (b"From: Carol <carol@example.com>\r\nSubject: Dots\r\n\r\nline one\r\n..\r\n"
             b"...two dots\r\n..leading\r\n..\r\nend\r\n.\r\n")
# A bare LF ends a line too; a text without a final line end gets one.
RAGGED_SENT = (b"From: Eve <eve@example.com>\r\nSubject: Ragged\r\n\r\nbare\n..dot after LF\r\n"
               b"no line end\r\n.\r\n")


class GatewayTest(unittest.TestCase):
    properties = {}

    def description(self):
        return mb.description()

    def setUp(self):
        self.service = HTTPMailFixture(mailbox=self.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service, **self.properties).start()
        self.addCleanup(self.gateway.stop)

    def connect(self):
        pop = RawPOP(self.gateway.pop_port)
        self.addCleanup(pop.close)
        return pop

    def logged_in(self):
        pop = self.connect()
        self.assertEqual(b"+OK\r\n", pop.login(USER, PASS))
        return pop

    def ids(self, folder):
        return self.service.message_ids(mb.ACCOUNT, folder)

    def read(self, number):
        return self.service.is_read(mb.ACCOUNT, mb.folder_of(number), mb.IDS[number - 1])


class SessionTest(GatewayTest):
    def test_every_reply_byte_for_byte(self):
        pop = self.connect()
        self.assertEqual(GREETING, pop.line())
        self.assertEqual(b"-ERR Unknown command\r\n", pop.ask(b"CAPA"))
        self.assertEqual(b"-ERR authorization first\r\n", pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"USER " + USER))
        self.assertEqual(b"+OK\r\n", pop.ask(b"PASS " + PASS))
        sizes = [len(m) for m in mb.MESSAGES]
        self.assertEqual(b"+OK 5 %d\r\n" % sum(sizes), pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n" + b"".join(b"%d %d\r\n" % (i + 1, s) for i, s in enumerate(sizes)) + b".\r\n",
                         pop.ask_multi(b"LIST"))
        self.assertEqual(b"+OK 2 %d\r\n" % sizes[1], pop.ask(b"LIST 2"))
        self.assertEqual(b"+OK\r\n" + b"".join(b"%d %s\r\n" % (i + 1, m.encode()) for i, m in enumerate(mb.IDS)) +
                         b".\r\n", pop.ask_multi(b"UIDL"))
        self.assertEqual(b"+OK 5 MSG0005\r\n", pop.ask(b"UIDL 5"))
        self.assertEqual(b"+OK\r\n" + framed(mb.HELLO), pop.ask_multi(b"RETR 1"))
        self.assertEqual(b"+OK\r\n" + DOTS_SENT, pop.ask_multi(b"RETR 2"))
        self.assertEqual(b"+OK\r\n" + RAGGED_SENT, pop.ask_multi(b"RETR 4"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 1"))
        self.assertEqual(b"-ERR message 1 has been deleted\r\n", pop.ask(b"RETR 1"))
        self.assertEqual(b"-ERR message 1 has been deleted\r\n", pop.ask(b"LIST 1"))
        self.assertEqual(b"+OK 4 %d\r\n" % sum(sizes[1:]), pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n" + b"".join(b"%d %d\r\n" % (i + 1, s) for i, s in enumerate(sizes) if i) +
                         b".\r\n", pop.ask_multi(b"LIST"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"RSET"))
        self.assertEqual(b"+OK 5 %d\r\n" % sum(sizes), pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"NOOP"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        self.assertTrue(pop.closed())

    def test_poplib_fetches_every_message_intact(self):
        client = poplib.POP3("127.0.0.1", self.gateway.pop_port, timeout=10)
        self.addCleanup(client.close)
        self.assertEqual(GREETING.rstrip(), client.getwelcome())
        client.user(mb.ACCOUNT)
        client.pass_(mb.PASSWORD)
        for number, message in enumerate(mb.MESSAGES, 1):
            response, lines, octets = client.retr(number)
            self.assertEqual(b"+OK", response)
            text = b"\r\n".join(lines) + b"\r\n"
            # poplib ends lines at LF alone too; the ragged message gets its
            # missing line end.
            expected = message.replace(b"bare\n", b"bare\r\n") if message is mb.RAGGED else message
            if not expected.endswith(b"\r\n"):
                expected += b"\r\n"
            self.assertEqual(expected, text, number)
        self.assertTrue(client.dele(3).startswith(b"+OK"))
        self.assertTrue(client.rset().startswith(b"+OK"))
        self.assertTrue(client.quit().startswith(b"+OK"))
        # RETR'd unread messages are read now; nothing was deleted.
        self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004"], self.ids("inbox"))
        self.assertTrue(all(self.read(n) for n in range(1, 6)))

    def test_second_client_is_turned_away_and_an_overlong_line_closes(self):
        first = self.logged_in()
        second = self.connect()
        self.assertEqual(b"-ERR Socket is already used.\r\n", second.line())
        self.assertTrue(second.closed())
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), first.ask(b"STAT"))
        first.send(b"NOOP " + b"x" * 10000)
        self.assertEqual(b"-ERR command line too long\r\n", first.line())
        self.assertTrue(first.closed())
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), self.logged_in().ask(b"STAT"))

    def test_wrong_password_then_right(self):
        pop = self.connect()
        self.assertEqual(b"-ERR authentication failure\r\n", pop.login(USER, b"guess"))
        self.assertEqual(b"-ERR USER first\r\n", pop.ask(b"PASS " + PASS))
        # A user name that would add a header line is refused, and spoils nothing.
        self.assertEqual(b"-ERR user name must not contain CR, LF or NUL\r\n",
                         pop.ask(b"USER " + USER + b"\nX-Injected: 1"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"USER " + USER))
        self.assertEqual(b"+OK\r\n", pop.ask(b"PASS " + PASS))
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        for request in self.service.requests():
            self.assertNotIn("X-Injected", [name for name, _ in request["headers"]])
        # The next connection has no user name of the last one's.
        pop = self.connect()
        self.assertEqual(GREETING, pop.line())
        self.assertEqual(b"-ERR USER first\r\n", pop.ask(b"PASS " + PASS))

    def test_texts_from_the_service_cannot_break_the_replies(self):
        # A listing whose id holds line breaks, a blank and a "." line: UIDL
        # gives an id of printable characters, so no reply ends early. The
        # message itself is missing: TOP answers with the service's status.
        inbox = self.service.folder_root_url(mb.ACCOUNT) + "F000000001/"
        self.service.add_fault(method="PROPFIND", path="/F000000001/", times=-1, raw_body=(
            '<?xml version="1.0" encoding="UTF-8"?><D:multistatus xmlns:D="DAV:" '
            'xmlns:hm="urn:schemas:httpmail:" xmlns:m="urn:schemas:mailheader:" '
            'xmlns:h="http://schemas.microsoft.com/hotmail/"><D:response><D:href>%sEVIL</D:href>'
            '<D:propstat><D:prop><D:id>a b&#13;&#10;.&#13;&#10;%%</D:id><hm:read>0</hm:read>'
            '<D:getcontentlength>10</D:getcontentlength><m:subject>Evil&#13;&#10;.&#13;&#10;+OK fake</m:subject>'
            '<h:fromaddr>x&#10;y</h:fromaddr><m:date>2002-04-02T10:20:30Z</m:date></D:prop>'
            '<D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response></D:multistatus>') % inbox)
        pop = self.logged_in()
        self.assertEqual(b"+OK 1 a%20b%0D%0A.%0D%0A%25\r\n", pop.ask(b"UIDL 1"))
        self.assertEqual(b"-ERR Hotmail server returned 404 status\r\n", pop.ask(b"TOP 1 0"))
        self.assertTrue(pop.ask_multi(b"UIDL").startswith(b"+OK\r\n1 a%20b%0D%0A.%0D%0A%25\r\n"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"NOOP"))

    def test_password_goes_only_to_the_origins_discovery_named(self):
        # A listing may name any URL. A message or a folder on an origin that
        # discovery did not name (here another port that asks for Basic) is
        # not asked for at all: the password would go there in clear.
        head = ('<?xml version="1.0" encoding="UTF-8"?><D:multistatus xmlns:D="DAV:" '
                'xmlns:hm="urn:schemas:httpmail:" xmlns:m="urn:schemas:mailheader:">')
        ok = '</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>'
        with CredentialTrap() as trap:
            self.service.add_fault(method="PROPFIND", path="/F000000001/", raw_body=(
                head + '<D:response><D:href>%s</D:href><D:propstat><D:prop><D:id>MSG0001</D:id>'
                '<hm:read>0</hm:read><D:getcontentlength>10</D:getcontentlength>' + ok + '</D:multistatus>')
                % trap.url("/hmdata/MSG0001"))
            pop = self.logged_in()
            self.assertEqual(b"+OK 2 %d\r\n" % (10 + len(mb.OFFER)), pop.ask(b"STAT"))  # and bulk mail
            self.assertTrue(pop.ask(b"RETR 1").startswith(b"-ERR"))
            self.assertTrue(pop.ask(b"TOP 1 0").startswith(b"-ERR"))
            self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
            self.assertTrue(pop.closed())
            self.service.add_fault(method="PROPFIND", path="/hmdata/", raw_body=(
                head + '<D:response><D:href>%s</D:href><D:propstat><D:prop><D:id>F000000001</D:id>'
                '<hm:special>inbox</hm:special>' + ok + '</D:multistatus>') % trap.url("/hmdata/inbox/"))
            pop = self.connect()
            self.assertTrue(pop.login(USER, PASS).startswith(b"-ERR"))
            pop.send(b"QUIT\r\n")
            self.assertTrue(pop.closed())
            self.assertEqual([], trap.requests)
            self.assertIn("[ログインで示されたホスト以外の URL には接続しません]", self.gateway.log())
        self.assertEqual(b"+OK\r\n", self.connect().login(USER, PASS))  # the service's own still serve


class StallingServiceTest(GatewayTest):
    properties = {"HttpTimeOut": 1}

    def test_a_service_that_never_answers_times_out_and_frees_the_worker(self):
        # The only worker blocks on a reply that never comes: the time-out
        # must end it, well inside the client's own reply time-out, and the
        # next log-in must get the worker.
        self.service.set_delay("PROPFIND", 60)
        pop = self.connect()
        self.assertEqual(b"-ERR Can't connect to Hotmail server\r\n", pop.login(USER, PASS))
        self.assertEqual(b"+OK\r\n", pop.ask(b"USER " + USER))
        self.assertEqual(b"+OK\r\n", pop.ask(b"PASS " + PASS))
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), pop.ask(b"STAT"))


class TopTest(GatewayTest):
    PLAIN = b"From: a@example.com\r\nSubject: Plain\r\n\r\none\r\ntwo\r\nthree\r\n"
    HEADER_ONLY = b"From: b@example.com\r\nSubject: No body\r\n"
    SHORT = b"Subject: short"
    BODY_ONLY = b"\r\nbody first\r\n"

    def description(self):
        return {mb.ACCOUNT: {"password": mb.PASSWORD, "folders": [
            {"name": "inbox", "messages": [self.PLAIN, mb.DOTS, self.HEADER_ONLY, mb.RAGGED, self.SHORT,
                                           self.BODY_ONLY]},
            {"name": "deleteditems"}]}}

    def test_header_and_lines_of_the_message_itself(self):
        pop = self.logged_in()
        head = b"From: a@example.com\r\nSubject: Plain\r\n\r\n"
        ragged = b"From: Eve <eve@example.com>\r\nSubject: Ragged\r\n\r\n"
        cases = [
            (b"TOP 1 0", head + b".\r\n"),
            (b"TOP 1 1", head + b"one\r\n.\r\n"),
            (b"TOP 1 3", framed(self.PLAIN)),
            (b"TOP 1 99999999", framed(self.PLAIN)),
            (b"TOP 1  2 ", head + b"one\r\ntwo\r\n.\r\n"),
            (b"TOP 2 2", b"From: Carol <carol@example.com>\r\nSubject: Dots\r\n\r\nline one\r\n..\r\n.\r\n"),
            (b"TOP 2 4", b"From: Carol <carol@example.com>\r\nSubject: Dots\r\n\r\nline one\r\n..\r\n"
                         b"...two dots\r\n..leading\r\n.\r\n"),
            (b"TOP 3 0", self.HEADER_ONLY + b".\r\n"),
            (b"TOP 3 5", self.HEADER_ONLY + b".\r\n"),
            # A bare LF ends a line; the cut after it ends with CR LF.
            (b"TOP 4 1", ragged + b"bare\r\n.\r\n"),
            (b"TOP 4 2", ragged + b"bare\n..dot after LF\r\n.\r\n"),
            (b"TOP 4 3", RAGGED_SENT),
            (b"TOP 5 0", b"Subject: short\r\n.\r\n"),
            (b"TOP 6 0", b"\r\n.\r\n"),
            (b"TOP 6 1", b"\r\nbody first\r\n.\r\n"),
        ]
        for command, expected in cases:
            self.assertEqual(b"+OK\r\n" + expected, pop.ask_multi(command), command)
        missing = b"-ERR missing required line count parameter\r\n"
        for command in (b"TOP 1", b"TOP 1 x", b"TOP 1 -1", b"TOP 1 -0", b"TOP 1 2x", b"TOP 1x 2", b"TOP 1 2 3"):
            self.assertEqual(missing, pop.ask(command), command)
        self.assertEqual(b"-ERR message 7 does not exist\r\n", pop.ask(b"TOP 7 0"))
        self.assertEqual(b"-ERR missing required message number parameter\r\n", pop.ask(b"TOP"))
        # Each message was downloaded once; later TOPs use the text held.
        gets = [r["path"] for r in self.service.requests("GET") if r["status"] != 401]
        self.assertEqual(6, len(gets), gets)
        # TOP alone marks nothing read at QUIT.
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        self.assertEqual([], self.service.requests("PROPPATCH"))
        self.assertFalse(any(self.service.is_read(mb.ACCOUNT, "inbox", "MSG%04d" % n) for n in range(1, 7)))

    def test_failed_download_answers_once_and_the_next_works(self):
        pop = self.logged_in()
        self.service.add_fault(method="GET", path="/MSG0001", times=1, status=500)
        self.assertEqual(b"-ERR Hotmail server returned 500 status\r\n", pop.ask(b"TOP 1 0"))
        self.assertEqual(b"+OK\r\nFrom: a@example.com\r\nSubject: Plain\r\n\r\n.\r\n", pop.ask_multi(b"TOP 1 0"))
        self.assertEqual(b"+OK\r\n" + framed(self.PLAIN), pop.ask_multi(b"RETR 1"))


class TopRangeTest(GatewayTest):
    """TOP of a few lines of a large message asks for only its start."""
    LARGE = b"From: big@example.com\r\nSubject: Large\r\n\r\n" + b"".join(b"line %05d\r\n" % i for i in range(6000))
    BIG_HEADER = (b"Subject: Big header\r\n" + b"".join(b"X-Filler-%04d: %s\r\n" % (i, b"x" * 60) for i in range(600)) +
                  b"\r\nbody\r\n")

    def description(self):
        return {mb.ACCOUNT: {"password": mb.PASSWORD, "folders": [
            {"name": "inbox", "messages": [self.LARGE, self.BIG_HEADER, self.LARGE, self.LARGE]},
            {"name": "deleteditems"}]}}

    def gets(self):
        """(message id, Range header, status) of each authenticated GET."""
        found = []
        for r in self.service.requests("GET"):
            if r["status"] != 401:
                ranges = [v for k, v in r["headers"] if k.lower() == "range"]
                found.append((r["path"].rsplit("/", 1)[-1], ranges[0] if ranges else None, r["status"]))
        return found

    def test_start_then_whole_when_needed(self):
        self.service.add_fault(method="GET", path="MSG0003", ranges=False)
        pop = self.logged_in()
        head = b"From: big@example.com\r\nSubject: Large\r\n\r\n"
        self.assertEqual(b"+OK\r\n" + head + b"line 00000\r\nline 00001\r\n.\r\n", pop.ask_multi(b"TOP 1 2"))
        self.assertEqual(b"+OK\r\n" + head + b"line 00000\r\n.\r\n", pop.ask_multi(b"TOP 1 1"))
        self.assertEqual([("MSG0001", "bytes=0-32767", 206)], self.gets())
        # All lines: past the start, so the whole message.
        self.assertEqual(b"+OK\r\n" + framed(self.LARGE), pop.ask_multi(b"TOP 1 99999999"))
        # A header longer than the start: the whole message follows.
        self.assertEqual(b"+OK\r\n" + self.BIG_HEADER[:-len(b"body\r\n")] + b".\r\n", pop.ask_multi(b"TOP 2 0"))
        # A service that ignores the range sends all at once.
        self.assertEqual(b"+OK\r\n" + head + b".\r\n", pop.ask_multi(b"TOP 3 0"))
        # 416 would mean an empty message: asked for whole, it is not.
        self.service.add_fault(method="GET", path="MSG0004", status=416)
        self.assertEqual(b"+OK\r\n" + head + b".\r\n", pop.ask_multi(b"TOP 4 0"))
        self.assertEqual([("MSG0001", "bytes=0-32767", 206), ("MSG0001", None, 200),
                          ("MSG0002", "bytes=0-32767", 206), ("MSG0002", None, 200),
                          ("MSG0003", "bytes=0-32767", 200),
                          ("MSG0004", "bytes=0-32767", 416), ("MSG0004", None, 200)], self.gets())
        # RETR after a TOP of the start downloads and sends the whole.
        self.assertEqual(b"+OK\r\n" + framed(self.LARGE), pop.ask_multi(b"RETR 1"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        self.assertEqual([True, False, False, False],
                         [self.service.is_read(mb.ACCOUNT, "inbox", "MSG%04d" % n) for n in (1, 2, 3, 4)])


class UpdateTest(GatewayTest):
    def test_dele_and_quit_move_to_deleted_items(self):
        pop = self.logged_in()
        self.assertEqual(b"+OK\r\n" + framed(mb.HELLO), pop.ask_multi(b"RETR 1"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 2"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 5"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        self.assertTrue(pop.closed())
        self.assertEqual(["MSG0001", "MSG0003", "MSG0004"], self.ids("inbox"))
        self.assertEqual([], self.ids("bulkmail"))
        self.assertEqual(["MSG0002", "MSG0005"], self.ids("deleteditems"))
        self.assertEqual(mb.DOTS, self.service.message_bytes(mb.ACCOUNT, "deleteditems", "MSG0002"))
        self.assertTrue(self.read(1))
        self.assertFalse(self.read(4))

    def test_read_marks_follow_only_retrieved_unread_messages(self):
        pop = self.logged_in()
        pop.ask_multi(b"RETR 2")
        pop.ask_multi(b"RETR 3")  # read already: no mark to send
        pop.ask_multi(b"TOP 4 5")  # TOP is no download
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        # Each request may come twice: first unauthenticated, answered 401.
        patches = [r for r in self.service.requests("PROPPATCH") if r["status"] != 401]
        self.assertEqual(1, len(patches), patches)
        self.assertTrue(patches[0]["path"].endswith("/MSG0002"), patches[0]["path"])
        self.assertEqual([False, True, True, False, False], [self.read(n) for n in range(1, 6)])
        self.assertEqual([], self.service.requests("MOVE"))

    def test_client_that_drops_without_quit_leaves_the_mailbox(self):
        pop = self.logged_in()
        pop.ask_multi(b"RETR 1")
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 1"))
        pop.close()
        # The next client is served, sees every message, and nothing changed.
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), self.logged_in().ask(b"STAT"))
        self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004"], self.ids("inbox"))
        self.assertEqual([], self.ids("deleteditems"))
        self.assertFalse(self.read(1))
        self.assertEqual([], self.service.requests("PROPPATCH") + self.service.requests("MOVE"))

    def test_retrieve_of_a_dropped_client_never_reaches_the_next(self):
        pop = self.logged_in()
        self.service.set_delay("GET", 2.0)
        pop.send(b"RETR 2\r\n")
        while self.service.faults():  # the service holds the download now
            time.sleep(0.02)
        pop.close()
        nxt = self.connect()
        while nxt.line() != GREETING:  # turned away until the server sees the close
            nxt = self.connect()
        # While the old download runs no new job may start.
        busy = b"-ERR a Hotmail request is still in progress\r\n"
        self.assertEqual(busy, nxt.ask(b"USER " + USER))
        while (reply := nxt.ask(b"USER " + USER)) == busy:
            time.sleep(0.05)
        self.assertEqual(b"+OK\r\n", reply)
        self.assertEqual(b"+OK\r\n", nxt.ask(b"PASS " + PASS))
        self.assertEqual(b"+OK\r\n" + framed(mb.HELLO), nxt.ask_multi(b"RETR 1"))
        self.assertEqual(b"", nxt.pending)


class HostileClientTest(GatewayTest):
    """Clients that flood, pipeline or fall silent."""
    properties = {"IdleTimeOut": 2, "Log": 0}

    def test_pipelined_login_and_retrs_are_answered_in_order(self):
        pop = self.connect()
        self.assertEqual(GREETING, pop.line())
        pop.send(b"USER " + USER + b"\r\nPASS " + PASS + b"\r\nSTAT\r\nRETR 1\r\nRETR 2\r\nNOOP\r\nQUIT\r\n")
        self.assertEqual(b"+OK\r\n", pop.line())
        self.assertEqual(b"+OK\r\n", pop.line())
        self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), pop.line())
        self.assertEqual(b"+OK\r\n" + framed(mb.HELLO), pop.multi())
        self.assertEqual(b"+OK\r\n" + DOTS_SENT, pop.multi())
        self.assertEqual(b"+OK\r\n", pop.line())
        self.assertEqual(b"+OK\r\n", pop.line())
        self.assertTrue(pop.closed())
        self.assertEqual(b"", pop.pending)

    def test_silent_client_is_closed_and_the_next_served(self):
        pop = self.logged_in()
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 1"))
        self.assertEqual(b"-ERR autologout: idle for too long\r\n", pop.line())
        self.assertTrue(pop.closed())
        self.assertEqual(GREETING, self.connect().line())
        # Closed without UPDATE: nothing was committed.
        self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004"], self.ids("inbox"))
        self.assertEqual([], self.service.requests("MOVE"))


class LargeMessageTest(unittest.TestCase):
    SIZE = 20 * 1024 * 1024

    def big(self, n):
        line = (b"%d " % n) + b"x" * 70 + b"\r\n"
        head = b"From: big@example.com\r\nSubject: big %d\r\n\r\n" % n
        return head + line * ((self.SIZE - len(head)) // len(line))

    def test_peak_memory_stays_near_one_message(self):
        if sanitized():
            self.skipTest("the sanitizer holds freed memory back")
        messages = [self.big(n) for n in range(4)]
        box = {mb.ACCOUNT: {"password": mb.PASSWORD, "folders": [
            {"name": "inbox", "messages": messages}, {"name": "deleteditems"}]}}
        service = HTTPMailFixture(mailbox=box).start()
        self.addCleanup(service.stop)
        gateway = Gateway(service, Log=0).start()
        self.addCleanup(gateway.stop)
        pop = RawPOP(gateway.pop_port)
        self.addCleanup(pop.close)
        self.assertEqual(b"+OK\r\n", pop.login(USER, PASS))
        base = memory(gateway.process, "VmRSS")  # before any message
        peaks = []
        for number, message in enumerate(messages, 1):
            pop.send(b"RETR %d\r\n" % number)
            reply = bytearray()
            while not reply.endswith(b"\r\n.\r\n"):  # no dot lines in these messages
                chunk = pop.sock.recv(1 << 20)
                self.assertTrue(chunk, "closed after %d bytes" % len(reply))
                reply += chunk
            self.assertEqual(b"+OK\r\n" + message + b".\r\n", bytes(reply))
            peaks.append(memory(gateway.process))
        if None in peaks or base is None:
            self.skipTest("no memory figures for this process")
        # A text of the same size sent at once after them: what was kept
        # for the next message goes back first, and the pieces the text
        # arrives in as they are joined, so it is not held on top of either.
        with open("/proc/%d/clear_refs" % gateway.process.pid, "w") as refs:
            refs.write("5")  # the peak counts from here
        with smtplib.SMTP("127.0.0.1", gateway.smtp_port, timeout=REPLY_TIMEOUT) as smtp:
            smtp.login(USER.decode(), PASS.decode())
            smtp.sendmail(mb.ACCOUNT, [mb.ACCOUNT], messages[0])
        sent = memory(gateway.process)
        # Freed memory stays for the next message while the gateway works,
        # and goes back to the system once it has been idle for a moment.
        deadline = time.monotonic() + 30
        held = memory(gateway.process, "VmRSS")
        while held - base >= self.SIZE / 2 and time.monotonic() < deadline:
            time.sleep(0.1)
            held = memory(gateway.process, "VmRSS")
        print("peak after each RETR: %s MB; during the DATA: %.0f MB; held after: %.0f MB"
              % (", ".join("%.0f" % (p / 1e6) for p in peaks), sent / 1e6, held / 1e6))
        # One message in flight at a time: the peak does not grow with the
        # number fetched or sent, and what is held afterwards, over what the
        # gateway held before the first RETR, is less than half a message
        # (counted from there, the workers' own memory, which comes and goes
        # with them, is no message's).
        self.assertLess(peaks[-1] - peaks[0], self.SIZE)
        if not WINE_BUILD:  # Wine's WinInet copies a request body in with its headers
            self.assertLess(sent - peaks[0], self.SIZE / 2)
        self.assertLess(held - base, self.SIZE / 2)


class DeleteModeTwoTest(GatewayTest):
    properties = {"DeleteMode": 2}

    def test_dele_and_quit_delete(self):
        pop = self.logged_in()
        self.assertEqual(b"+OK\r\n", pop.ask(b"DELE 1"))
        self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))
        self.assertEqual(["MSG0002", "MSG0003", "MSG0004"], self.ids("inbox"))
        self.assertEqual([], self.ids("deleteditems"))


class OnlyNotReadTest(GatewayTest):
    properties = {"OnlyNotRead": 1}

    def test_read_messages_are_hidden_from_stat_and_listings_only(self):
        pop = self.logged_in()
        listed = [n for n in range(1, 6) if n != mb.READ]
        self.assertEqual(b"+OK 4 %d\r\n" % sum(len(mb.MESSAGES[n - 1]) for n in listed), pop.ask(b"STAT"))
        self.assertEqual(b"+OK\r\n" + b"".join(b"%d %d\r\n" % (n, len(mb.MESSAGES[n - 1])) for n in listed) +
                         b".\r\n", pop.ask_multi(b"LIST"))
        self.assertEqual(b"+OK\r\n" + b"".join(b"%d %s\r\n" % (n, mb.IDS[n - 1].encode()) for n in listed) +
                         b".\r\n", pop.ask_multi(b"UIDL"))
        # Numbers stay those of the whole list, and work for the hidden one.
        self.assertEqual(b"+OK 3 %d\r\n" % len(mb.OLD), pop.ask(b"LIST 3"))
        self.assertEqual(b"+OK\r\n" + framed(mb.OLD), pop.ask_multi(b"RETR 3"))


class ServiceDownTest(unittest.TestCase):
    def test_unreachable_service_then_normal_service(self):
        port = free_port()

        class Address:
            service_host = "127.0.0.1:%d" % port

        gateway = Gateway(Address()).start()
        self.addCleanup(gateway.stop)
        with RawPOP(gateway.pop_port) as pop:
            self.assertEqual(b"-ERR Can't connect to Hotmail server\r\n", pop.login(USER, PASS))
            self.assertEqual(b"-ERR USER first\r\n", pop.ask(b"PASS " + PASS))
            self.assertEqual(b"-ERR authorization first\r\n", pop.ask(b"QUIT"))
            self.assertTrue(pop.closed())

        # The service comes up where the gateway looks for it.
        service = HTTPMailFixture(mailbox=mb.description(), port=port).start()
        self.addCleanup(service.stop)
        with RawPOP(gateway.pop_port) as pop:
            self.assertEqual(b"+OK\r\n", pop.login(USER, PASS))
            self.assertEqual(b"+OK 5 %d\r\n" % sum(len(m) for m in mb.MESSAGES), pop.ask(b"STAT"))
            self.assertEqual(b"+OK\r\n", pop.ask(b"QUIT"))


if __name__ == "__main__":
    unittest.main()
