"""PROPFIND: account discovery, folder list and message list replies."""

import unittest
import xml.etree.ElementTree as ET

from servicetest import (DEMO, FOLDERS_BODY, MAILS_BODY, NS, PROPFIND_HEADERS, ROOT_BODY,
                         ServiceTestCase)


def responses(body):
    return ET.fromstring(body).findall("D:response", NS)


def prop(response, name):
    node = response.find("D:propstat/D:prop/" + name, NS)
    return None if node is None else (node.text or "")


class EntryTest(ServiceTestCase):
    def test_discovery_names_absolute_folder_root_and_send_urls(self):
        status, reply, body = self.propfind("/svcs/hotmail/httpmail.asp", ROOT_BODY)
        self.assertEqual(207, status)
        self.assertTrue(reply.getheader("Content-Type").startswith("text/xml"))
        head = body[:400].decode("utf-8")
        for binding in ('xmlns:D="DAV:"', 'xmlns:hm="urn:schemas:httpmail:"',
                        'xmlns:m="urn:schemas:mailheader:"',
                        'xmlns:h="http://schemas.microsoft.com/hotmail/"'):
            self.assertIn(binding, head)
        self.assertTrue(head.startswith('<?xml version="1.0" encoding="UTF-8"?><D:multistatus '))
        (only,) = responses(body)
        self.assertEqual(self.svc.folder_root_url(DEMO), prop(only, "hm:msgfolderroot"))
        self.assertEqual(self.svc.send_url(DEMO), prop(only, "hm:sendmsg"))
        # Brief: t leaves no propstat for missing properties.
        self.assertEqual(1, len(only.findall("D:propstat", NS)))

    def test_without_brief_unknown_properties_get_a_404_propstat(self):
        body = (b'<D:propfind xmlns:D="DAV:" xmlns:hm="urn:schemas:httpmail:" xmlns:x="urn:x:">'
                b'<D:prop><hm:sendmsg/><x:nothing/></D:prop></D:propfind>')
        status, _, reply = self.propfind("/svcs/hotmail/httpmail.asp", body, {"Depth": "0"})
        self.assertEqual(207, status)
        stats = responses(reply)[0].findall("D:propstat", NS)
        self.assertEqual(["HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found"],
                         [s.find("D:status", NS).text for s in stats])
        self.assertIsNotNone(stats[1].find("D:prop/{urn:x:}nothing", NS))

    def test_malformed_propfind_body_is_400(self):
        for body in (b"<D:propfind xmlns:D='DAV:'><D:prop>", b"<other/>",
                     b'<!DOCTYPE x [<!ENTITY a "b">]><D:propfind xmlns:D="DAV:"/>'):
            status, _, _ = self.propfind("/svcs/hotmail/httpmail.asp", body)
            self.assertEqual(400, status, body)

    def test_empty_body_means_all_properties(self):
        status, _, body = self.propfind("/svcs/hotmail/httpmail.asp", b"", {"Depth": "0"})
        self.assertEqual(207, status)
        only = responses(body)[0]
        self.assertIsNotNone(prop(only, "hm:msgfolderroot"))
        self.assertEqual(self.svc.folder_root_url(DEMO) + "F000000001/", prop(only, "hm:inbox"))


class FolderListTest(ServiceTestCase):
    def test_folders_listed_in_order_with_the_properties_the_client_reads(self):
        status, _, body = self.propfind(self.demo_path(), FOLDERS_BODY)
        self.assertEqual(207, status)
        rows = [(prop(r, "D:id"), prop(r, "hm:special"), prop(r, "D:displayname"),
                 prop(r, "D:visiblecount"), r.find("D:href", NS).text) for r in responses(body)]
        root = self.svc.folder_root_url(DEMO)
        self.assertEqual([
            ("F000000001", "inbox", None, "5", root + "F000000001/"),
            ("F000000002", "sentitems", None, "0", root + "F000000002/"),
            ("F000000004", "deleteditems", None, "0", root + "F000000004/"),
            ("F000000003", "draft", None, "0", root + "F000000003/"),
            ("F000000005", "bulkmail", None, "1", root + "F000000005/"),
            ("F000000006", "msnpromo", None, "0", root + "F000000006/"),
            ("F7A3C2E10", None, "Work", "1", root + "F7A3C2E10/"),
        ], rows)

    def test_depth_does_not_change_the_member_listing(self):
        _, _, depth0 = self.propfind(self.demo_path(), FOLDERS_BODY)
        _, _, depth1 = self.propfind(self.demo_path(), FOLDERS_BODY, dict(PROPFIND_HEADERS, Depth="1"))
        self.assertEqual(depth0, depth1)

    def test_other_accounts_mailbox_is_forbidden_and_unknown_paths_404(self):
        status, _, _ = self.propfind("/hmdata/friend@hotmail.com/", FOLDERS_BODY)
        self.assertEqual(403, status)
        status, _, _ = self.propfind(self.demo_path("NOFOLDER/"), MAILS_BODY)
        self.assertEqual(404, status)
        status, _, _ = self.propfind("/nothing/here", MAILS_BODY)
        self.assertEqual(404, status)


