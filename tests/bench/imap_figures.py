"""IMAP figures of scripts/bench: the gateway against a direct HTTPMail client.

The direct client speaks HTTP/1.1 with keep-alive and Digest to the same
service double, as a mail client would that knew HTTPMail itself: a
PROPFIND of the folder, then a GET of each message over N connections.
"""
import hashlib
import http.client
import imaplib
import os
import queue
import re
import statistics
import threading
import time

SCAN = ("(UID FLAGS RFC822.SIZE INTERNALDATE ENVELOPE "
        "BODY.PEEK[HEADER.FIELDS (FROM TO CC SUBJECT DATE MESSAGE-ID)])")
HREF = re.compile(rb"<(?:\w+:)?href>([^<]+)</(?:\w+:)?href>")


class Direct:
    """One keep-alive connection to the service, answering Digest challenges."""

    def __init__(self, service, account, password):
        self.http = http.client.HTTPConnection("127.0.0.1", service.port, timeout=600)
        self.account, self.password = account, password
        self.challenge, self.count = None, 0

    def close(self):
        self.http.close()

    def _authorization(self, method, path):
        c = self.challenge
        self.count += 1
        nc, cnonce = "%08x" % self.count, os.urandom(8).hex()
        md5 = lambda text: hashlib.md5(text.encode()).hexdigest()  # noqa: E731
        ha1 = md5("%s:%s:%s" % (self.account, c["realm"], self.password))
        answer = md5("%s:%s:%s:%s:auth:%s" % (ha1, c["nonce"], nc, cnonce, md5("%s:%s" % (method, path))))
        return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s", qop=auth, nc=%s, '
                'cnonce="%s", opaque="%s", algorithm=MD5' % (self.account, c["realm"], c["nonce"], path, answer, nc,
                                                             cnonce, c["opaque"]))

    def request(self, method, path, headers=None, body=None):
        for _ in range(2):
            sent = dict(headers or {})
            if self.challenge:
                sent["Authorization"] = self._authorization(method, path)
            self.http.request(method, path, body, sent)
            reply = self.http.getresponse()
            data = reply.read()
            if reply.status != 401:
                return reply.status, data
            digest = [v for k, v in reply.getheaders() if k.lower() == "www-authenticate" and v.startswith("Digest")]
            self.challenge = dict(re.findall(r'(\w+)="?([^",]*)"?', digest[0]))
            self.count = 0
        raise RuntimeError("the service refused the direct client")


def path_of(url):
    return "/" + url.split("://", 1)[1].split("/", 1)[1]


def listing(client, folder_url, body):
    status, data = client.request("PROPFIND", path_of(folder_url),
                                  {"Depth": "1", "Brief": "t", "Content-Type": "text/xml"}, body)
    assert status == 207, status
    hrefs = [h.decode() for h in HREF.findall(data)]
    return [path_of(h) for h in hrefs if not h.endswith("/")]


def direct_scan(service, account, password, folder_urls, body, connections):
    """Lists each folder and GETs every message over `connections` connections."""
    clients = [Direct(service, account, password) for _ in range(connections)]
    work = queue.Queue()
    for url in folder_urls:
        for path in listing(clients[0], url, body):
            work.put(path)

    def fetch(client):
        while True:
            try:
                path = work.get_nowait()
            except queue.Empty:
                return
            status, _ = client.request("GET", path)
            assert status == 200, status

    threads = [threading.Thread(target=fetch, args=(c,)) for c in clients]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for c in clients:
        c.close()


def imap_scan(port, account, password, folder, items=SCAN, expect=None):
    imap = imaplib.IMAP4("127.0.0.1", port)
    imap.login(account, password)
    status, _ = imap.select('"%s"' % folder)
    assert status == "OK", folder
    status, data = imap.uid("FETCH", "1:*", items)
    assert status == "OK", data[:1]
    got = sum(1 for d in data if isinstance(d, tuple) or re.match(rb"\d+ \(", d or b""))
    assert expect is None or got == expect, (got, expect)
    imap.logout()


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


