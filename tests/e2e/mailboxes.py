"""The mailbox the POP3 end-to-end tests fetch from."""

ACCOUNT = "alice@hotmail.com"
PASSWORD = "wonderland"

HELLO = (b"From: Bob <bob@example.com>\r\nTo: alice@hotmail.com\r\nSubject: Hello\r\n"
         b"Date: Tue, 02 Apr 2002 10:20:30 +0000\r\n\r\nHi Alice,\r\nsee you.\r\n")
# Lines that a POP3 body must stuff: a lone ".", one starting "..", one ".x".
DOTS = (b"From: Carol <carol@example.com>\r\nSubject: Dots\r\n\r\nline one\r\n.\r\n"
        b"..two dots\r\n.leading\r\n.\r\nend\r\n")
OLD = b"From: Dan <dan@example.com>\r\nSubject: Old news\r\n\r\nalready read\r\n"
# A text without a final line end, and a bare LF before a dot.
RAGGED = b"From: Eve <eve@example.com>\r\nSubject: Ragged\r\n\r\nbare\n.dot after LF\r\nno line end"
OFFER = b"From: Spam <spam@example.com>\r\nSubject: Offer\r\n\r\nbuy now\r\n"
SENT = b"Subject: sent\r\n\r\nnot listed\r\n"

# Message numbers as the gateway lists them: the inbox in id order, then
# the bulk mail folder; sent items are not downloaded.
MESSAGES = [HELLO, DOTS, OLD, RAGGED, OFFER]
IDS = ["MSG0001", "MSG0002", "MSG0003", "MSG0004", "MSG0005"]
READ = 3  # message 3 was read before


def description():
    return {ACCOUNT: {"password": PASSWORD, "folders": [
        {"name": "inbox", "messages": [HELLO, DOTS, {"data": OLD, "read": True}, RAGGED]},
        {"name": "bulkmail", "messages": [OFFER]},
        {"name": "sentitems", "messages": [SENT]},
        {"name": "deleteditems"},
    ]}}


def folder_of(number):
    return "bulkmail" if number == 5 else "inbox"
