"""Record of the requests the service received, for tests to assert on."""

import threading
import time


class RequestLog:
    """Keeps the last `limit` requests, oldest first.

    Each entry: seq, time, method, target (as in the request line), path,
    version, headers (list of [name, value] in received order), body
    (bytes), status (the answer's status, None when none was sent),
    account (the authenticated account or None), fault (id or None).
    """

    def __init__(self, limit=10000):
        self.limit = limit
        self._entries = []
        self._lock = threading.Lock()
        self._seq = 0

    def add(self, entry):
        with self._lock:
            self._seq += 1
            entry = dict(entry, seq=self._seq, time=time.time())
            self._entries.append(entry)
            if len(self._entries) > self.limit:
                del self._entries[:len(self._entries) - self.limit]
            return entry

    def entries(self):
        with self._lock:
            return [dict(e) for e in self._entries]

    def clear(self):
        with self._lock:
            self._entries.clear()

    @staticmethod
    def to_json(entry):
        """JSON form: the body as a latin-1 string (one character a byte)."""
        out = dict(entry)
        out["body"] = entry["body"].decode("latin-1")
        return out
