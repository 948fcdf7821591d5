"""Authentication: Digest (MD5, qop=auth) and Basic, per account."""

import base64
import subprocess
import unittest
import urllib.error
import urllib.request

from servicetest import DEMO, ROOT_BODY, DavClient, HTTPMailFixture, ServiceTestCase, digest_params

ENTRY = "/svcs/hotmail/httpmail.asp"


def curl(*args):
    done = subprocess.run(["curl", "--noproxy", "*", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                           "--max-time", "10"] + list(args), capture_output=True, timeout=20)
    return int(done.stdout)


class DigestTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo"}, "basic@hotmail.com": {"password": "b", "auth": "basic"},
               "jp@hotmail.com": {"password": "パス"}}

    def propfind_with_curl(self, scheme, user):
        return curl(scheme, "-u", user, "-X", "PROPFIND", "-H", "Depth: 0",
                    "-H", "Content-Type: text/xml", "--data-binary", ROOT_BODY.decode(),
                    self.svc.entry_url)

    def test_curl_digest_and_anyauth(self):
        self.assertEqual(207, self.propfind_with_curl("--digest", DEMO + ":demo"))
        self.assertEqual(207, self.propfind_with_curl("--anyauth", DEMO + ":demo"))
        self.assertEqual(401, self.propfind_with_curl("--digest", DEMO + ":wrong"))
        self.assertEqual(401, self.propfind_with_curl("--digest", "nobody@hotmail.com:demo"))
        sent = [e for e in self.svc.requests("PROPFIND") if e["account"] == DEMO]
        self.assertEqual(2, len(sent))
        self.assertTrue(all(dict(e["headers"])["Authorization"].startswith("Digest ") for e in sent))

    def test_challenge_offers_digest_then_basic(self):
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY, auth=False)
        self.assertEqual(401, reply.status)
        offers = [v for k, v in reply.getheaders() if k.lower() == "www-authenticate"]
        self.assertEqual(2, len(offers))
        params = digest_params(offers[0])
        self.assertTrue(offers[0].startswith("Digest "))
        self.assertEqual(("hotmail.com", "auth", "MD5"), (params["realm"], params["qop"], params["algorithm"]))
        self.assertEqual('Basic realm="hotmail.com"', offers[1])
        (logged,) = self.svc.requests()
        self.assertEqual((401, None), (logged["status"], logged["account"]))

    def test_urllib_digest_handler(self):
        manager = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        manager.add_password(None, self.svc.url, DEMO, "demo")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                             urllib.request.HTTPDigestAuthHandler(manager))
        request = urllib.request.Request(self.svc.entry_url, data=ROOT_BODY, method="PROPFIND")
        with opener.open(request, timeout=10) as reply:
            self.assertEqual(207, reply.status)
        manager.add_password(None, self.svc.url, DEMO, "bad")
        with self.assertRaises(urllib.error.HTTPError) as caught:
            opener.open(urllib.request.Request(self.svc.entry_url, data=ROOT_BODY, method="PROPFIND"), timeout=10)
        self.assertEqual(401, caught.exception.code)

    def test_nonce_count_replay_and_unknown_nonce_are_refused_as_stale(self):
        status, _, _ = self.client.request("PROPFIND", ENTRY, ROOT_BODY)
        self.assertEqual(207, status)
        replay = self.client.authorization("PROPFIND", ENTRY, nc=1)
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY, {"Authorization": replay}, auth=False)
        self.assertEqual(401, reply.status)
        self.assertIn("stale=true", reply.getheader("WWW-Authenticate"))
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY)  # nc 2: accepted
        self.assertEqual(207, reply.status)
        self.client.challenge["nonce"] = "bm90IGlzc3VlZA=="
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY)
        self.assertEqual(401, reply.status)
        self.assertIn("stale=true", reply.getheader("WWW-Authenticate"))

    def test_digest_for_another_uri_or_realm_is_refused(self):
        self.client.request("PROPFIND", ENTRY, ROOT_BODY)
        other_uri = self.client.authorization("PROPFIND", "/hmdata/%s/" % DEMO)
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY, {"Authorization": other_uri}, auth=False)
        self.assertEqual(401, reply.status)
        self.client.challenge["realm"] = "elsewhere"
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY)
        self.assertEqual(401, reply.status)

    def test_basic_and_per_account_scheme(self):
        def basic(user, password):
            if isinstance(password, str):
                password = password.encode()
            token = base64.b64encode(user.encode() + b":" + password).decode()
            reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY,
                                        {"Authorization": "Basic " + token}, auth=False)
            return reply.status
        self.assertEqual(207, basic(DEMO, "demo"))
        self.assertEqual(207, basic(DEMO.upper(), "demo"))  # user names ignore case
        self.assertEqual(401, basic(DEMO, "Demo"))          # passwords do not
        self.assertEqual(207, basic("basic@hotmail.com", "b"))
        # A non-ASCII password may arrive as UTF-8 or as code page 932 bytes.
        self.assertEqual(207, basic("jp@hotmail.com", "パス".encode("cp932")))
        self.assertEqual(207, basic("jp@hotmail.com", "パス"))
        self.assertEqual(401, basic("jp@hotmail.com", "パ"))
        digest_only = DavClient(self.svc.port, "basic@hotmail.com", "b")
        try:
            status, _, _ = digest_only.request("PROPFIND", ENTRY, ROOT_BODY)
            self.assertEqual(401, status)
        finally:
            digest_only.close()
        self.assertEqual(401, curl("--basic", "-u", DEMO + ":x", self.svc.entry_url))


class BasicOnlyTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo"}}
    OPTIONS = {"auth": "basic"}

    def test_only_basic_is_offered_and_digest_refused(self):
        reply, _ = self.client.send("PROPFIND", ENTRY, ROOT_BODY, auth=False)
        self.assertEqual(['Basic realm="hotmail.com"'],
                         [v for k, v in reply.getheaders() if k.lower() == "www-authenticate"])
        self.assertEqual(207, curl("--anyauth", "-u", DEMO + ":demo", "-X", "PROPFIND", self.svc.entry_url))
        self.assertEqual(401, curl("--digest", "-u", DEMO + ":demo", "-X", "PROPFIND", self.svc.entry_url))


class ControlTest(ServiceTestCase):
    """The control interface hands out every account's password and every
    sent message: only a caller that knows the service's secret gets it."""

    MAILBOX = {DEMO: {"password": "demo"}}

    def control(self, port, secret, path="requests"):
        headers = {} if secret is None else {"X-Control-Secret": secret}
        request = urllib.request.Request("http://127.0.0.1:%d/_control/%s" % (port, path), headers=headers)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=10) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def test_control_needs_the_secret(self):
        self.client.request("PROPFIND", ENTRY, ROOT_BODY)  # records the credentials
        secret = self.svc.control_secret
        for wrong in (None, "", secret[:-1], secret + "x", secret.upper() if secret != secret.upper() else "x"):
            status, body = self.control(self.svc.port, wrong)
            self.assertEqual(403, status, wrong)
            self.assertNotIn(b"Authorization", body, wrong)
        status, body = self.control(self.svc.port, secret)
        self.assertEqual(200, status)
        self.assertIn(b"Authorization", body)

    def test_control_is_off_without_a_secret(self):
        svc = HTTPMailFixture(mailbox=self.MAILBOX, control=False).start()
        try:
            for secret in (None, "", self.svc.control_secret):
                status, body = self.control(svc.port, secret, "ping")
                self.assertEqual(401, status, secret)  # an address like any other of the service
                self.assertNotIn(b"ok", body, secret)
        finally:
            svc.stop()


if __name__ == "__main__":
    unittest.main()
