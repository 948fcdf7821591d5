"""IMAP end to end with real mail clients: mbsync and mutt."""

import imaplib
import os
import pty
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from gateway import Gateway, HTTPMailFixture
import test_imap as ti

CLIENT_TIMEOUT = 120


def lf(text):
    """mbsync keeps Maildir messages with LF line ends."""
    return text.replace(b"\r\n", b"\n")


def maildir_messages(folder):
    """The messages of a Maildir folder: {bytes: flags}."""
    found = {}
    for sub in ("cur", "new"):
        path = os.path.join(folder, sub)
        for name in sorted(os.listdir(path)) if os.path.isdir(path) else []:
            with open(os.path.join(path, name), "rb") as handle:
                text = re.sub(rb"(?m)^X-TUID: .*\n", b"", handle.read())  # mbsync's own mark
            found[text] = name.rsplit(":2,", 1)[1] if ":2," in name else ""
    return found


def write_mbsyncrc(home, port, maildir):
    """An mbsync configuration that pulls every folder into `maildir`."""
    rc = os.path.join(home, "mbsyncrc")
    with open(rc, "w") as handle:
        handle.write(
            "IMAPAccount gateway\nHost 127.0.0.1\nPort %d\nUser %s\nPass %s\nSSLType None\nAuthMechs LOGIN\n\n"
            "IMAPStore remote\nAccount gateway\n\n"
            "MaildirStore local\nPath %s/\nInbox %s/INBOX\nSubFolders Verbatim\n\n"
            "Channel mail\nFar :remote:\nNear :local:\nPatterns *\nCreate Near\nSync All\n"
            "SyncState *\nExpunge None\n"
            % (port, ti.ACCOUNT, ti.PASSWORD, maildir, maildir))
    return rc


def mbsync(test, rc, home):
    result = subprocess.run(["mbsync", "-c", rc, "-a"], capture_output=True, timeout=CLIENT_TIMEOUT,
                            env=dict(os.environ, HOME=home))
    test.assertEqual(0, result.returncode, result.stdout + result.stderr)


