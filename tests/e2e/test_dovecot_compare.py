"""The gateway against a standalone Dovecot on the same real-world messages
(the email test data of Python's test suite, written by others): ENVELOPE,
BODYSTRUCTURE, sizes, sections and searches, compared item by item.

A difference passes only where this server follows the RFCs and Dovecot
does not, or where the RFCs leave the choice open; each such one is named
(KNOWN) and listed with its message when KESTRELON_COMPARE_REPORT is set.
Skipped when Dovecot or the corpus is not installed (scripts/bootstrap
installs both)."""

import glob
import os
import pwd
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from gateway import Gateway, HTTPMailFixture, free_port

DOVECOT = "/usr/sbin/dovecot"
CORPUS = sorted(glob.glob("/usr/lib/python3*/test/test_email/data/msg_*.txt"))
ACCOUNT, PASSWORD = "alice@hotmail.com", "wonderland"
TIMEOUT = 30

# Where the two may differ, with the rule that decides it.
KNOWN = {
    "text-no-subtype": "RFC 2045 5.2: 'Content-Type: text' without a subtype is text/plain (Dovecot: \"\")",
    "part-end-crlf": "RFC 2046 5.1.1: the CR LF before a delimiter line belongs to the delimiter, "
                     "not to the part (Dovecot keeps it in the part)",
    "rfc2231-boundary": "RFC 2231 4: boundary*=charset''value names the boundary (Dovecot does not "
                        "decode it and finds no parts)",
    "default-charset": "RFC 2045 5.2: a text part without charset is us-ascii; listing it is a choice "
                       "(we list it for a part without Content-Type, else the parameters as written; "
                       "Dovecot adds it to any text part without one)",
    "last-line-count": "RFC 3501 7.4.2: a last line without CR LF counts as a line or not; "
                       "a choice (we count it, Dovecot does not)",
}


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


class Literal:
    def __init__(self, data):
        self.data = data


TOKEN = re.compile(rb'\s*(?:(\()|(\))|"((?:[^"\\]|\\.)*)"|([^\s()"\[]+(?:\[[^\]]*\])?(?:<\d+>)?))')


def parse(chunks):
    """An untagged response as nested lists: strings as bytes, NIL as None."""
    stack = [[]]
    for chunk in chunks:
        if isinstance(chunk, Literal):
            stack[-1].append(chunk.data)
            continue
        pos = 0
        while pos < len(chunk):
            m = TOKEN.match(chunk, pos)
            if not m or m.end() == pos:
                break
            pos = m.end()
            if m.group(1):
                stack.append([])
            elif m.group(2):
                done = stack.pop()
                stack[-1].append(done)
            elif m.group(3) is not None:
                stack[-1].append(re.sub(rb"\\(.)", rb"\1", m.group(3)))
            else:
                stack[-1].append(None if m.group(4).upper() == b"NIL" else m.group(4))
    return stack[0]


class Connection:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.file = self.sock.makefile("rb")
        self.count = 0
        self.file.readline()

    def close(self):
        self.file.close()
        self.sock.close()

    def logical(self):
        chunks = []
        while True:
            line = self.file.readline()
            if not line:
                raise EOFError("connection closed")
            m = re.search(rb"\{(\d+)\}\r\n$", line)
            if not m:
                chunks.append(line.rstrip(b"\r\n"))
                return chunks
            chunks.append(line[:m.start()])
            chunks.append(Literal(self.file.read(int(m.group(1)))))

    def command(self, text):
        self.count += 1
        tag = b"c%d" % self.count
        self.sock.sendall(tag + b" " + text.encode() + b"\r\n")
        untagged = []
        while True:
            chunks = self.logical()
            if isinstance(chunks[0], bytes) and chunks[0].startswith(tag + b" "):
                status = chunks[0][len(tag) + 1:]
                if not status.startswith(b"OK"):
                    raise AssertionError("%s: %s" % (text, status))
                return untagged
            untagged.append(parse(chunks))

    def fetch(self, number, items):
        """The FETCH items of one message as a dict by upper-case name."""
        out = {}
        for response in self.command("FETCH %d (%s)" % (number, items)):
            if len(response) == 4 and response[2] == b"FETCH" and int(response[1]) == number:
                pairs = response[3]
                for i in range(0, len(pairs) - 1, 2):
                    out[pairs[i].decode().upper()] = pairs[i + 1]
        return out

    def search(self, criteria):
        try:
            responses = self.command("SEARCH " + criteria)
        except AssertionError as refused:
            return str(refused)
        for response in responses:
            if response[1:2] == [b"SEARCH"]:
                return [int(n) for n in response[2:]]
        return []


