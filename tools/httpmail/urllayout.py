"""The service's URL space: building hrefs and resolving request paths.

    /svcs/hotmail/httpmail.asp            entry URL (account discovery)
    /hmdata/<account>/                    folder root of an account
    /hmdata/<account>/<folder id>/        one folder
    /hmdata/<account>/<folder id>/<id>    one message
    /hmsend/<account>                     send URL
    /_control/...                         control interface for tests
"""

import urllib.parse

ENTRY_PATH = "/svcs/hotmail/httpmail.asp"
_SAFE = "@.+-_~!$&'()*,;=:"


def _quote(text):
    return urllib.parse.quote(text, safe=_SAFE)


class Target:
    """What a request path names: kind plus account, folder id, message id."""

    def __init__(self, kind, account=None, folder_id=None, message_id=None, rest=None):
        self.kind = kind          # entry root folder message send control
        self.account = account
        self.folder_id = folder_id
        self.message_id = message_id
        self.rest = rest

    def __repr__(self):
        return "Target(%r, %r, %r, %r)" % (self.kind, self.account, self.folder_id, self.message_id)


class UrlLayout:
    def __init__(self, host, port, scheme="http", entry_path=ENTRY_PATH):
        self.authority = "%s:%d" % (host, port)
        self.base = scheme + "://" + self.authority
        self.entry_path = entry_path

    def entry_url(self):
        return self.base + self.entry_path

    def root_url(self, account):
        return "%s/hmdata/%s/" % (self.base, _quote(account))

    def folder_url(self, folder):
        return self.root_url(folder.account) + _quote(folder.id) + "/"

    def message_url(self, message):
        return self.folder_url(message.folder) + _quote(message.id)

    def send_url(self, account):
        return "%s/hmsend/%s" % (self.base, _quote(account))

    @staticmethod
    def request_path(target):
        """Path of a request target (origin or absolute form), no query."""
        if target.startswith("http://") or target.startswith("https://"):
            target = urllib.parse.urlsplit(target).path or "/"
        return target.split("?", 1)[0].split("#", 1)[0]

    def parse(self, path):
        """Resolves a request path to a Target, or None when unknown."""
        if path == self.entry_path:
            return Target("entry")
        if path == "/_control" or path.startswith("/_control/"):
            return Target("control", rest=path[len("/_control"):].strip("/"))
        parts = path.split("/")
        if len(parts) < 3 or parts[0] != "":
            return None
        segments = [urllib.parse.unquote(p) for p in parts[2:]]
        if parts[1] == "hmsend" and len(segments) == 1 and segments[0]:
            return Target("send", account=segments[0])
        if parts[1] != "hmdata" or not segments[0]:
            return None
        account = segments[0]
        rest = segments[1:]
        if rest and rest[-1] == "":
            rest = rest[:-1]
            trailing = True
        else:
            trailing = False
        if not rest:
            return Target("root", account=account)
        if any(s == "" for s in rest):
            return None
        if len(rest) == 1:
            return Target("folder", account=account, folder_id=rest[0])
        if len(rest) == 2 and not trailing:
            return Target("message", account=account, folder_id=rest[0], message_id=rest[1])
        return None

    def parse_destination(self, url):
        """Resolves a Destination header value; None when not ours or unknown."""
        split = urllib.parse.urlsplit(url)
        if split.scheme:
            if split.scheme != "http" or split.netloc.lower() != self.authority.lower():
                return None
            path = split.path
        else:
            path = url
        return self.parse(path.split("?", 1)[0])
