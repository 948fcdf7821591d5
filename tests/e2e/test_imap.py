"""IMAP end to end: Python's imaplib and curl against the gateway and the
local HTTPMail service; what the clients see and what changes on disk."""

import base64
import imaplib
import json
import os
import re
import shutil
import socket
import subprocess
import time
import unittest

from gateway import CredentialTrap, Gateway, HTTPMailFixture, memory, sanitized

ACCOUNT = "alice@hotmail.com"
PASSWORD = "wonderland"
HELLO = (b"From: Bob <bob@example.com>\r\nTo: alice@hotmail.com\r\nSubject: Hello\r\n"
         b"Date: Tue, 02 Apr 2002 10:20:30 +0000\r\n\r\nHi Alice,\r\nsee you.\r\n")
REPORT = (b"From: Carol <carol@example.com>\r\nSubject: Report\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
          b"--b\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n--b\r\nContent-Type: application/pdf\r\n"
          b"Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n--b--\r\n")
OLD = b"From: Dan <dan@example.com>\r\nSubject: Old news\r\n\r\nalready read\r\n"
MESSAGES = [HELLO, REPORT, OLD]
CLIENT_TIMEOUT = 60


def description():
    return {ACCOUNT: {"password": PASSWORD, "folders": [
        {"name": "inbox", "messages": [HELLO, REPORT, {"data": OLD, "read": True}]},
        {"name": "sentitems"},
        {"name": "deleteditems"},
        {"name": "Archive"},
        # Two folders the service calls alike, and a name outside code page 932.
        {"name": "DupA", "id": "F0000000D1", "displayname": "Dup"},
        {"name": "DupB", "id": "F0000000D2", "displayname": "Dup"},
        {"name": "Euro", "id": "F0000000E1", "displayname": "\u20acuro"},
    ]}}


class ImapTestCase(unittest.TestCase):
    PROPERTIES = {}

    def setUp(self):
        self.service = HTTPMailFixture(mailbox=self.mailbox()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service, **self.PROPERTIES).start()
        self.addCleanup(self.gateway.stop)

    def mailbox(self):
        return description()

    def connect(self, select="INBOX"):
        client = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=CLIENT_TIMEOUT)
        self.addCleanup(self.close, client)
        client.login(ACCOUNT, PASSWORD)
        if select:
            typ, _ = client.select(select)
            self.assertEqual("OK", typ)
        return client

    @staticmethod
    def close(client):
        try:
            client.logout()
        except (imaplib.IMAP4.error, OSError):
            pass

    def inbox(self):
        return self.service.message_ids(ACCOUNT, "inbox")

    @staticmethod
    def uids(client):
        typ, data = client.uid("SEARCH", "ALL")
        return [int(n) for n in data[0].split()]