class Dovecot:
    """A standalone Dovecot on a maildir of its own, on a free port."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kestrelon-dovecot-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        self.process = None

    def start(self):
        conf = os.path.join(self.dir, "dovecot.conf")
        mail = os.path.join(self.dir, "mail")
        os.makedirs(mail)
        # Dovecot's login process never runs as root: as root, its own users.
        if os.getuid() == 0:
            owner = pwd.getpwnam("dovecot")
            os.chown(mail, owner.pw_uid, owner.pw_gid)
            uid, gid = owner.pw_uid, owner.pw_gid
            users = "default_login_user = dovenull\ndefault_internal_user = dovecot\n"
        else:
            uid, gid = os.getuid(), os.getgid()
            me = pwd.getpwuid(uid).pw_name
            users = "default_login_user = %s\ndefault_internal_user = %s\n" % (me, me)
        with open(os.path.join(self.dir, "passwd"), "w") as handle:
            handle.write("u:{PLAIN}p:%d:%d::%s::\n" % (uid, gid, mail))
        with open(conf, "w") as handle:
            handle.write("""protocols = imap
listen = 127.0.0.1
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
passdb {{
  driver = passwd-file
  args = {d}/passwd
}}
userdb {{
  driver = passwd-file
  args = {d}/passwd
}}
mail_location = maildir:{d}/mail
service imap-login {{
  chroot =
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
}}
service anvil {{
  chroot =
}}
{users}""".format(d=self.dir, port=self.port, users=users))
        self.process = subprocess.Popen([DOVECOT, "-F", "-c", conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as probe:
                    if probe.recv(64).startswith(b"* OK"):
                        return self
            except OSError:
                pass
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("dovecot did not start")

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(TIMEOUT)
            self.process = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def append(self, messages):
        connection = Connection(self.port)
        try:
            connection.command("LOGIN u p")
            for data in messages:
                connection.count += 1
                tag = b"a%d" % connection.count
                connection.sock.sendall(tag + b" APPEND INBOX {%d+}\r\n" % len(data) + data + b"\r\n")
                while not connection.file.readline().startswith(tag + b" OK"):
                    pass
        finally:
            connection.close()


def lower(value):
    return value.lower() if isinstance(value, bytes) else value


def params(value):
    if not isinstance(value, list):
        return {}
    return {lower(value[i]): value[i + 1] for i in range(0, len(value) - 1, 2)}


def is_multipart(body):
    return isinstance(body, list) and body and isinstance(body[0], list)


def children(body):
    """A multipart's parts: the lists before its subtype."""
    out = []
    for item in body:
        if not isinstance(item, list):
            break
        out.append(item)
    return out


def part_paths(body, prefix=()):
    """Every section number a structure has, as tuples."""
    if is_multipart(body):
        for i, child in enumerate(children(body)):
            path = prefix + (i + 1,)
            yield path
            yield from part_paths(child, path)
    elif lower(body[0]) == b"message" and lower(body[1]) == b"rfc822" and prefix and len(body) > 8:
        inner = body[8]
        if is_multipart(inner):
            yield from part_paths(inner, prefix)
        else:
            yield prefix + (1,)


