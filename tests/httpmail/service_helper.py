"""Runs the local HTTPMail service for the C++ job tests, driven by lines.

The first line on stdin is JSON: {"mailbox": {...}, "options": {...}} (the
arguments of HTTPMailFixture). The helper answers "ready PORT ROOT" and then
reads one command a line, answering each with one or more lines:

    fault {rule}        -> "ok ID"
    requests [METHOD]   -> "N", then N lines "METHOD STATUS PATH" of the
                           authenticated requests, oldest first
    body METHOD INDEX   -> hex of the body of that authenticated request
    headers METHOD INDEX -> the header lines, "name: value", then "end"
    ids ACCOUNT FOLDER  -> the message ids on disk in that folder directory
    read ACCOUNT FOLDER ID -> "1" when the message is flagged read, else "0"
    clear               -> "ok" (forgets recorded requests and faults)
    quit                -> stops the service and exits

End of input stops it too, so the service never outlives its test.
"""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.environ.get("KESTRELON_SOURCE", "."), "tests", "support"))
from httpmail_fixture import HTTPMailFixture  # noqa: E402


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def authenticated(service, method):
    return [e for e in service.requests(method) if e.get("account")]


def main():
    setup = json.loads(sys.stdin.readline())
    service = HTTPMailFixture(mailbox=setup["mailbox"], **setup.get("options", {}))
    service.start()
    try:
        say("ready %d %s" % (service.port, service.root))
        for line in sys.stdin:
            words = line.split(None, 1)
            if not words:
                continue
            op, rest = words[0], (words[1].strip() if len(words) > 1 else "")
            if op == "quit":
                break
            if op == "fault":
                say("ok %s" % service.add_fault(**json.loads(rest)))
            elif op == "requests":
                entries = authenticated(service, rest or None)
                say(str(len(entries)))
                for e in entries:
                    say("%s %s %s" % (e["method"], e["status"], e["path"]))
            elif op == "body":
                method, index = rest.split()
                say(authenticated(service, method)[int(index)]["body"].hex())
            elif op == "headers":
                method, index = rest.split()
                for name, value in authenticated(service, method)[int(index)]["headers"]:
                    say("%s: %s" % (name, value))
                say("end")
            elif op == "ids":
                account, folder = rest.split()
                say(" ".join(service.message_ids(account, folder)))
            elif op == "read":
                account, folder, msg_id = rest.split()
                say("1" if service.is_read(account, folder, msg_id) else "0")
            elif op == "clear":
                service.reset()
                say("ok")
            else:
                say("error unknown command %s" % op)
    finally:
        service.stop()


if __name__ == "__main__":
    main()
