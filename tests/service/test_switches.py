"""Switches that make the service misbehave, and the request log."""

import http.client
import time
import unittest
import xml.etree.ElementTree as ET

from servicetest import DEMO, MAILS_BODY, NS, PROPFIND_HEADERS, ROOT_BODY, DavClient, ServiceTestCase

ENTRY = "/svcs/hotmail/httpmail.asp"
JP_SUBJECT = "件名".encode("utf-8")


class SwitchTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo", "folders": [
        {"name": "inbox", "messages": [("Subject: =?UTF-8?B?5Lu25ZCN?=\r\n\r\nx\r\n").encode()]},
        {"name": "deleteditems"}]}}

    def discover(self):
        return self.client.request("PROPFIND", ENTRY, ROOT_BODY, PROPFIND_HEADERS)

    def test_next_status_applies_once_to_its_method_and_changes_nothing(self):
        self.svc.set_next_status("MOVE", 500)
        self.assertEqual(207, self.discover()[0])  # other verbs untouched
        move = {"Destination": self.svc.folder_root_url(DEMO) + "F000000004/MSG0001"}
        status, _, body = self.client.request("MOVE", self.demo_path("F000000001/MSG0001"), headers=move)
        self.assertEqual(500, status)
        self.assertEqual(["MSG0001"], self.svc.message_ids(DEMO, "inbox"))
        self.assertEqual(201, self.client.request("MOVE", self.demo_path("F000000001/MSG0001"), headers=move)[0])
        self.assertEqual([], self.svc.faults())
        back = {"Destination": self.svc.folder_root_url(DEMO) + "F000000001/MSG0001"}
        self.assertEqual(201, self.client.request("MOVE", self.demo_path("F000000004/MSG0001"), headers=back)[0])

    def test_authentication_round_trip_does_not_use_a_fault_up(self):
        self.svc.set_next_status("PROPFIND", 503)
        status, _, _ = self.discover()       # 401, then 503 with credentials
        self.assertEqual(503, status)
        self.assertEqual([401, 503], [e["status"] for e in self.svc.requests()])
        self.assertEqual(207, self.discover()[0])

    def test_path_filter_times_and_injected_401(self):
        self.svc.set_next_status("*", 404, times=2, path="/F000000001/")
        self.assertEqual(207, self.discover()[0])
        for _ in range(2):
            self.assertEqual(404, self.client.request("GET", self.demo_path("F000000001/MSG0001"))[0])
        self.assertEqual(200, self.client.request("GET", self.demo_path("F000000001/MSG0001"))[0])
        self.svc.set_next_status("GET", 401, times=-1)
        for _ in range(3):
            reply, _ = self.client.send("GET", self.demo_path("F000000001/MSG0001"))
            self.assertEqual(401, reply.status)
            self.assertTrue(reply.getheader("WWW-Authenticate").startswith("Digest "))
        self.svc.clear_faults()
        self.assertEqual(200, self.client.request("GET", self.demo_path("F000000001/MSG0001"))[0])

    def test_delay(self):
        self.discover()
        self.svc.set_delay("GET", 0.4)
        started = time.monotonic()
        status, _, _ = self.client.request("GET", self.demo_path("F000000001/MSG0001"))
        self.assertEqual(200, status)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_body_modes(self):
        _, _, whole = self.discover()
        self.svc.add_fault(method="PROPFIND", body="malformed")
        status, reply, body = self.discover()
        self.assertEqual(207, status)
        self.assertEqual(whole[:len(whole) // 2], body)
        self.assertEqual(str(len(body)), reply.getheader("Content-Length"))
        with self.assertRaises(ET.ParseError):
            ET.fromstring(body)
        for mode, expected in (("empty", b""), ("garbage", b"this is not XML\r\n")):
            self.svc.add_fault(method="PROPFIND", body=mode)
            self.assertEqual((207, expected), self.discover()[::2])
        self.svc.add_fault(method="PROPFIND", raw_body="<a>\x00</a>\xff")
        self.assertEqual((207, b"<a>\x00</a>\xff"), self.discover()[::2])

    def test_truncated_reply_and_close_without_answer(self):
        self.discover()
        self.svc.add_fault(method="PROPFIND", body="truncated")
        with self.assertRaises(http.client.IncompleteRead):
            self.discover()
        self.client.close()
        self.client = DavClient(self.svc.port)
        self.discover()
        self.svc.add_fault(method="GET", close=True)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.client.send("GET", self.demo_path("F000000001/MSG0001"))
        last = self.svc.requests("GET")[-1]
        self.assertEqual((None, DEMO), (last["status"], last["account"]))

    def test_omit_property_chunked_and_extra_headers(self):
        self.svc.add_fault(method="PROPFIND", omit=["hm:sendmsg"], chunked=True, headers={"X-Test": "1"})
        status, reply, body = self.discover()
        self.assertEqual(207, status)
        self.assertEqual("chunked", reply.getheader("Transfer-Encoding"))
        self.assertEqual("1", reply.getheader("X-Test"))
        prop = ET.fromstring(body).find("D:response/D:propstat/D:prop", NS)
        self.assertEqual(["{urn:schemas:httpmail:}msgfolderroot"], [p.tag for p in prop])

    def test_reply_encodings_and_prefixes(self):
        path = self.demo_path("F000000001/")
        self.svc.add_fault(method="PROPFIND", encoding="utf-16")
        _, reply, body = self.propfind(path, MAILS_BODY)
        self.assertTrue(body.startswith(b"\xff\xfe<\x00?\x00x\x00m\x00l\x00"))
        self.assertIn("件名", body.decode("utf-16"))
        self.svc.add_fault(method="PROPFIND", encoding="bare")
        _, reply, body = self.propfind(path, MAILS_BODY)
        self.assertTrue(body.startswith(b'<?xml version="1.0"?><D:multistatus'))
        self.assertIn("件名".encode("cp932"), body)
        self.svc.add_fault(method="PROPFIND", encoding="shift_jis")
        _, reply, body = self.propfind(path, MAILS_BODY)
        self.assertIn(b'encoding="Shift_JIS"', body)
        self.svc.add_fault(method="PROPFIND", prefixes={"D": "a", "hm": "b"})
        _, _, body = self.propfind(path, MAILS_BODY)
        self.assertIn(b'<a:multistatus xmlns:a="DAV:" xmlns:b="urn:schemas:httpmail:"', body)
        self.assertIn(b"<b:read>0</b:read>", body)
        self.assertNotIn(b"<D:", body)

    def test_bad_rules_are_refused(self):
        for rule in ({"method": "GET"}, {"status": "500"}, {"delay": 600}, {"body": "bogus"},
                     {"status": 500, "times": 0}, {"status": 500, "colour": "red"}):
            with self.assertRaises(RuntimeError):
                self.svc.add_fault(**rule)
        self.assertEqual([], self.svc.faults())

    def test_request_log_records_what_was_sent(self):
        self.discover()
        self.client.request("GET", self.demo_path("F000000001/MSG0001"),
                            headers={"Accept": "message/rfc822, */*", "Translate": "f"})
        entries = self.svc.requests()
        self.assertEqual(["PROPFIND", "PROPFIND", "GET"], [e["method"] for e in entries])
        self.assertEqual(ROOT_BODY, entries[1]["body"])
        self.assertEqual(ENTRY, entries[1]["path"])
        names = [k for k, _ in entries[1]["headers"]]
        self.assertEqual(["Depth", "Brief", "Content-Type", "Accept-CharSet"],
                         [n for n in names if n in PROPFIND_HEADERS])
        (get,) = self.svc.requests("GET")
        self.assertEqual((200, b"", DEMO), (get["status"], get["body"], get["account"]))
        self.assertIn(["Translate", "f"], get["headers"])
        self.svc.clear_requests()
        self.assertEqual([], self.svc.requests())


if __name__ == "__main__":
    unittest.main()
