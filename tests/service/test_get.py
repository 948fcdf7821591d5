"""GET and HEAD of messages: bytes exactly as stored."""

import unittest

from servicetest import DEMO, ServiceTestCase

GET_HEADERS = {"Accept": "message/rfc822, */*", "Translate": "f"}


class GetTest(ServiceTestCase):
    def test_every_sample_message_comes_back_byte_for_byte(self):
        for folder, folder_id in (("inbox", "F000000001"), ("bulkmail", "F000000005"),
                                  ("Work", "F7A3C2E10")):
            for msg_id in self.svc.message_ids(DEMO, folder):
                status, reply, body = self.client.request(
                    "GET", self.demo_path("%s/%s" % (folder_id, msg_id)), headers=GET_HEADERS)
                self.assertEqual(200, status)
                self.assertEqual("message/rfc822", reply.getheader("Content-Type"))
                self.assertEqual(self.svc.message_bytes(DEMO, folder, msg_id), body)

    def test_sample_holds_the_byte_exactness_cases(self):
        dots = self.svc.message_bytes(DEMO, "inbox", "MSG0003")
        self.assertIn(b"\r\n.\r\n", dots)
        jp = self.svc.message_bytes(DEMO, "inbox", "MSG0004")
        self.assertIn(b"\x1b$B", jp)  # ISO-2022-JP escape in the body
        self.assertIn(b"=?ISO-2022-JP?B?", jp)
        for folder in ("inbox", "bulkmail", "Work"):
            for msg_id in self.svc.message_ids(DEMO, folder):
                data = self.svc.message_bytes(DEMO, folder, msg_id)
                self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), msg_id)

    def test_head_gives_the_length_without_a_body(self):
        status, reply, body = self.client.request("HEAD", self.demo_path("F000000001/MSG0001"))
        self.assertEqual(200, status)
        self.assertEqual(b"", body)
        size = len(self.svc.message_bytes(DEMO, "inbox", "MSG0001"))
        self.assertEqual(str(size), reply.getheader("Content-Length"))

    def test_one_byte_range_gets_206_and_others_the_whole(self):
        data = self.svc.message_bytes(DEMO, "inbox", "MSG0001")
        n = len(data)
        cases = [  # Range header, status, body, Content-Range
            ("bytes=0-9", 206, data[:10], "bytes 0-9/%d" % n),
            ("bytes=5-", 206, data[5:], "bytes 5-%d/%d" % (n - 1, n)),
            ("bytes=-4", 206, data[-4:], "bytes %d-%d/%d" % (n - 4, n - 1, n)),
            ("bytes=0-%d" % (n + 100), 206, data, "bytes 0-%d/%d" % (n - 1, n)),
            ("bytes=%d-" % n, 416, b"", "bytes */%d" % n),
            ("bytes=0-1,4-5", 200, data, None),
            ("bytes=9-2", 200, data, None),
            ("lines=0-2", 200, data, None),
        ]
        for header, status, body, content_range in cases:
            got, reply, received = self.client.request(
                "GET", self.demo_path("F000000001/MSG0001"), headers=dict(GET_HEADERS, Range=header))
            self.assertEqual((status, body, content_range), (got, received, reply.getheader("Content-Range")),
                             header)

    def test_unknown_message_and_folder_are_404(self):
        for path in ("F000000001/MSG9999", "F000000009/MSG0001", "F000000001/..%2Faccounts.json"):
            status, _, _ = self.client.request("GET", self.demo_path(path))
            self.assertEqual(404, status, path)

    def test_get_of_a_collection_is_not_allowed(self):
        status, reply, _ = self.client.request("GET", self.demo_path("F000000001/"))
        self.assertEqual(405, status)
        self.assertIn("PROPFIND", reply.getheader("Allow"))


if __name__ == "__main__":
    unittest.main()
