"""Parser of a send request: SMTP envelope lines, an empty line, the message.

    MAIL FROM:<sender>\r\n
    RCPT TO:<recipient>\r\n      (one or more)
    \r\n
    message text, each line ending in CR LF, then one more CR LF

The final CR LF is the terminator of the submission, not part of the
message, and is removed when the message part ends with an empty line.
"""

import re

_ADDRESS = r"\s*<([^<>\r\n]*)>(?:\s.*)?$|\s*([^\s<>]+)(?:\s.*)?$"
_MAIL = re.compile(r"^MAIL\s+FROM:" + "(?:" + _ADDRESS + ")", re.IGNORECASE)
_RCPT = re.compile(r"^RCPT\s+TO:" + "(?:" + _ADDRESS + ")", re.IGNORECASE)


class EnvelopeError(Exception):
    """The body is not an envelope followed by a message (400)."""


class Envelope:
    def __init__(self, sender, recipients, message):
        self.sender = sender
        self.recipients = recipients
        self.message = message

    @staticmethod
    def parse(body):
        end = body.find(b"\r\n\r\n")
        if end < 0:
            raise EnvelopeError("no empty line after the envelope")
        lines = body[:end].split(b"\r\n")
        message = body[end + 4:]
        if message.endswith(b"\r\n\r\n") or message == b"\r\n":
            message = message[:-2]
        try:
            text = [line.decode("ascii") for line in lines]
        except UnicodeDecodeError:
            raise EnvelopeError("envelope lines must be ASCII")
        sender = Envelope._address(_MAIL, text[0], "MAIL FROM")
        recipients = [Envelope._address(_RCPT, line, "RCPT TO") for line in text[1:]]
        if not recipients:
            raise EnvelopeError("no RCPT TO line")
        if not message:
            raise EnvelopeError("empty message")
        return Envelope(sender, recipients, message)

    @staticmethod
    def _address(pattern, line, what):
        match = pattern.match(line)
        if not match:
            raise EnvelopeError("expected a %s line, got %r" % (what, line[:80]))
        return match.group(1) if match.group(1) is not None else match.group(2)
