"""POST to the send URL: envelope lines, an empty line, the message."""

import unittest

from servicetest import DEMO, FRIEND, ServiceTestCase

MESSAGE = (b"From: demo@hotmail.com\r\nTo: friend@hotmail.com\r\nSubject: hello\r\n\r\n"
           b"first line\r\n.\r\n\xe6\x97\xa5\xe6\x9c\xac\r\n")
POST_HEADERS = {"Content-Type": "message/rfc821", "Translate": "t", "SAVEINSENT": "t"}


def submission(*rcpts, sender=b"MAIL FROM:<demo@hotmail.com>", message=MESSAGE):
    # What the client posts: the envelope lines, an empty line, the message
    # lines and one more empty line.
    envelope = sender + b"\r\n" + b"".join(b"RCPT " + r + b"\r\n" for r in rcpts) + b"\r\n"
    return envelope + message + b"\r\n"


class PostTest(ServiceTestCase):
    FRESH = True
    MAILBOX = {DEMO: {"password": "demo", "folders": [{"name": "inbox"}, {"name": "sentitems"}]},
               FRIEND: {"password": "friend", "folders": [{"name": "inbox"}]},
               "nobox@hotmail.com": {"password": "x"}}

    def post(self, body, headers=POST_HEADERS, account=DEMO):
        return self.client.request("POST", "/hmsend/" + account, body, headers)

    def only(self, account, folder):
        ids = self.svc.message_ids(account, folder)
        self.assertEqual(1, len(ids), (account, folder, ids))
        return self.svc.message_bytes(account, folder, ids[0])

    def test_message_lands_in_sent_items_and_local_recipients_inboxes(self):
        status, reply, body = self.post(submission(b"TO:<friend@hotmail.com>", b"To:<someone@example.com>",
                                                   b"TO: <NoBox@Hotmail.com>"))
        self.assertEqual(201, status)
        self.assertEqual(b"", body)
        self.assertEqual(MESSAGE, self.only(DEMO, "sentitems"))
        self.assertEqual(MESSAGE, self.only(FRIEND, "inbox"))
        self.assertEqual(MESSAGE, self.only("nobox@hotmail.com", "inbox"))
        self.assertEqual([], self.svc.message_ids(DEMO, "inbox"))
        sent_id = self.svc.message_ids(DEMO, "sentitems")[0]
        self.assertTrue(reply.getheader("Location").endswith("/" + sent_id))
        self.assertTrue(self.svc.is_read(DEMO, "sentitems", sent_id))

    def test_recipient_listed_twice_gets_one_copy_and_saveinsent_f_keeps_none(self):
        headers = dict(POST_HEADERS, SAVEINSENT="f")
        status, _, _ = self.post(submission(b"TO:<friend@hotmail.com>", b"TO:<friend@hotmail.com>"), headers)
        self.assertEqual(201, status)
        self.assertEqual(MESSAGE, self.only(FRIEND, "inbox"))
        self.assertEqual([], self.svc.message_ids(DEMO, "sentitems"))

    def test_a_message_ending_in_an_empty_line_keeps_it(self):
        message = b"Subject: x\r\n\r\nbody\r\n\r\n"
        status, _, _ = self.post(submission(b"TO:<friend@hotmail.com>", message=message))
        self.assertEqual(201, status)
        self.assertEqual(message, self.only(FRIEND, "inbox"))

    def test_malformed_submissions_are_400_and_store_nothing(self):
        cases = [
            submission(),                                           # no RCPT
            b"MAIL FROM:<demo@hotmail.com>\r\nRCPT TO:<friend@hotmail.com>\r\n",  # no empty line
            submission(b"TO:<friend@hotmail.com>", sender=b"HELO x"),             # no MAIL line
            submission(b"TO:<friend@hotmail.com>", b"DATA"),                     # stray line
            submission(b"TO:<friend@hotmail.com>", message=b""),                 # no message
            b"",
        ]
        for body in cases:
            status, _, _ = self.post(body)
            self.assertEqual(400, status, body)
        status, _, _ = self.post(submission(b"TO:<friend@hotmail.com>"), {"Content-Type": "text/plain"})
        self.assertEqual(415, status)
        self.assertEqual([], self.svc.message_ids(DEMO, "sentitems"))
        self.assertEqual([], self.svc.message_ids(FRIEND, "inbox"))

    def test_post_to_another_accounts_send_url_is_forbidden(self):
        status, _, _ = self.post(submission(b"TO:<friend@hotmail.com>"), account=FRIEND)
        self.assertEqual(403, status)
        self.assertEqual([], self.svc.message_ids(FRIEND, "inbox"))


if __name__ == "__main__":
    unittest.main()
