"""One stored message and the properties the service reports for it."""

import datetime
import email.errors
import email.header
import email.parser
import email.policy
import email.utils
import os


def _decode_header_value(raw):
    """Decodes MIME encoded-words; undecodable text is kept as it stands."""
    if raw is None:
        return ""
    text = str(raw)
    try:
        parts = email.header.decode_header(text)
        return str(email.header.make_header(parts))
    except (LookupError, UnicodeError, ValueError, email.errors.HeaderParseError):
        return text


def _utc_text(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Message:
    """A message file plus its per-message metadata from folder.json.

    Metadata keys: "read" (bool) and overrides "date", "subject", "from",
    "to" that replace the values taken from the message's own header.
    """

    def __init__(self, folder, msg_id, path, meta):
        self.folder = folder
        self.id = msg_id
        self.path = path
        self.meta = dict(meta or {})

    @property
    def read(self):
        return bool(self.meta.get("read", False))

    def data(self):
        with open(self.path, "rb") as handle:
            return handle.read()

    def size(self):
        return os.path.getsize(self.path)

    def properties(self):
        """Header-derived properties, metadata overrides applied."""
        header = self._header()
        props = {
            "subject": _decode_header_value(header.get("Subject")),
            "from": _decode_header_value(header.get("From")),
            "to": _decode_header_value(header.get("To")),
            "date": self._date_text(header.get("Date")),
        }
        for key in ("subject", "from", "to", "date"):
            if key in self.meta:
                props[key] = self.meta[key]
        return props

    def _header(self):
        with open(self.path, "rb") as handle:
            head = handle.read(64 * 1024)
        end = head.find(b"\r\n\r\n")
        if end < 0:
            end = head.find(b"\n\n")
        if end >= 0:
            head = head[:end + 2]
        parser = email.parser.BytesHeaderParser(policy=email.policy.compat32)
        return parser.parsebytes(head)

    def _date_text(self, raw):
        if raw:
            try:
                moment = email.utils.parsedate_to_datetime(str(raw))
                if moment.tzinfo is None:
                    moment = moment.replace(tzinfo=datetime.timezone.utc)
                return _utc_text(moment)
            except (TypeError, ValueError, IndexError, OverflowError):
                pass
        mtime = os.path.getmtime(self.path)
        return _utc_text(datetime.datetime.fromtimestamp(mtime, datetime.timezone.utc))
