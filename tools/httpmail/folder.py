"""One mail folder of an account: a directory of message files."""

import os

# Special folder kinds the service knows, in the order folders are listed.
SPECIAL_KINDS = ("inbox", "sentitems", "deleteditems", "draft", "bulkmail", "msnpromo")

# Folder ids given to special folders whose folder.json names no id.
DEFAULT_IDS = {
    "inbox": "F000000001",
    "sentitems": "F000000002",
    "draft": "F000000003",
    "deleteditems": "F000000004",
    "bulkmail": "F000000005",
    "msnpromo": "F000000006",
}


class Folder:
    """A folder as read from disk.

    `displayname` is None when the folder has none (special folders without
    a configured name); the service then leaves the property out.
    """

    def __init__(self, account, dirname, path, meta):
        self.account = account
        self.dirname = dirname
        self.path = path
        if "special" in meta:
            self.special = str(meta["special"] or "")
        else:
            self.special = dirname if dirname in SPECIAL_KINDS else ""
        self.id = str(meta.get("id") or DEFAULT_IDS.get(self.special) or dirname)
        if "displayname" in meta:
            self.displayname = meta["displayname"]
        else:
            self.displayname = None if self.special else dirname
        self.position = meta.get("position")

    @property
    def meta_path(self):
        return os.path.join(self.path, "folder.json")

    def sort_key(self):
        if self.position is not None:
            return (0, int(self.position), self.dirname)
        if self.special in SPECIAL_KINDS:
            return (1, SPECIAL_KINDS.index(self.special), self.dirname)
        return (2, 0, self.dirname)
