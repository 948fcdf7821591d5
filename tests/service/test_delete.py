"""DELETE of messages."""

import unittest

from servicetest import DEMO, ServiceTestCase


class DeleteTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo", "folders": [
        {"name": "inbox", "messages": [b"Subject: a\r\n\r\na\r\n", {"data": b"Subject: b\r\n\r\nb\r\n", "read": True}]},
    ]}}

    def test_delete_removes_file_and_flags_and_then_is_404(self):
        status, _, body = self.client.request("DELETE", self.demo_path("F000000001/MSG0002"))
        self.assertEqual(204, status)
        self.assertEqual(b"", body)
        self.assertEqual(["MSG0001"], self.svc.message_ids(DEMO, "inbox"))
        self.assertNotIn("MSG0002", self.svc.folder_meta(DEMO, "inbox").get("messages", {}))
        status, _, _ = self.client.request("DELETE", self.demo_path("F000000001/MSG0002"))
        self.assertEqual(404, status)
        self.assertEqual(["MSG0001"], self.svc.message_ids(DEMO, "inbox"))

    def test_a_folder_cannot_be_deleted(self):
        status, _, _ = self.client.request("DELETE", self.demo_path("F000000001/"))
        self.assertEqual(405, status)
        self.assertEqual(["MSG0001"], self.svc.message_ids(DEMO, "inbox")[:1])


if __name__ == "__main__":
    unittest.main()
