"""MOVE and COPY of messages: the Destination the client builds is folder href + id."""

import unittest

from servicetest import DEMO, ServiceTestCase

A = b"Subject: a\r\n\r\na\r\n"
B = b"Subject: b\r\n\r\nb\r\n"


class MoveTest(ServiceTestCase):
    MAILBOX = {DEMO: {"password": "demo", "folders": [
        {"name": "inbox", "messages": [A, {"data": B, "read": True}]},
        {"name": "deleteditems"},
        {"name": "Old", "id": "F0000OLD", "messages": [{"id": "MSG0002", "data": b"other\r\n"}]},
    ]}, "friend@hotmail.com": {"password": "friend", "folders": [{"name": "inbox"}]}}

    FRESH = True

    def move(self, msg_id, destination, **headers):
        headers = dict({"Destination": destination, "Allow-Rename": "t"}, **headers)
        return self.client.request("MOVE", self.demo_path("F000000001/" + msg_id), headers=headers)

    def test_move_into_deleted_items_keeps_bytes_and_read_flag(self):
        deleted = self.svc.folder_root_url(DEMO) + "F000000004/"
        status, reply, _ = self.move("MSG0002", deleted + "MSG0002")
        self.assertEqual(201, status)
        self.assertEqual(deleted + "MSG0002", reply.getheader("Location"))
        self.assertEqual(["MSG0001"], self.svc.message_ids(DEMO, "inbox"))
        self.assertEqual(["MSG0002"], self.svc.message_ids(DEMO, "deleteditems"))
        self.assertEqual(B, self.svc.message_bytes(DEMO, "deleteditems", "MSG0002"))
        self.assertTrue(self.svc.is_read(DEMO, "deleteditems", "MSG0002"))
        self.assertNotIn("MSG0002", self.svc.folder_meta(DEMO, "inbox").get("messages", {}))
        status, _, _ = self.move("MSG0002", deleted + "MSG0002")
        self.assertEqual(404, status)

    def test_taken_name_is_renamed_with_allow_rename_else_412_or_replaced(self):
        old = self.svc.folder_root_url(DEMO) + "F0000OLD/"
        status, _, _ = self.move("MSG0002", old + "MSG0002", **{"Allow-Rename": "f", "Overwrite": "F"})
        self.assertEqual(412, status)
        self.assertEqual(["MSG0001", "MSG0002"], self.svc.message_ids(DEMO, "inbox"))
        status, reply, _ = self.move("MSG0002", old + "MSG0002")
        self.assertEqual(201, status)
        new_id = reply.getheader("Location").rsplit("/", 1)[1]
        self.assertNotEqual("MSG0002", new_id)
        self.assertEqual(B, self.svc.message_bytes(DEMO, "Old", new_id))
        self.assertEqual(b"other\r\n", self.svc.message_bytes(DEMO, "Old", "MSG0002"))
        status, _, _ = self.move("MSG0001", old + "MSG0002", **{"Allow-Rename": "f"})
        self.assertEqual(204, status)
        self.assertEqual(A, self.svc.message_bytes(DEMO, "Old", "MSG0002"))

    def test_copy_keeps_the_source_and_renames_a_taken_name(self):
        old = self.svc.folder_root_url(DEMO) + "F0000OLD/"
        status, reply, _ = self.client.request("COPY", self.demo_path("F000000001/MSG0002"),
                                               headers={"Destination": old + "MSG0002", "Allow-Rename": "t"})
        self.assertEqual(201, status)
        new_id = reply.getheader("Location").rsplit("/", 1)[1]
        self.assertNotEqual("MSG0002", new_id)
        self.assertEqual(["MSG0001", "MSG0002"], self.svc.message_ids(DEMO, "inbox"))
        self.assertEqual(B, self.svc.message_bytes(DEMO, "inbox", "MSG0002"))
        self.assertEqual(B, self.svc.message_bytes(DEMO, "Old", new_id))
        self.assertTrue(self.svc.is_read(DEMO, "inbox", "MSG0002"))
        self.assertTrue(self.svc.is_read(DEMO, "Old", new_id))
        self.assertEqual(b"other\r\n", self.svc.message_bytes(DEMO, "Old", "MSG0002"))
        status, _, _ = self.client.request("COPY", self.demo_path("F000000001/MSG0001"), headers={})
        self.assertEqual(400, status)

    def test_bad_destinations_change_nothing(self):
        root = self.svc.folder_root_url(DEMO)
        cases = [
            ({}, 400),                                                       # no Destination
            ({"Destination": root + "F000000009/MSG0001"}, 409),             # no such folder
            ({"Destination": "http://127.0.0.2:1/x/MSG0001"}, 502),          # another server
            ({"Destination": self.svc.folder_root_url("friend@hotmail.com") + "F000000001/MSG0001"}, 403),
            ({"Destination": root + "F000000001/MSG0001"}, 403),             # onto itself
        ]
        for headers, expected in cases:
            status, _, _ = self.client.request("MOVE", self.demo_path("F000000001/MSG0001"), headers=headers)
            self.assertEqual(expected, status, headers)
        self.assertEqual(["MSG0001", "MSG0002"], self.svc.message_ids(DEMO, "inbox"))
        self.assertEqual([], self.svc.message_ids(DEMO, "deleteditems"))


if __name__ == "__main__":
    unittest.main()