@unittest.skipUnless(shutil.which("mbsync"), "mbsync (isync) is not installed")
class MbsyncTest(unittest.TestCase):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=ti.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)
        self.home = tempfile.mkdtemp(prefix="kestrelon-mbsync-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.maildir = os.path.join(self.home, "mail")
        os.makedirs(self.maildir)
        self.rc = write_mbsyncrc(self.home, self.gateway.imap_port, self.maildir)

    def sync(self):
        mbsync(self, self.rc, self.home)

    def downloads(self):
        """GETs that were answered (a digest challenge is logged as well)."""
        return [r for r in self.service.requests("GET") if r["status"] == 200]

    def test_pull_then_nothing_then_only_the_new_one_and_a_read_flag_goes_back(self):
        self.sync()
        inbox = maildir_messages(os.path.join(self.maildir, "INBOX"))
        self.maxDiff = None
        self.assertEqual({lf(ti.HELLO): "", lf(ti.REPORT): "", lf(ti.OLD): "S"}, inbox)
        self.assertTrue(os.path.isdir(os.path.join(self.maildir, "Archive")))
        self.service.clear_requests()
        self.sync()
        self.assertEqual([], self.downloads())
        path = os.path.join(self.service.folder_path(ti.ACCOUNT, "inbox"), "MSG9999.eml")
        with open(path, "wb") as handle:
            handle.write(b"Subject: late\r\n\r\nnew\r\n")
        self.sync()
        self.assertEqual(1, len(self.downloads()))
        self.assertIn(b"Subject: late\n\nnew\n", maildir_messages(os.path.join(self.maildir, "INBOX")))
        # Read in the Maildir: the S flag in the file name.
        new = os.path.join(self.maildir, "INBOX", "new")
        cur = os.path.join(self.maildir, "INBOX", "cur")
        for folder in (new, cur):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as handle:
                    if b"Subject: Hello" not in handle.read():
                        continue
                base = name.split(":2,")[0]
                os.rename(os.path.join(folder, name), os.path.join(cur, base + ":2,S"))
        first = self.service.message_ids(ti.ACCOUNT, "inbox")[0]
        self.assertFalse(self.service.is_read(ti.ACCOUNT, "inbox", first))
        self.sync()
        self.assertTrue(self.service.is_read(ti.ACCOUNT, "inbox", first))


ESCAPES = re.compile(rb"\x1b(\[[0-9;?]*[A-Za-z]|[()][0-9A-B]|[=>])")


@unittest.skipUnless(shutil.which("mutt"), "mutt is not installed")
class MuttTest(unittest.TestCase):
    """mutt in a pseudo-terminal: the index, reading, saving, deleting."""

    def setUp(self):
        self.service = HTTPMailFixture(mailbox=ti.description()).start()
        self.addCleanup(self.service.stop)
        self.gateway = Gateway(self.service).start()
        self.addCleanup(self.gateway.stop)
        self.warm()
        self.home = tempfile.mkdtemp(prefix="kestrelon-mutt-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.rc = os.path.join(self.home, "muttrc")
        with open(self.rc, "w") as rc:
            rc.write('set folder="imap://127.0.0.1:%d/"\nset imap_user="%s"\nset imap_pass="%s"\n'
                     'set spoolfile="+INBOX"\nset ssl_force_tls=no\nset ssl_starttls=no\nset move=no\n'
                     'set delete=yes\nset confirmappend=no\nset mark_old=no\nset sort=mailbox-order\n'
                     'set date_format="%%Y-%%m-%%d"\nset index_format="%%4C %%d %%-15.15L %%s"\n'
                     'set header_cache=""\nset message_cachedir=""\n'
                     % (self.gateway.imap_port, ti.ACCOUNT, ti.PASSWORD))
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ.update(TERM="vt100", HOME=self.home, LINES="40", COLUMNS="120")
            os.execvp("mutt", ["mutt", "-n", "-F", self.rc])
        self.addCleanup(self.finish)
        self.screen = b""

    def warm(self):
        pass

    def finish(self):
        try:
            os.kill(self.pid, 9)
        except OSError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)

    def type(self, keys, until, timeout=30):
        """Sends keys; waits until `until` shows, as text without escapes."""
        start = len(self.screen)
        if keys:
            os.write(self.fd, keys)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if ready:
                try:
                    self.screen += os.read(self.fd, 65536)
                except OSError:
                    break
            if until in ESCAPES.sub(b"", self.screen[start:]):
                return
        self.fail("mutt did not show %r:\n%s" % (until, ESCAPES.sub(b"", self.screen[start:]).decode(errors="replace")))

    def test_index_read_save_delete_and_expunge(self):
        self.type(b"", b"Old news")
        self.assertIn(b"1 2002-04-02 Bob             Hello", ESCAPES.sub(b"", self.screen))
        self.type(b"\r", b"Hi Alice,")  # read message 1
        self.type(b"q", b"Msgs:3")
        self.type(b"j", b"Report")
        self.type(b"s", b"Save to mailbox")
        self.type(b"\x15=Archive\r", b"Archive")
        self.type(b"jd", b"Del:")
        self.type(b"$", b"deleted")  # expunges the saved and the deleted one
        self.type(b"q", b"Closing connection")
        inbox = self.service.message_ids(ti.ACCOUNT, "inbox")
        self.assertEqual(1, len(inbox))
        self.assertTrue(self.service.is_read(ti.ACCOUNT, "inbox", inbox[0]))
        archived = self.service.message_ids(ti.ACCOUNT, "Archive")
        self.assertEqual([ti.REPORT], [self.service.message_bytes(ti.ACCOUNT, "Archive", i) for i in archived])
        # DeleteMode 1: what left the inbox is in deleted items.
        self.assertEqual(2, len(self.service.message_ids(ti.ACCOUNT, "deleteditems")))


class MuttFromTheCacheTest(MuttTest):
    """The same, with the folder already in the gateway's cache from before a restart."""

    def warm(self):
        client = imaplib.IMAP4("127.0.0.1", self.gateway.imap_port, timeout=CLIENT_TIMEOUT)
        client.login(ti.ACCOUNT, ti.PASSWORD)
        client.select("INBOX")
        client.uid("FETCH", "1:*", "(BODY.PEEK[])")
        client.logout()
        self.gateway.restart()
        self.service.clear_requests()

    def test_index_read_save_delete_and_expunge(self):
        super().test_index_read_save_delete_and_expunge()
        self.assertEqual([], [r for r in self.service.requests("GET") if r["status"] == 200])


if __name__ == "__main__":
    unittest.main()
