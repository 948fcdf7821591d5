"""Fetch benchmark: how fast mail comes through the gateway.

Builds a mailbox of many small messages and a few large ones, starts the
local HTTPMail service and `kestrelon` (logging off), and measures with
poplib: the log-in (discovery, folder list, message list), STAT/LIST/UIDL,
RETR of every message, and, as the baseline, the same messages fetched
straight from the service over HTTP with Digest authentication. Prints
figures; asserts only that every message arrived byte for byte.

    python3 tests/bench/bench_pop3.py [--small N] [--large N] [--large-mb M]
"""
import argparse
import hashlib
import os
import poplib
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from gateway import Gateway, HTTPMailFixture  # noqa: E402

ACCOUNT, PASSWORD = "bench@hotmail.com", "bench"


def message(i, size):
    head = ("From: sender%d@example.org\r\nTo: %s\r\nSubject: message %d\r\n"
            "Date: Tue, 01 Dec 2026 10:00:00 +0000\r\n\r\n" % (i, ACCOUNT, i)).encode()
    line = b"The quick brown fox jumps over the lazy dog, message body line.\r\n"
    body = (line * (size // len(line) + 1))[:max(0, size - len(head) - 3)]
    return head + body + b".\r\n"  # a line holding a single dot, stuffed on the wire


def timed(label, fn, nbytes=None):
    start = time.perf_counter()
    result = fn()
    spent = time.perf_counter() - start
    rate = "  %8.1f MB/s" % (nbytes / spent / 1e6) if nbytes else ""
    print("%-44s %9.3f s%s" % (label, spent, rate))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=300, help="messages of 4 KB")
    parser.add_argument("--large", type=int, default=3, help="large messages")
    parser.add_argument("--large-mb", type=float, default=8.0, help="size of a large message, MB")
    args = parser.parse_args()

    messages = [message(i, 4096) for i in range(args.small)]
    messages += [message(args.small + i, int(args.large_mb * 1e6)) for i in range(args.large)]
    total = sum(len(m) for m in messages)
    mailbox = {ACCOUNT: {"password": PASSWORD, "folders": [{"name": "inbox", "messages": messages}]}}
    print("mailbox: %d messages, %.1f MB" % (len(messages), total / 1e6))

    with HTTPMailFixture(mailbox=mailbox) as service, Gateway(service, Log=0) as gateway:
        pop = poplib.POP3("127.0.0.1", gateway.pop_port, timeout=120)
        pop.user(ACCOUNT)
        timed("log-in (discovery, folders, message list)", lambda: pop.pass_(PASSWORD))
        count, size = timed("STAT", pop.stat)
        timed("LIST + UIDL", lambda: (pop.list(), pop.uidl()))
        assert count == len(messages), (count, len(messages))

        small = args.small

        def fetch(first, last):
            return [b"\r\n".join(pop.retr(n)[1]) + b"\r\n" for n in range(first, last + 1)]

        got = timed("RETR %d small messages" % small, lambda: fetch(1, small),
                    sum(len(m) for m in messages[:small]))
        if args.large:
            got += timed("RETR %d large messages" % args.large, lambda: fetch(small + 1, len(messages)),
                         sum(len(m) for m in messages[small:]))
        pop.quit()
        # poplib un-stuffs dots and splits lines; compare digests of the whole.
        sent = hashlib.sha256(b"".join(messages)).hexdigest()
        received = hashlib.sha256(b"".join(got)).hexdigest()
        print("byte for byte: %s" % ("yes" if sent == received else "NO"))

        passwords = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        passwords.add_password(None, service.url, ACCOUNT, PASSWORD)
        auth = urllib.request.HTTPDigestAuthHandler(passwords)
        opener = urllib.request.build_opener(auth)
        ids = service.message_ids(ACCOUNT, "inbox")
        inbox = service.folder_root_url(ACCOUNT) + "F000000001/"

        def direct(selection):
            return [opener.open(inbox + i).read() for i in selection]
        timed("baseline: GET %d small straight from service" % small, lambda: direct(ids[:small]),
              sum(len(m) for m in messages[:small]))
        if args.large:
            timed("baseline: GET %d large straight from service" % args.large, lambda: direct(ids[small:]),
                  sum(len(m) for m in messages[small:]))
        return 0 if sent == received else 1


if __name__ == "__main__":
    sys.exit(main())