class ImapLibTest(ImapTestCase):
    def test_folders_with_special_use_and_a_fetch_of_everything(self):
        client = self.connect(select=None)
        typ, folders = client.list()
        self.assertEqual("OK", typ)
        lines = [line.decode() for line in folders]
        self.assertIn('(\\HasNoChildren) "/" INBOX', lines)
        self.assertIn('(\\HasNoChildren) "/" Archive', lines)
        self.assertTrue(any("\\Sent" in line for line in lines), lines)
        trash = [line for line in lines if "\\Trash" in line]
        self.assertEqual(1, len(trash), lines)
        # Non-ASCII folder names travel in modified UTF-7.
        self.assertRegex(trash[0], r'"/" &[A-Za-z0-9+,]+-$')
        typ, data = client.select("INBOX")
        self.assertEqual([b"3"], data)
        typ, data = client.fetch("1:*", "(UID FLAGS RFC822.SIZE ENVELOPE BODYSTRUCTURE)")
        self.assertEqual("OK", typ)
        for number, (reply, message) in enumerate(zip(data, MESSAGES), 1):
            self.assertTrue(reply.startswith(b"%d (UID %d " % (number, number)), reply)
            self.assertIn(b"RFC822.SIZE %d " % len(message), reply)
        self.assertIn(b'ENVELOPE ("Tue, 02 Apr 2002 10:20:30 +0000" "Hello" (("Bob" NIL "bob" "example.com"))', data[0])
        self.assertIn(b'("APPLICATION" "PDF" NIL NIL NIL "base64" 8 NIL NIL NIL NIL) "MIXED"', data[1])
        self.assertIn(b"FLAGS (\\Seen \\Recent)", data[2])  # the first session to see it
        typ, data = client.uid("FETCH", "2", "(BODY.PEEK[])")
        self.assertEqual(REPORT, data[0][1])
        self.assertFalse(self.service.is_read(ACCOUNT, "inbox", self.inbox()[1]))
        typ, data = client.uid("FETCH", "1", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)] BODY.PEEK[TEXT]<4.5>)")
        self.assertEqual(b"Subject: Hello\r\n\r\n", data[0][1])
        self.assertEqual(b"lice,", data[1][1])

    def test_a_listing_longer_than_a_reply_read_whole_is_selected(self):
        # The inbox's own listing, padded past the 16 MiB a reply parsed
        # whole may hold with responses that name no message.
        propfind = (b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:" '
                    b'xmlns:m="urn:schemas:mailheader:"><D:prop><D:id/><hm:read/><m:subject/>'
                    b'<D:getcontentlength/></D:prop></D:propfind>')
        listing = subprocess.run(
            ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--digest",
             "--user", "%s:%s" % (ACCOUNT, PASSWORD), "-X", "PROPFIND", "-H", "Depth: 1", "-H", "Brief: t",
             "--data-binary", propfind, self.service.folder_root_url(ACCOUNT) + "F000000001/"],
            capture_output=True, check=True, timeout=CLIENT_TIMEOUT).stdout
        end = listing.rindex(b"</")
        pad = b"<D:response><D:href>pad</D:href><D:propstat><D:prop><D:getcontentlength>1</D:getcontentlength>" \
              b"</D:prop></D:propstat></D:response>\n"
        padded = listing[:end] + pad * ((17 << 20) // len(pad)) + listing[end:]
        self.service.add_fault(method="PROPFIND", path="/F000000001/", raw_body=padded.decode("latin-1"))
        client = self.connect(select=None)
        self.assertEqual(("OK", [b"3"]), client.select("INBOX"))
        self.assertEqual([], self.service.faults())  # the padded reply was given
        typ, data = client.uid("FETCH", "2", "(BODY.PEEK[])")
        self.assertEqual(REPORT, data[0][1])

    def test_seen_flag_is_the_services_read_flag_and_search_follows_it(self):
        client = self.connect()
        first = self.inbox()[0]
        self.assertEqual([b"1 2"], client.search(None, "UNSEEN")[1])
        typ, data = client.store("1", "+FLAGS", "(\\Seen)")
        self.assertEqual("OK", typ)
        self.assertIn(b"\\Seen", data[0])
        self.assertTrue(self.service.is_read(ACCOUNT, "inbox", first))
        self.assertEqual([b"2"], client.search(None, "UNSEEN")[1])
        self.assertEqual([b"1"], client.search(None, "FROM", "bob", "SINCE", "1-Jan-2000")[1])
        client.store("1", "-FLAGS", "(\\Seen)")
        self.assertFalse(self.service.is_read(ACCOUNT, "inbox", first))
        # A body fetched without PEEK becomes read on the service.
        client.fetch("2", "(BODY[TEXT])")
        self.assertTrue(self.service.is_read(ACCOUNT, "inbox", self.inbox()[1]))

    def test_uid_move_and_copy_land_in_the_other_folder_on_disk(self):
        client = self.connect()
        ids = self.inbox()
        typ, data = client.uid("MOVE", "2", "Archive")
        self.assertEqual("OK", typ)
        self.assertEqual(ids[:1] + ids[2:], self.inbox())
        archived = self.service.message_ids(ACCOUNT, "Archive")
        self.assertEqual(1, len(archived))
        self.assertEqual(REPORT, self.service.message_bytes(ACCOUNT, "Archive", archived[0]))
        self.assertEqual([1, 3], self.uids(client))
        self.assertRegex(client.response("COPYUID")[1][0], rb"^\d+ 2 1$")
        typ, data = client.uid("COPY", "1", "Archive")
        self.assertEqual("OK", typ)
        self.assertRegex(client.response("COPYUID")[1][0], rb"^\d+ 1 2$")
        self.assertEqual(2, len(self.service.message_ids(ACCOUNT, "Archive")))
        self.assertEqual(2, len(self.inbox()))
        client.select("Archive")
        self.assertEqual([1, 2], self.uids(client))
        typ, data = client.uid("COPY", "1", "Nowhere")
        self.assertEqual("NO", typ)
        self.assertIn(b"TRYCREATE", data[0])

    def test_uids_stay_across_a_restart_and_a_new_message_gets_a_higher_one(self):
        client = self.connect()
        validity = client.response("UIDVALIDITY")[1]
        uids = self.uids(client)
        self.close(client)
        self.gateway.restart()
        client = self.connect()
        self.assertEqual(validity, client.response("UIDVALIDITY")[1])
        self.assertEqual(uids, self.uids(client))
        path = os.path.join(self.service.folder_path(ACCOUNT, "inbox"), "MSG9999.eml")
        with open(path, "wb") as handle:
            handle.write(b"Subject: late\r\n\r\nnew\r\n")
        client.noop()
        self.assertEqual(uids + [max(uids) + 1], self.uids(client))
        typ, data = client.uid("FETCH", str(max(uids) + 1), "(BODY.PEEK[])")
        self.assertEqual(b"Subject: late\r\n\r\nnew\r\n", data[0][1])

    def test_two_clients_at_once_and_one_that_drops_mid_fetch(self):
        first, second = self.connect(), self.connect(select="Archive")
        raw = socket.create_connection(("127.0.0.1", self.gateway.imap_port), timeout=CLIENT_TIMEOUT)
        raw.recv(4096)
        raw.sendall(b"a LOGIN %s %s\r\n" % (ACCOUNT.encode(), PASSWORD.encode()))
        self.assertIn(b"a OK", raw.recv(4096))
        raw.sendall(b"b SELECT INBOX\r\nc FETCH 1:* BODY.PEEK[]\r\n")
        raw.close()
        self.assertEqual([1, 2, 3], self.uids(first))
        self.assertEqual([], self.uids(second))
        typ, data = first.fetch("3", "(BODY.PEEK[])")
        self.assertEqual(OLD, data[0][1])
        self.assertEqual("OK", second.noop()[0])
        # Eight at once, as mail clients that open several connections need.
        more = [self.connect() for _ in range(6)]
        for client in [first, second] + more:
            self.assertEqual("OK", client.noop()[0])
        self.assertEqual([b"3"], more[-1].search(None, "ALL")[1][0].split()[-1:])


class UidTest(ImapTestCase):
    """A UID is never given twice under one UIDVALIDITY, whatever the disk does."""

    def test_a_message_moved_out_and_back_or_copied_in_place_is_new_to_every_session(self):
        mover, watcher = self.connect(), self.connect()
        self.assertEqual("OK", mover.uid("MOVE", "1", "Archive")[0])
        mover.select("Archive")
        self.assertEqual("OK", mover.uid("MOVE", "1", "INBOX")[0])
        self.assertRegex(mover.response("COPYUID")[1][0], rb"^\d+ 1 4$")
        mover.select("INBOX")
        typ, data = mover.uid("COPY", "4", "INBOX")
        self.assertEqual("OK", typ, data)
        self.assertRegex(mover.response("COPYUID")[1][0], rb"^\d+ 4 5$")
        # The session that stayed sees UID 1 expunged and both arrive.
        watcher.noop()
        self.assertEqual([b"4"], watcher.response("EXISTS")[1][-1:])
        self.assertEqual([2, 3, 4, 5], self.uids(watcher))
        self.assertEqual(HELLO, watcher.uid("FETCH", "5", "(BODY.PEEK[])")[1][0][1])

    def test_uids_that_could_not_be_saved_are_not_given_again_after_a_restart(self):
        client = self.connect()
        validity = int(client.response("UIDVALIDITY")[1][0])
        self.close(client)
        # A directory where the temporary file goes: every save fails.
        os.mkdir(os.path.join(self.gateway.workdir, "PlugIns", "Kestrelon.uid.tmp"))
        inbox = self.service.folder_path(ACCOUNT, "inbox")
        with open(os.path.join(inbox, "MSG9998.eml"), "wb") as handle:
            handle.write(b"Subject: late\r\n\r\nnew\r\n")
        client = self.connect()
        self.assertEqual([1, 2, 3, 4], self.uids(client))
        client.status("Archive", "(UIDNEXT)")
        self.close(client)
        self.assertEqual(1, self.gateway.log().count("Kestrelon.uid"))
        os.rename(os.path.join(inbox, "MSG9998.eml"), os.path.join(inbox, "MSG9999.eml"))
        self.gateway.restart()
        client = self.connect()
        # UID 4 named another message before: not under the same UIDVALIDITY.
        self.assertGreater(int(client.response("UIDVALIDITY")[1][0]), validity)


class SlotTest(ImapTestCase):
    PROPERTIES = {"IdleTimeOut": 3}

    def assert_closed_silent(self, count):
        sockets = [socket.create_connection(("127.0.0.1", self.gateway.imap_port), timeout=CLIENT_TIMEOUT)
                   for _ in range(count)]
        for raw in sockets:
            with raw:
                self.assertTrue(raw.makefile("rb").read().startswith(b"* OK"))  # greeting, then BYE and the end

    def test_connections_that_never_log_in_do_not_lock_others_out(self):
        logged_in = self.connect()
        self.assert_closed_silent(9)
        self.assertEqual("OK", self.connect().noop()[0])
        # The logged-in client, silent longer than a probe that is closed, is not.
        self.assert_closed_silent(1)
        self.assertEqual("OK", logged_in.noop()[0])


class FolderNameTest(ImapTestCase):
    def test_names_stay_with_their_folders_whatever_the_listing_order(self):
        client = self.connect()
        for copies in (1, 2):
            typ, folders = client.list()
            lines = [line.decode() for line in folders]
            self.assertIn('(\\HasNoChildren) "/" "Dup [F0000000D1]"', lines)
            self.assertIn('(\\HasNoChildren) "/" "Dup [F0000000D2]"', lines)
            self.assertIn('(\\HasNoChildren) "/" &IKw-uro', lines)  # modified UTF-7 of the euro sign
            self.assertEqual("NO", client.copy("1", "Dup")[0])
            self.assertEqual("OK", client.copy("1", '"Dup [F0000000D2]"')[0])
            self.assertEqual(copies, len(self.service.message_ids(ACCOUNT, "DupB")))
            self.assertEqual([], self.service.message_ids(ACCOUNT, "DupA"))
            # The service lists the two the other way round from now on.
            for name, position in (("DupA", 9), ("DupB", 8)):
                meta = self.service.folder_meta(ACCOUNT, name)
                meta["position"] = position
                with open(os.path.join(self.service.folder_path(ACCOUNT, name), "folder.json"), "w") as handle:
                    json.dump(meta, handle)


class DeleteModeTest(ImapTestCase):
    def expunge_second(self, mode):
        self.gateway.stop()
        self.gateway = Gateway(self.service, DeleteMode=mode).start()
        self.addCleanup(self.gateway.stop)
        client = self.connect()
        doomed = self.inbox()[1]
        client.store("2", "+FLAGS", "(\\Deleted)")
        try:
            typ, data = client.expunge()
        except imaplib.IMAP4.error as error:
            typ, data = "NO", [str(error).encode()]
        return client, doomed, typ, data

    def test_moved_to_deleted_items(self):
        client, doomed, typ, data = self.expunge_second(1)
        self.assertEqual(("OK", [b"2"]), (typ, data))
        self.assertNotIn(doomed, self.inbox())
        self.assertEqual([REPORT], [self.service.message_bytes(ACCOUNT, "deleteditems", i)
                                    for i in self.service.message_ids(ACCOUNT, "deleteditems")])

    def test_deleted(self):
        client, doomed, typ, data = self.expunge_second(2)
        self.assertEqual(("OK", [b"2"]), (typ, data))
        self.assertNotIn(doomed, self.inbox())
        self.assertEqual([], self.service.message_ids(ACCOUNT, "deleteditems"))

    def test_kept_with_a_no(self):
        client, doomed, typ, data = self.expunge_second(0)
        self.assertEqual("NO", typ)
        self.assertIn(b"DeleteMode", data[0])
        self.assertIn(doomed, self.inbox())
        self.assertEqual(3, len(self.inbox()))


class RefusalTest(ImapTestCase):
    def test_wrong_password_and_a_service_that_cannot_be_reached(self):
        client = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=CLIENT_TIMEOUT)
        self.addCleanup(self.close, client)
        with self.assertRaisesRegex(imaplib.IMAP4.error, "AUTHENTICATIONFAILED"):
            client.login(ACCOUNT, "wrong")
        # SASL PLAIN with the initial response, as imaplib sends it.
        typ, _ = client.authenticate("PLAIN", lambda _: b"\0" + ACCOUNT.encode() + b"\0" + PASSWORD.encode())
        self.assertEqual("OK", typ)
        # The log holds neither password, in clear or in base64.
        plain = base64.b64encode(b"\0" + ACCOUNT.encode() + b"\0" + PASSWORD.encode()).decode()
        self.assertIn("LOGIN ********", self.gateway.log())
        self.assertNotIn(PASSWORD, self.gateway.log())
        self.assertNotIn(plain, self.gateway.log())
        self.service.stop()
        other = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=CLIENT_TIMEOUT)
        self.addCleanup(self.close, other)
        with self.assertRaisesRegex(imaplib.IMAP4.error, "UNAVAILABLE"):
            other.login(ACCOUNT + "x", PASSWORD)

    def test_log_masks_passwords_however_the_command_is_sent(self):
        def talk(sock, data, until):
            sock.sendall(data)
            got = b""
            while until not in got:
                chunk = sock.recv(65536)
                self.assertTrue(chunk, got)
                got += chunk
            return got

        def connect():
            sock = socket.create_connection(("127.0.0.1", self.gateway.imap_port), timeout=CLIENT_TIMEOUT)
            self.addCleanup(sock.close)
            talk(sock, b"", b"\r\n")
            return sock

        def plain(password):
            return base64.b64encode(b"\0" + ACCOUNT.encode() + b"\0" + password.encode())

        account = ACCOUNT.encode()
        # Two commands in one packet: the second logs in.
        sock = connect()
        self.assertIn(b"b OK", talk(sock, b"a NOOP\nb LOGIN %s %s\r\n" % (account, PASSWORD.encode()), b"b OK"))
        sock.close()
        # Refused log-ins, each with a password of its own; the line after a
        # refused literal may be that literal.
        sock = connect()
        cases = [
            (b"LOGIN %s s3cretA\r\n" % account, b"BAD"),
            (b"c  LOGIN %s s3cretB\r\n" % account, b"BAD"),
            (b"d\tLOGIN %s s3cretC\r\n" % account, b"BAD"),
            (b"e LOGIN %s {99999999}\r\n" % account, b"e BAD"),
            (b"s3cretD\r\n", b"BAD"),
            (b"f AUTHENTICATE PLAIN\r\n", b"+ "),
            (plain("s3cretE") + b"\r\n", b"f NO"),
            (b"g AUTHENTICATE PLAIN " + plain("s3cretF") + b"\r\n", b"g NO"),
            (b"h LOGIN %s {7+}\r\ns3cretG\r\n" % account, b"h NO"),
        ]
        for data, until in cases:
            talk(sock, data, until)
        log = self.gateway.log()
        self.assertIn("b LOGIN ********", log)
        for secret in [PASSWORD] + ["s3cret" + c for c in "ABCDEFG"]:
            self.assertNotIn(secret, log)
            self.assertNotIn(plain(secret).decode(), log)

    def test_password_goes_only_to_the_origins_discovery_named(self):
        # A message or folder href on an origin that discovery did not name
        # (another port that asks for Basic) is not asked for.
        head = ('<?xml version="1.0" encoding="UTF-8"?><D:multistatus xmlns:D="DAV:" '
                'xmlns:hm="urn:schemas:httpmail:" xmlns:m="urn:schemas:mailheader:">')
        ok = '</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>'
        with CredentialTrap() as trap:
            self.service.add_fault(method="PROPFIND", path="/F000000001/", raw_body=(
                head + '<D:response><D:href>%s</D:href><D:propstat><D:prop><D:id>MSG0001</D:id>'
                '<hm:read>0</hm:read><D:getcontentlength>10</D:getcontentlength>' + ok + '</D:multistatus>')
                % trap.url("/hmdata/MSG0001"))
            client = self.connect()
            typ, _ = client.fetch("1", "(BODY.PEEK[])")
            self.assertEqual("NO", typ)
            typ, _ = client.store("1", "+FLAGS", "(\\Seen)")
            self.assertEqual("NO", typ)
            self.service.add_fault(method="PROPFIND", path="/hmdata/", raw_body=(
                head + '<D:response><D:href>%s</D:href><D:propstat><D:prop><D:id>F0000000A1</D:id>'
                '<D:displayname>Elsewhere</D:displayname>' + ok + '</D:multistatus>') % trap.url("/hmdata/a/"))
            typ, _ = client.select("Elsewhere")
            self.assertEqual("NO", typ)
            self.assertEqual([], trap.requests)

    def test_append_is_refused_and_changes_nothing(self):
        client = self.connect()
        typ, data = client.append("INBOX", None, None, b"Subject: x\r\n\r\ny\r\n")
        self.assertEqual("NO", typ)
        self.assertEqual(3, len(self.inbox()))


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class CurlTest(ImapTestCase):
    def curl(self, path, *options):
        result = subprocess.run(
            ["curl", "--silent", "--show-error", "--max-time", "30", "--noproxy", "*", *options,
             "--user", "%s:%s" % (ACCOUNT, PASSWORD), "imap://127.0.0.1:%d/%s" % (self.gateway.imap_port, path)],
            capture_output=True, timeout=CLIENT_TIMEOUT)
        self.assertEqual(0, result.returncode, result.stderr)
        return result.stdout

    def test_list_and_fetch_by_uid(self):
        listing = self.curl("")
        self.assertIn(b'* LIST (\\HasNoChildren) "/" INBOX\r\n', listing)
        self.assertIn(b'"/" Archive\r\n', listing)
        self.assertEqual(REPORT, self.curl("INBOX;UID=2"))
        self.assertEqual(b"Subject: Old news\r\n\r\n", self.curl("INBOX;UID=3;SECTION=HEADER.FIELDS%20(SUBJECT)"))


