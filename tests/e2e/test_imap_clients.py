"""IMAP end to end with real mail clients: mbsync and mutt."""

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
        self.rc = os.path.join(self.home, "mbsyncrc")
        with open(self.rc, "w") as rc:
            rc.write(
                "IMAPAccount gateway\nHost 127.0.0.1\nPort %d\nUser %s\nPass %s\nSSLType None\nAuthMechs LOGIN\n\n"
                "IMAPStore remote\nAccount gateway\n\n"
                "MaildirStore local\nPath %s/\nInbox %s/INBOX\nSubFolders Verbatim\n\n"
                "Channel mail\nFar :remote:\nNear :local:\nPatterns INBOX Archive\nCreate Near\nSync All\n"
                "SyncState *\nExpunge None\n"
                % (self.gateway.imap_port, ti.ACCOUNT, ti.PASSWORD, self.maildir, self.maildir))

    def sync(self):
        result = subprocess.run(["mbsync", "-c", self.rc, "-a"], capture_output=True, timeout=CLIENT_TIMEOUT,
                                env=dict(os.environ, HOME=self.home))
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)

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


if __name__ == "__main__":
    unittest.main()
