"""The control interface under /_control, for tests; needs no credentials.

    GET    /_control/ping        {"ok": true, "port": N}
    GET    /_control/requests    {"requests": [...]}  (?method=GET filters)
    DELETE /_control/requests    forget the recorded requests
    GET    /_control/faults      {"faults": [...]}    the rules left
    POST   /_control/faults      a rule or a list of rules -> {"ids": [...]}
    DELETE /_control/faults      drop every rule
    POST   /_control/reset       drop rules, recorded requests and nonces
"""

import json
import urllib.parse

from .faulttable import FaultError
from .reply import Reply
from .requestlog import RequestLog


def _json(status, value):
    return Reply(status, json.dumps(value, ensure_ascii=True).encode("ascii") + b"\n",
                 "application/json")


class ControlApi:
    def __init__(self, service):
        self.service = service

    def answer(self, method, rest, query, body):
        route = (method, rest)
        if route == ("GET", "ping"):
            return _json(200, {"ok": True, "port": self.service.port})
        if route == ("GET", "requests"):
            wanted = urllib.parse.parse_qs(query).get("method")
            entries = [RequestLog.to_json(e) for e in self.service.log.entries()
                       if not wanted or e["method"] in wanted]
            return _json(200, {"requests": entries})
        if route == ("DELETE", "requests"):
            self.service.log.clear()
            return Reply(204)
        if route == ("GET", "faults"):
            return _json(200, {"faults": self.service.faults.rules()})
        if route == ("POST", "faults"):
            return self._add_faults(body)
        if route == ("DELETE", "faults"):
            self.service.faults.clear()
            return Reply(204)
        if route == ("POST", "reset"):
            self.service.reset()
            return Reply(204)
        return _json(404, {"error": "unknown control request %s /_control/%s" % (method, rest)})

    def _add_faults(self, body):
        try:
            rules = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            return _json(400, {"error": "body is not JSON: %s" % error})
        if isinstance(rules, dict):
            rules = [rules]
        if not isinstance(rules, list):
            return _json(400, {"error": "expected a rule or a list of rules"})
        try:
            for rule in rules:
                self.service.faults.validate(rule)
        except FaultError as error:
            return _json(400, {"error": str(error)})
        return _json(201, {"ids": [self.service.faults.add(rule) for rule in rules]})