if __name__ == "__main__":
    unittest.main()


class LargeMessageTest(ImapTestCase):
    PROPERTIES = {"Log": 0}
    BIG = b"From: big@example.com\r\nSubject: big\r\n\r\n" + (b"y" * 70 + b"\r\n") * 290000  # 21 MB

    def mailbox(self):
        return {ACCOUNT: {"password": PASSWORD, "folders": [{"name": "inbox", "messages": [self.BIG]}]}}

    def test_a_large_body_is_sent_from_the_downloaded_text(self):
        if sanitized():
            self.skipTest("the sanitizer holds freed memory back")
        client = self.connect()
        base = memory(self.gateway.process, "VmRSS")
        with open("/proc/%d/clear_refs" % self.gateway.process.pid, "w") as refs:
            refs.write("5")  # the peak counts from here
        typ, data = client.uid("FETCH", "1", "(BODY.PEEK[])")
        self.assertEqual(("OK", self.BIG), (typ, data[0][1]))
        growth = memory(self.gateway.process) - base
        print("peak growth by a BODY[] of %.0f MB: %.0f MB" % (len(self.BIG) / 1e6, growth / 1e6))
        # The text downloaded once, and sent from there: not copied into the
        # response, nor the response into the output (that was over 4 times).
        self.assertLess(growth, 3 * len(self.BIG))
