"""Writer of WebDAV 207 Multi-Status bodies with the HTTPMail prefixes."""

import re
from xml.sax.saxutils import escape, quoteattr

DAV = "DAV:"
HTTPMAIL = "urn:schemas:httpmail:"
MAILHEADER = "urn:schemas:mailheader:"
DEFAULT_NAMESPACE = "http://schemas.microsoft.com/hotmail/"

# Canonical prefix of each namespace; "h" is bound to the service namespace.
CANONICAL_PREFIXES = ("D", "hm", "m", "h")

# Reply encodings: the declared name and the Python codec.
ENCODINGS = {
    "utf-8": ("UTF-8", "utf-8"),
    "utf-16": ("UTF-16", "utf-16"),        # with byte-order mark
    "shift_jis": ("Shift_JIS", "cp932"),
    "bare": (None, "cp932"),                # no encoding declared
}

_INVALID_XML_CHARS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")

STATUS_TEXT = {200: "OK", 403: "Forbidden", 404: "Not Found", 409: "Conflict",
               424: "Failed Dependency"}


class RawXml(str):
    """A property value that is written as markup, not as text."""


class MultiStatus:
    """Collects D:response elements and renders the document.

    Properties are named by canonical qualified names ("D:id", "hm:read",
    "m:subject", "h:fromaddr") or by (namespace URI, local name) pairs for
    properties the service does not know.
    """

    def __init__(self, namespace=DEFAULT_NAMESPACE, prefixes=None, encoding="utf-8"):
        self.uris = {"D": DAV, "hm": HTTPMAIL, "m": MAILHEADER, "h": namespace}
        self.prefixes = {p: p for p in CANONICAL_PREFIXES}
        if prefixes:
            self.prefixes.update({k: v for k, v in prefixes.items() if k in self.uris})
        if encoding not in ENCODINGS:
            raise ValueError("unknown encoding %r" % encoding)
        self.encoding = encoding
        self.responses = []

    def qname(self, canonical):
        prefix, local = canonical.split(":", 1)
        mapped = self.prefixes[prefix]
        return "%s:%s" % (mapped, local) if mapped else local

    def canonical_for(self, uri, local):
        """Canonical name of (uri, local), or None for a foreign namespace."""
        for prefix, known in self.uris.items():
            if known == uri:
                return "%s:%s" % (prefix, local)
        return None

    def add_response(self, href, found, missing=(), statuses=None):
        """found: list of (name, value); missing: names answered 404.

        statuses optionally maps a property name to another status code;
        used by PROPPATCH replies.
        """
        self.responses.append((href, list(found), list(missing), dict(statuses or {})))

    def content_type(self):
        declared, _ = ENCODINGS[self.encoding]
        if declared is None:
            return "text/xml"
        return 'text/xml; charset="%s"' % declared.lower()

    def render(self):
        declared, codec = ENCODINGS[self.encoding]
        head = '<?xml version="1.0"?>' if declared is None else \
            '<?xml version="1.0" encoding="%s"?>' % declared
        out = [head, "<%s" % self.qname("D:multistatus")]
        for prefix in CANONICAL_PREFIXES:
            mapped = self.prefixes[prefix]
            attr = "xmlns:%s" % mapped if mapped else "xmlns"
            out.append(" %s=%s" % (attr, quoteattr(self.uris[prefix])))
        out.append(">")
        for href, found, missing, statuses in self.responses:
            out.append(self._render_response(href, found, missing, statuses))
        out.append("</%s>" % self.qname("D:multistatus"))
        text = "".join(out)
        return text.encode(codec, errors="xmlcharrefreplace")

    def _render_response(self, href, found, missing, statuses):
        d = self.qname
        out = ["<%s>" % d("D:response"), "<%s>%s</%s>" % (d("D:href"), self._text(href), d("D:href"))]
        groups = {}
        for name, value in found:
            groups.setdefault(statuses.get(name, 200), []).append((name, value))
        for name in missing:
            groups.setdefault(statuses.get(name, 404), []).append((name, None))
        for status in sorted(groups):
            out.append("<%s><%s>" % (d("D:propstat"), d("D:prop")))
            for name, value in groups[status]:
                out.append(self._render_property(name, value))
            out.append("</%s><%s>HTTP/1.1 %d %s</%s></%s>" % (
                d("D:prop"), d("D:status"), status, STATUS_TEXT.get(status, ""),
                d("D:status"), d("D:propstat")))
        out.append("</%s>" % d("D:response"))
        return "".join(out)

    def _render_property(self, name, value):
        if isinstance(name, tuple):
            uri, local = name
            tag, decl = "x:" + local, " xmlns:x=%s" % quoteattr(uri)
        else:
            tag, decl = self.qname(name), ""
        if value is None or value == "":
            return "<%s%s/>" % (tag, decl)
        body = value if isinstance(value, RawXml) else self._text(value)
        return "<%s%s>%s</%s>" % (tag, decl, body, tag)

    @staticmethod
    def _text(value):
        return escape(_INVALID_XML_CHARS.sub("\ufffd", str(value)))
