"""HTTP authentication of accounts: Digest (MD5, qop=auth) and Basic.

An account's "auth" setting chooses what it accepts: "digest", "basic" or
"any" (both; the default). Challenges offer the schemes the service-wide
default allows, Digest first, so clients that pick the strongest scheme
use Digest.
"""

import base64
import hashlib
import os
import re
import threading
import time

_PARAM = re.compile(r'\s*([A-Za-z0-9_*-]+)\s*=\s*("(?:[^"\\]|\\.)*"|[^,\s]*)\s*(?:,|$)')


def _md5(data):
    return hashlib.md5(data).hexdigest()


def _wire(text):
    """Bytes of a header text as received (http.server decodes latin-1)."""
    return text.encode("latin-1", errors="replace")


def _password_forms(password):
    """The stored password as UTF-8 and as code page 932 bytes."""
    forms = [password.encode("utf-8")]
    try:
        forms.append(password.encode("cp932"))
    except UnicodeEncodeError:
        pass
    return forms


def parse_params(text):
    params = {}
    pos = 0
    while pos < len(text):
        match = _PARAM.match(text, pos)
        if not match or match.end() == pos:
            break
        value = match.group(2)
        if value.startswith('"'):
            value = re.sub(r"\\(.)", r"\1", value[1:-1])
        params[match.group(1).lower()] = value
        pos = match.end()
    return params


class AuthResult:
    def __init__(self, account=None, stale=False, reason=""):
        self.account = account
        self.stale = stale
        self.reason = reason

    @property
    def ok(self):
        return self.account is not None


class Authenticator:
    SCHEMES = ("any", "digest", "basic")

    def __init__(self, mailbox, realm="hotmail.com", default_auth="any", nonce_lifetime=600.0):
        if default_auth not in self.SCHEMES:
            raise ValueError("auth must be one of %s" % ", ".join(self.SCHEMES))
        self.mailbox = mailbox
        self.realm = realm
        self.default_auth = default_auth
        self.nonce_lifetime = nonce_lifetime
        self.opaque = os.urandom(8).hex()
        self._nonces = {}   # nonce -> (issue time, set of nc values seen)
        self._lock = threading.Lock()

    def reset(self):
        with self._lock:
            self._nonces.clear()

    def challenges(self, stale=False):
        """WWW-Authenticate values for a 401 answer."""
        values = []
        if self.default_auth in ("any", "digest"):
            nonce = self._new_nonce()
            value = 'Digest realm="%s", qop="auth", nonce="%s", opaque="%s", algorithm=MD5' % (
                self.realm, nonce, self.opaque)
            if stale:
                value += ", stale=true"
            values.append(value)
        if self.default_auth in ("any", "basic"):
            values.append('Basic realm="%s"' % self.realm)
        return values

    def check(self, method, uri, header):
        """Authenticates one request's Authorization header."""
        if not header:
            return AuthResult(reason="no credentials")
        scheme, _, rest = header.strip().partition(" ")
        scheme = scheme.lower()
        if scheme == "basic":
            return self._check_basic(rest.strip())
        if scheme == "digest":
            return self._check_digest(method, uri, parse_params(rest))
        return AuthResult(reason="unsupported scheme %s" % scheme)

    def _account(self, user, scheme):
        account = self.mailbox.find_account(user)
        if account is None:
            return None, None
        settings = self.mailbox.accounts()[account]
        allowed = settings.get("auth", self.default_auth)
        if allowed != "any" and allowed != scheme:
            return None, None
        return account, str(settings.get("password", ""))

    def _check_basic(self, token):
        try:
            decoded = base64.b64decode(token, validate=True)
        except ValueError:
            return AuthResult(reason="malformed Basic credentials")
        user, sep, password = decoded.partition(b":")
        if not sep:
            return AuthResult(reason="malformed Basic credentials")
        account, expected = self._account(user.decode("utf-8", errors="replace"), "basic")
        if account is None or password not in _password_forms(expected):
            return AuthResult(reason="wrong user name or password")
        return AuthResult(account)

    def _check_digest(self, method, uri, p):
        for key in ("username", "realm", "nonce", "uri", "response", "qop", "nc", "cnonce"):
            if key not in p:
                return AuthResult(reason="Digest parameter %s missing" % key)
        if p["realm"] != self.realm or p["qop"].lower() != "auth":
            return AuthResult(reason="wrong realm or qop")
        if p.get("algorithm", "MD5").upper() != "MD5":
            return AuthResult(reason="unsupported algorithm")
        if "opaque" in p and p["opaque"] != self.opaque:
            return AuthResult(reason="wrong opaque")
        if not self._uri_matches(p["uri"], uri):
            return AuthResult(reason="Digest uri does not match the request")
        if not re.fullmatch(r"[0-9a-fA-F]{8}", p["nc"]):
            return AuthResult(reason="malformed nc")
        account, password = self._account(p["username"], "digest")
        if account is None:
            return AuthResult(reason="wrong user name or password")
        ha2 = _md5(_wire("%s:%s" % (method, p["uri"])))
        tail = _wire(":%s:%s:%s:%s:%s" % (p["nonce"], p["nc"], p["cnonce"], p["qop"], ha2))
        prefix = _wire("%s:%s:" % (p["username"], self.realm))
        answers = [_md5(_md5(prefix + form).encode("ascii") + tail) for form in _password_forms(password)]
        if p["response"].lower() not in answers:
            return AuthResult(reason="wrong user name or password")
        verdict = self._use_nonce(p["nonce"], int(p["nc"], 16))
        if verdict:
            return AuthResult(stale=True, reason=verdict)
        return AuthResult(account)

    @staticmethod
    def _uri_matches(digest_uri, request_target):
        if digest_uri == request_target:
            return True
        # A client may name the path where the request line holds an absolute URL.
        return request_target.startswith("http://") and \
            request_target.split("/", 3)[-1] == digest_uri.lstrip("/")

    def _new_nonce(self):
        nonce = base64.b64encode(os.urandom(18)).decode("ascii")
        now = time.monotonic()
        with self._lock:
            self._expire(now)
            self._nonces[nonce] = (now, set())
        return nonce

    def _use_nonce(self, nonce, nc):
        """Empty when the nonce is valid and nc new, else why it is stale."""
        now = time.monotonic()
        with self._lock:
            self._expire(now)
            entry = self._nonces.get(nonce)
            if entry is None:
                return "unknown or expired nonce"
            seen = entry[1]
            if nc in seen:
                return "nonce count %08x replayed" % nc
            seen.add(nc)
        return ""

    def _expire(self, now):
        old = [n for n, (t, _) in self._nonces.items() if now - t > self.nonce_lifetime]
        for nonce in old:
            del self._nonces[nonce]
        # Bound the table: drop the oldest when a client never comes back.
        if len(self._nonces) > 10000:
            for nonce, _ in sorted(self._nonces.items(), key=lambda i: i[1][0])[:5000]:
                del self._nonces[nonce]