class Bench:
    """The figures; `ctx` gives the service, gateway and mail builders of scripts/bench."""

    def __init__(self, ctx, report, runs):
        self.ctx, self.report, self.runs = ctx, report, runs

    def direct(self, service, folders, connections):
        urls = [self.folder_url(service, f) for f in folders]
        return lambda: direct_scan(service, self.ctx.ACCOUNT, self.ctx.PASSWORD, urls, self.ctx.MAILS_BODY,
                                   connections)

    def folder_url(self, service, folder_id):
        return service.folder_root_url(self.ctx.ACCOUNT) + folder_id + "/"

    def scan(self, gw, folder, count, items=SCAN):
        return lambda: imap_scan(gw.imap_port, self.ctx.ACCOUNT, self.ctx.PASSWORD, folder, items, count)

    def scan_figures(self, count, delay_ms):
        ctx, r = self.ctx, self.report
        first, again, restarted, seconds, rescan = [], [], [], [], []
        with ctx.HTTPMailFixture(mailbox=ctx.inbox_of([ctx.message(300, i) for i in range(count)]),
                                 delay_ms=delay_ms) as service:
            direct = self.direct(service, ["F000000001"], 4)
            alone = Direct(service, ctx.ACCOUNT, ctx.PASSWORD)
            list_only = lambda: listing(alone, self.folder_url(service, "F000000001"), ctx.MAILS_BODY)  # noqa: E731
            for _ in range(self.runs):
                with ctx.Gateway(service, Log=0) as gw:  # nothing seen yet
                    scan = self.scan(gw, "INBOX", count)
                    seconds.append(timed(scan))
                    first.append(seconds[-1] / timed(direct))
                    rescan.append(timed(scan))
                    again.append(rescan[-1] / timed(list_only))
                    gw.restart()
                    restarted.append(timed(scan) / timed(list_only))
            alone.close()
        where = "%d ms away" % delay_ms
        r.figure("IMAP header scan of %d, first, %s, vs direct x4" % (count, where), statistics.median(first), 1.5)
        r.fact("the scan took %.2f s first, %.2f s again" % (statistics.median(seconds), statistics.median(rescan)))
        r.figure("  the scan again, nothing new, vs the listing alone", statistics.median(again), 3.0)
        r.figure("  the scan after a gateway restart, vs the listing alone", statistics.median(restarted), 3.0)

    def clients_figure(self, count, delay_ms):
        ctx = self.ctx
        ids = ["F9%08d" % i for i in range(4)]
        folders = [{"name": "Work%d" % i, "id": ids[i], "displayname": "Work%d" % i,
                    "messages": [ctx.message(300, i * count + n) for n in range(count)]} for i in range(4)]
        ratios = []
        with ctx.HTTPMailFixture(mailbox=ctx.mailbox([{"name": "inbox", "messages": []}] + folders),
                                 delay_ms=delay_ms) as service:
            direct = self.direct(service, ids, 4)
            for _ in range(self.runs):
                with ctx.Gateway(service, Log=0) as gw:
                    scans = [self.scan(gw, "Work%d" % i, count) for i in range(4)]
                    ratios.append(timed(lambda: parallel(scans)) / timed(direct))
        self.report.figure("4 IMAP clients at once, %d each, %d ms away, vs direct x4" % (count, delay_ms),
                           statistics.median(ratios), 1.5)

    def body_figure(self, size):
        ctx = self.ctx
        ratios, memory = [], []
        with ctx.HTTPMailFixture(mailbox=ctx.inbox_of([ctx.message(size)])) as service, \
                ctx.Gateway(service, Log=0) as gw:
            direct = Direct(service, ctx.ACCOUNT, ctx.PASSWORD)
            [path] = listing(direct, self.folder_url(service, "F000000001"), ctx.MAILS_BODY)
            fetch = self.scan(gw, "INBOX", 1, "(BODY.PEEK[])")
            # Memory from a fresh gateway: what the first fetch adds to it (later
            # ones reuse the heap the first one grew).
            ctx.reset_peak(gw.process.pid)
            before = ctx.current_rss(gw.process.pid)
            fetch()
            memory.append((ctx.peak_rss(gw.process.pid) - before) / size)
            for _ in range(self.runs):
                ours = timed(fetch)
                ratios.append(ours / timed(lambda: direct.request("GET", path)))
            direct.close()
        self.report.figure("IMAP BODY.PEEK[] of %d MB incl. LOGIN/SELECT vs a direct GET" % (size // ctx.MB),
                           statistics.median(ratios), 1.5)
        self.report.figure("  peak RSS growth of the first, from a fresh gateway / message size", statistics.median(memory), 2.0)

    def select_figure(self, sizes):
        ctx, times = self.ctx, []
        for count in sizes:
            with ctx.HTTPMailFixture(mailbox=ctx.inbox_of([ctx.message(200, i) for i in range(count)])) as service, \
                    ctx.Gateway(service, Log=0, HttpTimeOut=300) as gw:
                flags = lambda: select_then_flags(gw.imap_port, ctx.ACCOUNT, ctx.PASSWORD, count)  # noqa: E731
                flags()
                tries = [flags() for _ in range(self.runs)]
                times.append([statistics.median(t[i] for t in tries) for i in (0, 1)])
                self.report.fact("%6d messages: SELECT %.3f s, UID FETCH 1:* (UID FLAGS) %.3f s" % (count, *times[-1]))
        size_growth = sizes[-1] / sizes[0]
        span = "%dk -> %dk" % (sizes[0] // 1000, sizes[-1] // 1000)
        self.report.figure("  SELECT + UID FETCH growth %s / growth in size" % span,
                           sum(times[-1]) / sum(times[0]) / size_growth, 1.1)
        self.report.figure("  UID FETCH (UID FLAGS) alone, growth %s / growth in size" % span,
                           times[-1][1] / times[0][1] / size_growth, 1.1)


def select_then_flags(port, account, password, count):
    """Seconds of SELECT INBOX and of UID FETCH 1:* (UID FLAGS) on one connection."""
    imap = imaplib.IMAP4("127.0.0.1", port)
    imap.login(account, password)
    selected = timed(lambda: imap.select("INBOX"))
    data = []
    fetched = timed(lambda: data.extend(imap.uid("FETCH", "1:*", "(UID FLAGS)")[1]))
    assert len(data) == count, (len(data), count)
    imap.logout()
    return selected, fetched


def parallel(jobs):
    errors = []

    def run(job):
        try:
            job()
        except Exception as error:  # noqa: BLE001 - reported below, on this thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
