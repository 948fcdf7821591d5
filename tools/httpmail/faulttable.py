"""Switches that make the service misbehave for tests.

A fault is a rule: which requests it matches and what it does to them.

Match keys:
    method   verb to match ("PROPFIND", ...; "*" or absent: any)
    path     substring the request path must contain (absent: any)
    times    how many matching requests it applies to (default 1; -1: all)

Action keys (any combination):
    delay     seconds to wait before answering (at most 60)
    status    answer this status instead of serving the request; the
              mailbox is not changed (a 401 carries the usual challenge)
    body      "malformed" (the real reply cut in half, Content-Length
              matching), "truncated" (Content-Length of the whole reply,
              half of it sent, then the connection closed), "empty",
              "garbage" (text that is not XML)
    raw_body  exact reply body, a string whose characters are bytes
              (latin-1); replaces the reply body
    omit      property names left out of PROPFIND replies ("hm:sendmsg")
    encoding  reply encoding: "utf-8", "utf-16", "shift_jis", "bare"
    prefixes  other prefixes for the reply ({"D": "a", "hm": "b"})
    headers   extra reply headers ({"X-Test": "1"})
    chunked   true: send the reply with Transfer-Encoding: chunked; a
              number: in chunks of that many bytes
    close_delimited  true: no Content-Length; the body ends when the
              connection closes
    trickle   seconds to wait before each piece of the body (one byte a
              piece unless chunked says otherwise)
    trickle_headers  seconds to wait after each header line
    extra     bytes of filler lines sent after the real body (counted in
              Content-Length): a reply larger than its listing
    close     true: close the connection without any answer; the
              request is read but not served
    ranges    false: answer a GET with the whole message (200) even when
              it asks for a byte range

Faults apply to authenticated requests only (the 401 round-trip of an
authentication handshake does not use them up). The first matching rule
with uses left applies.
"""

import threading

BODY_MODES = ("malformed", "truncated", "empty", "garbage")
ACTION_KEYS = ("delay", "status", "body", "raw_body", "omit", "encoding", "prefixes",
               "headers", "chunked", "close", "ranges", "close_delimited", "trickle", "trickle_headers",
               "extra")
MATCH_KEYS = ("method", "path", "times")
MAX_DELAY = 60.0


class FaultError(ValueError):
    pass


class FaultTable:
    def __init__(self):
        self._rules = []
        self._lock = threading.Lock()
        self._next_id = 1

    @staticmethod
    def validate(rule):
        if not isinstance(rule, dict):
            raise FaultError("a fault is a JSON object")
        unknown = set(rule) - set(ACTION_KEYS) - set(MATCH_KEYS) - {"id", "used"}
        if unknown:
            raise FaultError("unknown fault keys: %s" % ", ".join(sorted(unknown)))
        if not set(rule) & set(ACTION_KEYS):
            raise FaultError("a fault needs at least one action (%s)" % ", ".join(ACTION_KEYS))
        if "status" in rule and not (isinstance(rule["status"], int) and 100 <= rule["status"] <= 999):
            raise FaultError("status must be an integer from 100 to 999")
        if "delay" in rule:
            if not isinstance(rule["delay"], (int, float)) or not 0 <= rule["delay"] <= MAX_DELAY:
                raise FaultError("delay must be 0 to %d seconds" % MAX_DELAY)
        for key in ("trickle", "trickle_headers"):
            if key in rule and (not isinstance(rule[key], (int, float)) or not 0 <= rule[key] <= MAX_DELAY):
                raise FaultError("%s must be 0 to %d seconds" % (key, MAX_DELAY))
        for key in ("extra",) + (("chunked",) if not isinstance(rule.get("chunked"), bool) else ()):
            if key in rule and (isinstance(rule[key], bool) or not isinstance(rule[key], int) or rule[key] < 1):
                raise FaultError("%s must be a positive number of bytes" % key)
        if "body" in rule and rule["body"] not in BODY_MODES:
            raise FaultError("body must be one of %s" % ", ".join(BODY_MODES))
        if "times" in rule and (not isinstance(rule["times"], int) or rule["times"] == 0 or rule["times"] < -1):
            raise FaultError("times must be a positive integer or -1")
        if "omit" in rule and not (isinstance(rule["omit"], list) and all(isinstance(x, str) for x in rule["omit"])):
            raise FaultError("omit must be a list of property names")
        for key in ("prefixes", "headers"):
            if key in rule and not isinstance(rule[key], dict):
                raise FaultError("%s must be an object" % key)
        if "raw_body" in rule:
            try:
                str(rule["raw_body"]).encode("latin-1")
            except UnicodeEncodeError:
                raise FaultError("raw_body characters must be bytes (U+0000 to U+00FF)")

    def add(self, rule):
        self.validate(rule)
        with self._lock:
            stored = dict(rule)
            stored.setdefault("times", 1)
            if "method" in stored:
                stored["method"] = str(stored["method"]).upper()
            stored["id"] = self._next_id
            stored["used"] = 0
            self._next_id += 1
            self._rules.append(stored)
            return stored["id"]

    def clear(self):
        with self._lock:
            self._rules.clear()

    def rules(self):
        with self._lock:
            return [dict(rule) for rule in self._rules]

    def take(self, method, path):
        """The rule for this request (its use counted), or None."""
        with self._lock:
            for rule in self._rules:
                wanted = rule.get("method", "*")
                if wanted not in ("*", method):
                    continue
                if "path" in rule and rule["path"] not in path:
                    continue
                rule["used"] += 1
                if rule["times"] != -1 and rule["used"] >= rule["times"]:
                    self._rules.remove(rule)
                return dict(rule)
        return None