class MessageListTest(ServiceTestCase):
    def listing(self, folder="F000000001/"):
        status, _, body = self.propfind(self.demo_path(folder), MAILS_BODY)
        self.assertEqual(207, status)
        return responses(body)

    def test_message_properties(self):
        rows = self.listing()
        self.assertEqual(["MSG0001", "MSG0002", "MSG0003", "MSG0004", "MSG0005"],
                         [prop(r, "D:id") for r in rows])
        self.assertEqual(["0", "1", "0", "0", "0"], [prop(r, "hm:read") for r in rows])
        jp = rows[3]
        self.assertEqual("打ち合わせの件", prop(jp, "m:subject"))
        self.assertEqual("山田太郎 <yamada@example.jp>", prop(jp, "h:fromaddr"))
        self.assertEqual("demo@hotmail.com", prop(jp, "m:to"))
        # Date: Mon, 13 May 2002 09:30:00 +0900, given in UTC.
        self.assertEqual("2002-05-13T00:30:00Z", prop(jp, "m:date"))
        size = len(self.svc.message_bytes(DEMO, "inbox", "MSG0004"))
        self.assertEqual(str(size), prop(jp, "D:getcontentlength"))
        self.assertEqual(self.svc.folder_root_url(DEMO) + "F000000001/MSG0004", jp.find("D:href", NS).text)
        self.assertEqual("Grüße aus Köln – 東京", prop(rows[4], "m:subject"))

    def test_read_flag_and_overrides_come_from_folder_metadata(self):
        meta_path = self.svc.folder_path(DEMO, "bulkmail") + "/folder.json"
        with open(meta_path, "w") as handle:
            handle.write('{"messages": {"MSG0006": {"read": true, "date": "2002/01/02 03:04:05"}}}')
        (row,) = self.listing("F000000005/")
        self.assertEqual("1", prop(row, "hm:read"))
        self.assertEqual("2002/01/02 03:04:05", prop(row, "m:date"))

    def test_namespace_of_h_must_match_for_fromaddr(self):
        body = MAILS_BODY.replace(b"http://schemas.microsoft.com/hotmail/", b"urn:other:")
        status, _, reply = self.propfind(self.demo_path("F7A3C2E10/"), body)
        self.assertEqual(207, status)
        self.assertIsNone(prop(responses(reply)[0], "h:fromaddr"))

    def test_propfind_of_one_message(self):
        status, _, body = self.propfind(self.demo_path("F7A3C2E10/MSG0007"), MAILS_BODY)
        self.assertEqual(207, status)
        self.assertEqual(["Project plan"], [prop(r, "m:subject") for r in responses(body)])


class NamespaceOptionTest(ServiceTestCase):
    OPTIONS = {"namespace": "urn:test:ns:"}

    def test_h_is_bound_to_the_configured_namespace(self):
        body = MAILS_BODY.replace(b"http://schemas.microsoft.com/hotmail/", b"urn:test:ns:")
        status, _, reply = self.propfind(self.demo_path("F7A3C2E10/"), body)
        self.assertEqual(207, status)
        self.assertIn(b'xmlns:h="urn:test:ns:"', reply)
        row = ET.fromstring(reply).find("D:response", NS)
        self.assertEqual("Carol Example <carol@example.com>",
                         row.find("D:propstat/D:prop/{urn:test:ns:}fromaddr", NS).text)


if __name__ == "__main__":
    unittest.main()
