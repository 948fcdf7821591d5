"""Shared pieces of the service's own tests: a fixture per test class and a
WebDAV client that answers Digest challenges on one kept-alive connection."""

import hashlib
import http.client
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ.get("KESTRELON_SOURCE", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")), "tests", "support"))

from httpmail_fixture import HTTPMailFixture  # noqa: E402

DEMO = "demo@hotmail.com"
FRIEND = "friend@hotmail.com"
NS = {"D": "DAV:", "hm": "urn:schemas:httpmail:", "m": "urn:schemas:mailheader:",
      "h": "http://schemas.microsoft.com/hotmail/"}

# The request bodies the plug-in sends, byte for byte.
ROOT_BODY = (b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:">'
             b'<D:prop><hm:msgfolderroot/><hm:sendmsg/></D:prop></D:propfind>')
FOLDERS_BODY = (b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:">'
                b'<D:prop><D:id/><D:visiblecount/><D:displayname/><hm:special/></D:prop></D:propfind>')
MAILS_BODY = (b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:" '
              b'xmlns:m="urn:schemas:mailheader:" xmlns:h="http://schemas.microsoft.com/hotmail/">'
              b'<D:prop><D:id/><hm:read/><m:to/><h:fromaddr/><m:subject/><m:date/>'
              b'<D:getcontentlength/></D:prop></D:propfind>')
MARK_READ_BODY = (b'<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:">'
                  b'<D:set><D:prop><hm:read>1</hm:read></D:prop></D:set></D:propertyupdate>')
PROPFIND_HEADERS = {"Depth": "0", "Brief": "t", "Content-Type": "text/xml", "Accept-CharSet": "UTF-16"}


def md5(text):
    return hashlib.md5(text.encode("latin-1")).hexdigest()


def digest_params(challenge):
    return dict((k.lower(), v.strip('"')) for k, v in re.findall(r'(\w+)=("[^"]*"|[^,\s]+)', challenge))


class DavClient:
    """One HTTP/1.1 connection; answers 401 Digest challenges and retries."""

    def __init__(self, port, user=DEMO, password="demo"):
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.user, self.password = user, password
        self.challenge = None
        self.nc = 0
        self.rounds = 0  # requests actually sent

    def close(self):
        self.connection.close()

    def authorization(self, method, path, nc=None):
        p = self.challenge
        self.nc = self.nc + 1 if nc is None else nc
        nc_text, cnonce = "%08x" % self.nc, "0a4f113b"
        ha1 = md5("%s:%s:%s" % (self.user, p["realm"], self.password))
        ha2 = md5("%s:%s" % (method, path))
        response = md5("%s:%s:%s:%s:auth:%s" % (ha1, p["nonce"], nc_text, cnonce, ha2))
        return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s", '
                'qop=auth, nc=%s, cnonce="%s", opaque="%s", algorithm=MD5' % (
                    self.user, p["realm"], p["nonce"], path, response, nc_text, cnonce, p["opaque"]))

    def send(self, method, path, body=b"", headers=None, auth=True):
        headers = dict(headers or {})
        if auth and self.challenge:
            headers["Authorization"] = self.authorization(method, path)
        self.rounds += 1
        self.connection.request(method, path, body=body, headers=headers)
        reply = self.connection.getresponse()
        data = reply.read()
        return reply, data

    def request(self, method, path, body=b"", headers=None):
        """(status, headers, body), authenticating when challenged."""
        reply, data = self.send(method, path, body, headers)
        if reply.status == 401:
            digest = [v for k, v in reply.getheaders()
                      if k.lower() == "www-authenticate" and v.startswith("Digest")]
            if digest:
                self.challenge = digest_params(digest[0])
                self.nc = 0
                reply, data = self.send(method, path, body, headers)
        return reply.status, reply, data


class ServiceTestCase(unittest.TestCase):
    """Starts one service per test class; MAILBOX None means the sample mailbox."""

    MAILBOX = None
    OPTIONS = {}
    FRESH = False  # True: a new copy of the mailbox for every test

    @classmethod
    def setUpClass(cls):
        cls.svc = HTTPMailFixture(mailbox=cls.MAILBOX, **cls.OPTIONS).start()

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()

    def setUp(self):
        if self.FRESH:
            self.svc.stop()
            self.svc.start()
        self.svc.reset()
        self.client = DavClient(self.svc.port)

    def tearDown(self):
        self.client.close()

    def path(self, url):
        self.assertTrue(url.startswith(self.svc.url + "/"), url)
        return url[len(self.svc.url):]

    def propfind(self, path, body, headers=PROPFIND_HEADERS):
        return self.client.request("PROPFIND", path, body, headers)

    def demo_path(self, rest=""):
        return "/hmdata/%s/%s" % (DEMO, rest)
