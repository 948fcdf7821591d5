"""PROPPATCH of hm:read."""

import unittest
import xml.etree.ElementTree as ET

from servicetest import DEMO, MARK_READ_BODY, NS, ServiceTestCase


def update(action, inner):
    return ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:">'
            '<D:%s><D:prop>%s</D:prop></D:%s></D:propertyupdate>' % (action, inner, action)).encode()


class PropPatchTest(ServiceTestCase):
    FRESH = True
    MAILBOX = {DEMO: {"password": "demo", "folders": [
        {"name": "inbox", "messages": [b"Subject: a\r\n\r\na\r\n", b"Subject: b\r\n\r\nb\r\n"]}]}}

    def patch(self, body, msg_id="MSG0001"):
        return self.client.request("PROPPATCH", self.demo_path("F000000001/" + msg_id), body,
                                   {"Brief": "t"})

    def statuses(self, body):
        result = {}
        for propstat in ET.fromstring(body).findall("D:response/D:propstat", NS):
            code = propstat.find("D:status", NS).text
            for node in propstat.find("D:prop", NS):
                result[node.tag] = code
        return result

    def test_client_body_marks_read_and_remove_marks_unread(self):
        status, _, body = self.patch(MARK_READ_BODY)
        self.assertEqual(207, status)
        self.assertEqual({"{urn:schemas:httpmail:}read": "HTTP/1.1 200 OK"}, self.statuses(body))
        self.assertTrue(self.svc.is_read(DEMO, "inbox", "MSG0001"))
        self.assertFalse(self.svc.is_read(DEMO, "inbox", "MSG0002"))
        status, _, _ = self.patch(update("remove", "<hm:read/>"))
        self.assertEqual(207, status)
        self.assertFalse(self.svc.is_read(DEMO, "inbox", "MSG0001"))
        status, _, _ = self.patch(update("set", "<hm:read>1</hm:read>"))
        status, _, _ = self.patch(update("set", "<hm:read>0</hm:read>"))
        self.assertFalse(self.svc.is_read(DEMO, "inbox", "MSG0001"))

    def test_update_with_a_failing_property_changes_nothing(self):
        status, _, body = self.patch(update("set", "<hm:read>1</hm:read><D:displayname>x</D:displayname>"))
        self.assertEqual(207, status)
        self.assertEqual({"{urn:schemas:httpmail:}read": "HTTP/1.1 424 Failed Dependency",
                          "{DAV:}displayname": "HTTP/1.1 403 Forbidden"}, self.statuses(body))
        self.assertFalse(self.svc.is_read(DEMO, "inbox", "MSG0001"))
        status, _, body = self.patch(update("set", "<hm:read>yes</hm:read>"))
        self.assertEqual({"{urn:schemas:httpmail:}read": "HTTP/1.1 409 Conflict"}, self.statuses(body))
        self.assertFalse(self.svc.is_read(DEMO, "inbox", "MSG0001"))

    def test_malformed_body_is_400_and_unknown_message_404(self):
        for body in (b"", b"<D:propertyupdate xmlns:D='DAV:'>", MARK_READ_BODY[:-5],
                     b'<D:propertyupdate xmlns:D="DAV:"/>'):
            status, _, _ = self.patch(body)
            self.assertEqual(400, status, body)
        status, _, _ = self.patch(MARK_READ_BODY, "MSG0404")
        self.assertEqual(404, status)
        self.assertEqual({}, self.svc.folder_meta(DEMO, "inbox").get("messages"))


if __name__ == "__main__":
    unittest.main()