class Comparison:
    def __init__(self, name, text):
        self.name, self.text = name, text
        self.unexplained = []
        self.explained = []

    def differ(self, where, ours, theirs, rule=None):
        if rule:
            assert rule in KNOWN, rule
            self.explained.append((rule, where, ours, theirs))
        else:
            self.unexplained.append("%s %s: ours %r, Dovecot %r" % (self.name, where, ours, theirs))

    def rfc2231_boundary(self):
        return "rfc2231-boundary" if re.search(rb"(?i)[;\s]boundary\*=", self.text) else None

    def body(self, ours, theirs, where):
        if is_multipart(ours) != is_multipart(theirs):
            return self.differ(where + " kind", ours, theirs, self.rfc2231_boundary())
        if is_multipart(ours):
            a, b = children(ours), children(theirs)
            if len(a) != len(b):
                return self.differ(where + " parts", len(a), len(b), self.rfc2231_boundary())
            for i, (x, y) in enumerate(zip(a, b)):
                self.body(x, y, "%s.%d" % (where, i + 1))
            rest_a, rest_b = ours[len(a):], theirs[len(b):]
            if lower(rest_a[0]) != lower(rest_b[0]):
                self.differ(where + " subtype", rest_a[0], rest_b[0])
            if len(rest_a) > 1 and params(rest_a[1]) != params(rest_b[1]):
                self.differ(where + " parameters", rest_a[1], rest_b[1])
            return
        self.leaf(ours, theirs, where)

    def leaf(self, ours, theirs, where):
        if len(ours) < 7 or len(theirs) < 7:
            return self.differ(where, ours, theirs)
        if (lower(ours[0]), lower(ours[1])) != (lower(theirs[0]), lower(theirs[1])):
            if (lower(ours[0]), lower(ours[1])) == (b"text", b"plain") and b"" in (theirs[0], theirs[1]):
                self.differ(where + " type", ours[:2], theirs[:2], "text-no-subtype")
                if theirs[0] == b"":  # not text to Dovecot: no line count; the rest as for any part
                    theirs = theirs[:7] + [ours[7]] + theirs[7:]
            else:
                return self.differ(where + " type", ours[:2], theirs[:2])
        a, b = params(ours[2]), params(theirs[2])
        if a != b:
            extra = {k: v for k, v in a.items() if b.get(k) != v}
            extra.update({k: v for k, v in b.items() if a.get(k) != v})
            only_charset = set(extra) == {b"charset"} and lower(extra[b"charset"]) == b"us-ascii"
            self.differ(where + " parameters", ours[2], theirs[2], "default-charset" if only_charset else None)
        for i, name in ((3, "id"), (4, "description")):
            if ours[i] != theirs[i]:
                self.differ(where + " " + name, ours[i], theirs[i])
        if lower(ours[5]) != lower(theirs[5]):
            self.differ(where + " encoding", ours[5], theirs[5])
        size_ours, size_theirs = int(ours[6]), int(theirs[6])
        crlf_rule = None
        if size_ours != size_theirs:
            crlf_rule = "part-end-crlf" if size_theirs - size_ours in (1, 2) else None
            self.differ(where + " size", size_ours, size_theirs, crlf_rule)
        is_message = lower(ours[0]) == b"message" and lower(ours[1]) == b"rfc822"
        if is_message and len(ours) > 9 and len(theirs) > 9:
            self.envelope(ours[7], theirs[7], where + " envelope")
            self.body(ours[8], theirs[8], where + " body")
            self.lines(ours[9], theirs[9], where, crlf_rule)
        elif lower(ours[0]) == b"text" and len(ours) > 7 and len(theirs) > 7:
            self.lines(ours[7], theirs[7], where, crlf_rule)

    def lines(self, ours, theirs, where, crlf_rule):
        if int(ours) == int(theirs):
            return
        # Counted to the end of a last line without CR LF.
        rule = crlf_rule or ("last-line-count" if abs(int(ours) - int(theirs)) == 1 else None)
        self.differ(where + " lines", ours, theirs, rule)

    def envelope(self, ours, theirs, where):
        names = ("date", "subject", "from", "sender", "reply-to", "to", "cc", "bcc", "in-reply-to", "message-id")
        for name, a, b in zip(names, ours, theirs):
            if a != b:
                self.differ("%s %s" % (where, name), a, b)

    def section(self, name, ours, theirs):
        if ours == theirs:
            return
        rule = "part-end-crlf" if theirs in (ours + b"\r\n", ours + b"\n") else self.rfc2231_boundary()
        self.differ("BODY[%s]" % name, ours[-40:] if ours else ours, theirs[-40:] if theirs else theirs, rule)


