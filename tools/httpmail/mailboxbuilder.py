"""Writes a mailbox directory from a Python description, for tests.

    MailboxBuilder.write(root, {
        "demo@hotmail.com": {
            "password": "demo",                  # "auth": "digest" optional
            "folders": [                         # listed in this order
                {"name": "inbox", "messages": [
                    b"Subject: hi\\r\\n\\r\\nbody\\r\\n",            # bytes as stored
                    {"data": "Subject: x\\n\\ntext\\n", "read": True},  # str: LF -> CRLF
                ]},
                {"name": "Work", "id": "F12345", "displayname": "Work"},
            ],
        },
    })

Folder keys: name (directory; a special kind names a special folder), and
optionally id, special, displayname. Message: bytes, str, or a dict with
data and optionally id, read, date, subject, from, to. Message ids default
to MSG0001, MSG0002, ... in order of appearance in the whole mailbox.
"""

import json
import os
import shutil


def _message_bytes(data):
    if isinstance(data, bytes):
        return data
    text = str(data).replace("\r\n", "\n").replace("\n", "\r\n")
    return text.encode("utf-8")


class MailboxBuilder:
    @staticmethod
    def copy(source, root):
        """Copies an existing mailbox directory to root (which must not exist)."""
        shutil.copytree(source, root)

    @staticmethod
    def write(root, description):
        """Writes accounts.json and the folders; returns {account: {folder: [ids]}}."""
        os.makedirs(root, exist_ok=True)
        accounts, layout, counter = {}, {}, 0
        for account, entry in description.items():
            settings = {"password": entry.get("password", "")}
            if "auth" in entry:
                settings["auth"] = entry["auth"]
            accounts[account] = settings
            layout[account] = {}
            for position, folder in enumerate(entry.get("folders", [])):
                path = os.path.join(root, account, folder["name"])
                os.makedirs(path, exist_ok=True)
                meta = {"position": position, "messages": {}}
                for key in ("id", "special", "displayname"):
                    if key in folder:
                        meta[key] = folder[key]
                ids = []
                for message in folder.get("messages", []):
                    counter += 1
                    if not isinstance(message, dict):
                        message = {"data": message}
                    msg_id = message.get("id", "MSG%04d" % counter)
                    with open(os.path.join(path, msg_id + ".eml"), "wb") as handle:
                        handle.write(_message_bytes(message["data"]))
                    extra = {k: message[k] for k in ("read", "date", "subject", "from", "to") if k in message}
                    if extra:
                        meta["messages"][msg_id] = extra
                    ids.append(msg_id)
                with open(os.path.join(path, "folder.json"), "w", encoding="utf-8") as handle:
                    json.dump(meta, handle, ensure_ascii=False, indent=2, sort_keys=True)
                layout[account][folder["name"]] = ids
        with open(os.path.join(root, "accounts.json"), "w", encoding="utf-8") as handle:
            json.dump(accounts, handle, ensure_ascii=False, indent=2, sort_keys=True)
        return layout
