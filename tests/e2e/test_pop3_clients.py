"""POP3 end to end with real mail clients: curl and fetchmail."""

import os
import shutil
import subprocess
import tempfile
import unittest

from gateway import Gateway, HTTPMailFixture
import mailboxes as mb

CLIENT_TIMEOUT = 60


def strip_received(delivered):
    """fetchmail puts a Received header of its own in front of the message."""
    lines = delivered.split(b"\r\n")
    assert lines[0].startswith(b"Received: "), delivered[:200]
    end = 1
    while lines[end][:1] in (b" ", b"\t"):
        end += 1
    return b"\r\n".join(lines[end:])


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class CurlTest(unittest.TestCase):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=mb.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)

    def curl(self, path):
        result = subprocess.run(
            ["curl", "--silent", "--show-error", "--max-time", "30", "--noproxy", "*",
             "--user", "%s:%s" % (mb.ACCOUNT, mb.PASSWORD), "pop3://127.0.0.1:%d/%s" % (self.gateway.pop_port, path)],
            capture_output=True, timeout=CLIENT_TIMEOUT)
        self.assertEqual(0, result.returncode, result.stderr)
        return result.stdout

    def test_list_and_each_message(self):
        self.assertEqual(b"".join(b"%d %d\r\n" % (i + 1, len(m)) for i, m in enumerate(mb.MESSAGES)), self.curl(""))
        # curl un-stuffs the body and drops the terminator.
        for number in (1, 2, 5):
            self.assertEqual(mb.MESSAGES[number - 1], self.curl(str(number)), number)
        # curl quits each time: what it downloaded is read now.
        self.assertTrue(self.service.is_read(mb.ACCOUNT, "inbox", "MSG0002"))
        self.assertFalse(self.service.is_read(mb.ACCOUNT, "inbox", "MSG0004"))


@unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
class FetchmailTest(unittest.TestCase):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=mb.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)
        self.home = tempfile.mkdtemp(prefix="fetchmail-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.inbox = os.path.join(self.home, "delivered")
        os.makedirs(self.inbox)

    def fetch(self, keep, fetch_all=True, uidl=False):
        # The run control file holds what has no command-line option (the
        # password); delivery and keeping are chosen on the command line.
        rc = os.path.join(self.home, "fetchmailrc")
        with open(rc, "w") as handle:
            handle.write(
                "set no syslog\nset no bouncemail\n"
                "poll 127.0.0.1 with proto POP3 port %d timeout 30%s:\n"
                "  user \"%s\" there with password \"%s\" is \"%s\" here\n"
                "  options sslproto '' no rewrite no stripcr\n"
                % (self.gateway.pop_port, " uidl" if uidl else "", mb.ACCOUNT, mb.PASSWORD,
                   os.environ.get("USER", "root")))
        os.chmod(rc, 0o600)
        env = dict(os.environ, FETCHMAILHOME=self.home, HOME=self.home)
        env.setdefault("FETCHMAILUSER", env.get("USER", "root"))
        result = subprocess.run(
            ["fetchmail", "--fetchmailrc", rc, "--pidfile", os.path.join(self.home, "pid"),
             "--idfile", os.path.join(self.home, "ids"), "--nodetach", "--verbose"] +
            (["--all"] if fetch_all else []) +
            ["--keep" if keep else "--nokeep", "--mda", "cat > $(mktemp %s/msg.XXXXXX)" % self.inbox],
            capture_output=True, env=env, timeout=CLIENT_TIMEOUT)
        output = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        # 1 is fetchmail's "no mail", which a run after everything was seen ends with.
        self.assertIn(result.returncode, (0, 1), output)
        return result.returncode, output

    def delivered(self):
        messages = []
        for name in sorted(os.listdir(self.inbox)):
            with open(os.path.join(self.inbox, name), "rb") as handle:
                messages.append(strip_received(handle.read()))
        return sorted(messages)

    def expected(self):
        # The one text without a final line end gets the one the gateway adds.
        return sorted(m if m.endswith(b"\r\n") else m + b"\r\n" for m in mb.MESSAGES)

    def test_keep_leaves_everything_and_marks_read(self):
        self.fetch(keep=True)
        self.assertEqual(self.expected(), self.delivered())
        self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004"],
                         self.service.message_ids(mb.ACCOUNT, "inbox"))
        self.assertEqual([], self.service.message_ids(mb.ACCOUNT, "deleteditems"))
        self.assertTrue(self.service.is_read(mb.ACCOUNT, "inbox", "MSG0001"))

    def test_keep_without_all_fetches_each_message_once(self):
        # keep makes fetchmail download with RETR (so the service marks the
        # messages read) and remember the ids it has seen.
        for uidl in (False, True):
            with self.subTest(uidl=uidl):
                self.setUp()
                status, output = self.fetch(keep=True, fetch_all=False, uidl=uidl)
                self.assertEqual(0, status, output)
                self.assertEqual(self.expected(), self.delivered())
                self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004"],
                                 self.service.message_ids(mb.ACCOUNT, "inbox"))
                self.assertEqual(["MSG0005"], self.service.message_ids(mb.ACCOUNT, "bulkmail"))
                status, output = self.fetch(keep=True, fetch_all=False, uidl=uidl)
                self.assertEqual(1, status, output)
                self.assertNotIn("RETR", output)
                self.assertEqual(5, len(os.listdir(self.inbox)))

    def test_default_mode_downloads_with_top_and_gets_each_message_whole(self):
        # Neither keep nor --all: fetchmail fetches each message with
        # "TOP n 99999999", then deletes it.
        status, output = self.fetch(keep=False, fetch_all=False)
        self.assertEqual(0, status, output)
        self.assertIn("TOP 1 99999999", output)
        self.assertNotIn("RETR", output)
        self.assertEqual(self.expected(), self.delivered())
        self.assertEqual([], self.service.message_ids(mb.ACCOUNT, "inbox"))
        self.assertEqual(mb.IDS, self.service.message_ids(mb.ACCOUNT, "deleteditems"))
        # TOP is no RETR: nothing was marked read on the way.
        self.assertEqual([False, False, True, False, False],
                         [self.service.is_read(mb.ACCOUNT, "deleteditems", i) for i in mb.IDS])

    def test_without_keep_moves_everything_to_deleted_items(self):
        self.fetch(keep=False)
        self.assertEqual(self.expected(), self.delivered())
        self.assertEqual([], self.service.message_ids(mb.ACCOUNT, "inbox"))
        self.assertEqual([], self.service.message_ids(mb.ACCOUNT, "bulkmail"))
        self.assertEqual(mb.IDS, self.service.message_ids(mb.ACCOUNT, "deleteditems"))
        self.assertEqual(["MSG0006"], self.service.message_ids(mb.ACCOUNT, "sentitems"))


if __name__ == "__main__":
    unittest.main()