SEARCHES = ["SUBJECT test", "FROM barry", "TO python.org", "CC python", "BODY attachment", "TEXT python",
            "HEADER Content-Type multipart", "HEADER X-Mailer \"\"", "SENTSINCE 1-Jan-2001",
            "SENTBEFORE 1-Jan-2001", "SENTON 4-May-2001", "LARGER 2000", "NOT TEXT barry"]


@unittest.skipUnless(os.access(DOVECOT, os.X_OK) and CORPUS, "Dovecot or the message corpus is not installed")
class DovecotComparisonTest(unittest.TestCase):
    def test_same_messages_same_answers(self):
        texts = []
        for path in CORPUS:
            with open(path, "rb") as handle:
                texts.append(crlf(handle.read()))
        names = [os.path.basename(path) for path in CORPUS]
        dovecot = Dovecot().start()
        self.addCleanup(dovecot.stop)
        dovecot.append(texts)
        mailbox = {ACCOUNT: {"password": PASSWORD, "folders": [
            {"name": "inbox", "messages": texts}, {"name": "deleteditems"}]}}
        service = HTTPMailFixture(mailbox=mailbox).start()
        self.addCleanup(service.stop)
        gateway = Gateway(service).start()
        self.addCleanup(gateway.stop)

        ours, theirs = Connection(gateway.imap_port), Connection(dovecot.port)
        self.addCleanup(ours.close)
        self.addCleanup(theirs.close)
        ours.command("LOGIN %s %s" % (ACCOUNT, PASSWORD))
        theirs.command("LOGIN u p")
        for connection in (ours, theirs):
            connection.command("EXAMINE INBOX")

        comparisons = []
        whole = "RFC822.SIZE ENVELOPE BODYSTRUCTURE BODY.PEEK[] BODY.PEEK[HEADER] BODY.PEEK[TEXT]"
        for number, (name, text) in enumerate(zip(names, texts), 1):
            c = Comparison(name, text)
            comparisons.append(c)
            a, b = ours.fetch(number, whole), theirs.fetch(number, whole)
            for item in ("RFC822.SIZE", "BODY[]", "BODY[HEADER]", "BODY[TEXT]"):
                if a.get(item) != b.get(item):
                    c.differ(item, a.get(item), b.get(item))
            c.envelope(a["ENVELOPE"], b["ENVELOPE"], "ENVELOPE")
            c.body(a["BODYSTRUCTURE"], b["BODYSTRUCTURE"], "BODYSTRUCTURE")
            paths = sorted(set(part_paths(a["BODYSTRUCTURE"])) & set(part_paths(b["BODYSTRUCTURE"])))[:40]
            for path in paths:
                section = ".".join(map(str, path))
                items = "BODY.PEEK[%s] BODY.PEEK[%s.MIME]" % (section, section)
                x, y = ours.fetch(number, items), theirs.fetch(number, items)
                for key in ("BODY[%s]" % section, "BODY[%s.MIME]" % section):
                    c.section(key[5:-1], x.get(key), y.get(key))
        searches = Comparison("(all)", b"")
        for criteria in SEARCHES:
            found_ours, found_theirs = ours.search(criteria), theirs.search(criteria)
            if found_ours != found_theirs:
                searches.differ("SEARCH " + criteria, found_ours, found_theirs)
        comparisons.append(searches)

        unexplained = [line for c in comparisons for line in c.unexplained]
        if os.environ.get("KESTRELON_COMPARE_REPORT"):
            for c in comparisons:
                for rule, where, a, b in c.explained:
                    print("%s %s: %s (ours %.60r, Dovecot %.60r)" % (c.name, where, rule, a, b))
            for rule in sorted({e[0] for c in comparisons for e in c.explained}):
                print("%s: %s" % (rule, KNOWN[rule]))
            for item in ("ENVELOPE", "BODYSTRUCTURE", "BODY[", "SEARCH"):
                differing = [c.name for c in comparisons if any(" %s" % item in line for line in c.unexplained)]
                print("%s differs (unexplained) on %d of %d messages" % (item, len(differing), len(texts)))
        self.assertEqual([], unexplained, "\n".join(unexplained))
        self.assertTrue(gateway.running())


if __name__ == "__main__":
    unittest.main()
