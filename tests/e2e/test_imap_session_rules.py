"""IMAP session rules that the reference server and its conformance tool
check: atoms with '[', keywords announced in FLAGS, the searches that read
message texts, \\Recent, flags one session stores seen by the others, and
two sessions expunging the same message."""

import os
import unittest

from test_imap import ACCOUNT, ImapTestCase


class SessionRulesTest(ImapTestCase):
    PROPERTIES = {"DeleteMode": 2}

    def raw(self, client, command):
        """Sends one command; its tagged status and every untagged line."""
        tag = client._new_tag().decode()
        client.send(("%s %s\r\n" % (tag, command)).encode())
        lines = []
        while True:
            line = client._get_line().decode("latin-1")
            if line.startswith(tag + " "):
                return line[len(tag) + 1:], lines
            lines.append(line)

    def test_a_bracket_inside_an_atom_is_a_name_not_a_syntax_error(self):
        client = self.connect()
        # SEARCH first: the failed SELECT leaves no folder selected.
        for command, status in (("SEARCH SUBJECT a[b", "OK"), ("SELECT a[b", "NO"),
                                ("STATUS a[b (MESSAGES)", "NO"), ('LIST "" a[*', "OK")):
            self.assertTrue(self.raw(client, command)[0].startswith(status), command)

    def test_a_stored_keyword_is_announced_in_flags(self):
        client = self.connect()
        status, lines = self.raw(client, "STORE 2 +FLAGS ($hello)")
        self.assertTrue(status.startswith("OK"), status)
        flags = [line for line in lines if line.startswith("* FLAGS ")]
        self.assertEqual(1, len(flags), lines)
        self.assertIn("$hello", flags[0])
        self.assertIn("$hello", [line for line in lines if "FETCH" in line][0])
        # Kept while the gateway runs only: never a permanent flag.
        self.assertFalse(any("PERMANENTFLAGS" in line and "$hello" in line for line in lines))

    def test_searches_that_read_the_texts(self):
        client = self.connect()
        for criteria, expected in ((("BODY", "attached"), b"2"), (("TEXT", "pdf"), b"2"),
                                   (("TEXT", "Alice"), b"1"), (("HEADER", "Content-Type", "multipart"), b"2"),
                                   (("CC", "nobody"), b""), (("BCC", "nobody"), b""),
                                   (("SENTON", "2-Apr-2002"), b"1"), (("SENTSINCE", "3-Apr-2002"), b""),
                                   (("SENTBEFORE", "3-Apr-2002"), b"1 2 3"), (("NOT", "BODY", "attached"), b"1 3")):
            typ, data = client.search(None, *criteria)
            self.assertEqual(("OK", [expected]), (typ, data), criteria)

    def test_the_first_session_to_see_a_message_has_it_recent(self):
        first = self.connect()
        self.assertEqual([b"3"], first.response("RECENT")[1])
        self.assertEqual([b"1 2 3"], first.search(None, "RECENT")[1])
        self.assertEqual([b"1 2"], first.search(None, "NEW")[1])
        self.assertIn(b"\\Recent", first.fetch("1", "(FLAGS)")[1][0])
        second = self.connect()
        self.assertEqual([b"0"], second.response("RECENT")[1])
        self.assertEqual([b""], second.search(None, "RECENT")[1])
        self.assertEqual([b"1 2 3"], second.search(None, "OLD")[1])
        # A message that arrives later is recent to the first that sees it.
        path = os.path.join(self.service.folder_path(ACCOUNT, "inbox"), "MSG9999.eml")
        with open(path, "wb") as handle:
            handle.write(b"Subject: late\r\n\r\nlate\r\n")
        status, lines = self.raw(second, "NOOP")
        self.assertIn("* 4 EXISTS", lines)
        self.assertIn("* 1 RECENT", lines)
        self.assertEqual([b"4"], second.search(None, "RECENT")[1])
        self.raw(first, "NOOP")
        self.assertEqual([b"1 2 3"], first.search(None, "RECENT")[1])

    def test_flags_one_session_stores_reach_the_others(self):
        first, second = self.connect(), self.connect()
        # The first session's STORE, then the second's command and all it reads.
        for store, command, expected in (
                ("1 +FLAGS (\\Flagged)", "NOOP", ["* 1 FETCH (UID 1 FLAGS (\\Flagged))"]),
                ("2 +FLAGS ($Work)", "FETCH 3 UID",
                 ["* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft $Work)",
                  "* 2 FETCH (UID 2 FLAGS ($Work))", "* 3 FETCH (UID 3)"]),
                ("1 FLAGS (\\Answered \\Draft)", "SEARCH FLAGGED",
                 ["* 1 FETCH (UID 1 FLAGS (\\Answered \\Draft))", "* SEARCH"]),
                # \\Deleted is shared too: any session's EXPUNGE carries it out.
                ("3 +FLAGS (\\Deleted)", "EXPUNGE", ["* 3 FETCH (UID 3 FLAGS (\\Seen \\Deleted))", "* 3 EXPUNGE"])):
            self.assertTrue(self.raw(first, "STORE " + store)[0].startswith("OK"), store)
            status, lines = self.raw(second, command)
            self.assertTrue(status.startswith("OK"), status)
            self.assertEqual(expected, lines, command)
        self.assertEqual(2, len(self.service.message_ids(ACCOUNT, "inbox")))
        third = self.connect()
        self.assertIn(b"$Work", third.response("FLAGS")[1][0])
        self.assertEqual([b"1 (UID 1 FLAGS (\\Answered \\Draft))", b"2 (UID 2 FLAGS ($Work))"],
                         third.fetch("1:2", "(UID FLAGS)")[1])

    def test_expunging_what_another_session_expunged_is_done(self):
        first, second = self.connect(), self.connect()
        first.store("2", "+FLAGS", "(\\Deleted)")
        second.store("2", "+FLAGS", "(\\Deleted)")
        self.assertEqual(("OK", [b"2"]), first.expunge())
        status, lines = self.raw(second, "EXPUNGE")
        self.assertTrue(status.startswith("OK"), status)
        self.assertIn("* 2 EXPUNGE", lines)
        self.assertEqual(2, len(self.service.message_ids(ACCOUNT, "inbox")))


if __name__ == "__main__":
    unittest.main()
