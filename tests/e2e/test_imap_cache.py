"""IMAP's message cache end to end: a cached folder answers what the service
does, across restarts, damaged files, a full cache and removed messages."""

import imaplib
import os
import shutil
import tempfile
import unittest

from gateway import Gateway, HTTPMailFixture
from processes import terminate
import test_imap as ti
import test_imap_clients as tc

SCAN = "(UID FLAGS RFC822.SIZE INTERNALDATE ENVELOPE BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])"
WHOLE = "(BODY.PEEK[] BODY.PEEK[1] BODY.PEEK[TEXT] BODY.PEEK[1.MIME])"
# Twelve messages of about 100 KB: a cache of 1 MB keeps some of their texts.
BIG = [b"Subject: big %d\r\nContent-Type: text/plain\r\n\r\n" % i + (b"%075d\r\n" % i) * 1300 for i in range(12)]
COUNT = len(ti.MESSAGES) + len(BIG)


def mailbox():
    description = ti.description()
    description[ti.ACCOUNT]["folders"][0]["messages"] += BIG
    return description


class CacheTest(unittest.TestCase):
    def setUp(self):
        self.service = HTTPMailFixture(mailbox=mailbox()).start()
        self.addCleanup(self.service.stop)
        self.maxDiff = 2000
        with Gateway(self.service, Log=0, IMAPCacheSize=0) as uncached:
            self.expected = self.answers(uncached)

    def gateway(self, **properties):
        gateway = Gateway(self.service, Log=0, **properties).start()
        self.addCleanup(gateway.stop)
        return gateway

    def answers(self, gateway, items=(SCAN, WHOLE)):
        client = imaplib.IMAP4("127.0.0.1", gateway.imap_port, timeout=ti.CLIENT_TIMEOUT)
        try:
            client.login(ti.ACCOUNT, ti.PASSWORD)
            self.assertEqual("OK", client.select("INBOX")[0])
            replies = []
            for item in items:
                typ, data = client.uid("FETCH", "1:*", item)
                self.assertEqual("OK", typ, data)
                replies.append(data)
                if item == SCAN:  # a search of header fields reads what a scan did
                    replies.append(client.uid("SEARCH", 'OR FROM "carol" HEADER SUBJECT "big 1"'))
            return replies
        finally:
            client.logout()

    def downloads(self):
        return len([r for r in self.service.requests("GET") if r["status"] == 200])

    def cache_files(self, gateway):
        folder = os.path.join(gateway.workdir, "PlugIns", "Kestrelon.cache")
        return {name: os.path.join(folder, name) for name in os.listdir(folder)}

    def test_restarts_and_damaged_files_answer_as_the_service(self):
        gateway = self.gateway()
        self.assertEqual(self.expected, self.answers(gateway))
        gateway.restart()
        self.service.clear_requests()
        self.assertEqual(self.expected, self.answers(gateway))
        self.assertEqual(0, self.downloads())

        def flip(path, data):
            return data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 1]) + data[len(data) // 2 + 1:]

        damages = [
            ("a byte changed", flip),
            ("cut short", lambda path, data: data[:len(data) // 2]),
            ("another folder's", lambda path, data: data.replace(b"alice", b"alicf")),
        ]
        for name, damage in damages:
            with self.subTest(name):
                terminate(gateway.process, 10)
                for path in self.cache_files(gateway).values():
                    with open(path, "rb") as handle:
                        data = handle.read()
                    with open(path, "wb") as handle:
                        handle.write(damage(path, data))
                gateway.launch()
                self.service.clear_requests()
                self.assertEqual(self.expected, self.answers(gateway))
                self.assertGreaterEqual(self.downloads(), COUNT)  # ignored, every text downloaded again
                gateway.restart()
                self.service.clear_requests()
                self.assertEqual(self.expected, self.answers(gateway))
                self.assertEqual(0, self.downloads())  # and written anew

    def test_a_full_cache_keeps_its_bound_and_answers_as_the_service(self):
        gateway = self.gateway(IMAPCacheSize=1)
        self.assertEqual(self.expected, self.answers(gateway))
        gateway.restart()
        self.service.clear_requests()
        self.assertEqual(self.expected[:2], self.answers(gateway, (SCAN,)))
        self.assertEqual(0, self.downloads())  # the summaries fit
        gateway.restart()
        self.assertEqual(self.expected, self.answers(gateway))
        self.assertGreater(self.downloads(), 0)  # not every text does
        files = self.cache_files(gateway)
        self.assertGreater(len([name for name in files if name.endswith(".eml")]), 3)
        self.assertLessEqual(sum(os.path.getsize(path) for path in files.values()), 1024 * 1024)

    def test_a_part_of_a_text_not_kept_comes_as_a_byte_range_or_cut_from_the_whole(self):
        part = "(BODY.PEEK[1] BODY.PEEK[HEADER.FIELDS (SUBJECT)])"
        with Gateway(self.service, Log=0, IMAPCacheSize=0) as uncached:
            expected = self.answers(uncached, (part,))
        gateway = self.gateway(IMAPCacheSize=1)  # keeps a few texts, every summary
        self.answers(gateway)
        for ranges in (True, False):
            with self.subTest(ranges=ranges):
                if not ranges:
                    self.service.add_fault(method="GET", ranges=False, times=-1)
                gateway.restart()
                self.service.clear_requests()
                self.assertEqual(expected, self.answers(gateway, (part,)))
                ranged = [r["status"] for r in self.service.requests("GET")
                          if r["status"] != 401 and any(name.lower() == "range" for name, _ in r["headers"])]
                self.assertGreater(len(ranged), 3)
                self.assertEqual({206 if ranges else 200}, set(ranged))

    def test_a_message_removed_on_the_service_leaves_the_cache_and_the_client(self):
        gateway = self.gateway()
        self.answers(gateway)
        texts = [name for name in self.cache_files(gateway) if name.endswith(".eml")]
        self.assertEqual(COUNT, len(texts))
        removed = self.service.message_ids(ti.ACCOUNT, "inbox")[0]
        client = imaplib.IMAP4("127.0.0.1", gateway.imap_port, timeout=ti.CLIENT_TIMEOUT)
        self.addCleanup(client.logout)
        client.login(ti.ACCOUNT, ti.PASSWORD)
        client.select("INBOX")
        os.remove(os.path.join(self.service.folder_path(ti.ACCOUNT, "inbox"), removed + ".eml"))
        client.noop()
        self.assertEqual([b"1"], client.response("EXPUNGE")[1])
        files = self.cache_files(gateway)
        self.assertEqual(COUNT - 1, len([name for name in files if name.endswith(".eml")]))
        for path in files.values():
            with open(path, "rb") as handle:
                self.assertNotIn(removed.encode(), handle.read(), path)
        typ, data = client.uid("FETCH", "1:*", "(BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        self.assertNotIn(b"Hello", b"".join(part[1] for part in data if isinstance(part, tuple)))

    @unittest.skipUnless(shutil.which("mbsync"), "mbsync (isync) is not installed")
    def test_mbsync_gets_from_a_cached_folder_what_it_gets_uncached(self):
        def pull(gateway):
            home = tempfile.mkdtemp(prefix="kestrelon-mbsync-")
            self.addCleanup(shutil.rmtree, home, True)
            maildir = os.path.join(home, "mail")
            os.makedirs(maildir)
            tc.mbsync(self, tc.write_mbsyncrc(home, gateway.imap_port, maildir), home)
            return tc.maildir_messages(os.path.join(maildir, "INBOX"))

        with Gateway(self.service, Log=0, IMAPCacheSize=0) as uncached:
            expected = pull(uncached)
        gateway = self.gateway()
        self.answers(gateway, (WHOLE,))
        gateway.restart()
        self.service.clear_requests()
        self.assertEqual(expected, pull(gateway))
        self.assertEqual(0, self.downloads())


if __name__ == "__main__":
    unittest.main()
