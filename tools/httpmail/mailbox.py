"""The on-disk mailbox store: accounts, folders and message files.

Layout under the root directory:

    accounts.json                 {"user@host": {"password": "...", "auth": "any"}}
    <account>/<folder>/folder.json  optional folder metadata and read flags
    <account>/<folder>/<id>.eml     one message, bytes exactly as served

Every change goes through one lock, so concurrent requests see a consistent
store; the files are re-read on each request, so a test may change them
between requests.
"""

import itertools
import json
import os
import shutil
import re
import threading
import time

from .folder import Folder
from .message import Message

MESSAGE_SUFFIX = ".eml"
MESSAGE_ID_PATTERN = re.compile(r"^[A-Za-z0-9._-]{1,128}$")


class MailboxError(Exception):
    """A store operation that cannot be done; carries the HTTP status."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


class Mailbox:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.RLock()
        self._counter = itertools.count(1)

    # Accounts ------------------------------------------------------------

    def accounts(self):
        """Account name -> settings dict ({"password", "auth"})."""
        path = os.path.join(self.root, "accounts.json")
        try:
            with open(path, "r", encoding="utf-8") as handle:
                raw = json.load(handle)
        except FileNotFoundError:
            return {}
        accounts = {}
        for name, value in raw.items():
            if isinstance(value, str):
                value = {"password": value}
            accounts[name] = dict(value)
        return accounts

    def find_account(self, name):
        """Canonical account name for a user name (case-insensitive), or None."""
        if name is None:
            return None
        wanted = name.lower()
        for account in self.accounts():
            if account.lower() == wanted:
                return account
        return None

    # Folders -------------------------------------------------------------

    def folders(self, account):
        base = os.path.join(self.root, account)
        if not os.path.isdir(base):
            return []
        result = []
        for dirname in os.listdir(base):
            path = os.path.join(base, dirname)
            if os.path.isdir(path) and not dirname.startswith("."):
                result.append(Folder(account, dirname, path, self._read_meta(path)))
        result.sort(key=Folder.sort_key)
        return result

    def folder_by_id(self, account, folder_id):
        for folder in self.folders(account):
            if folder.id == folder_id:
                return folder
        return None

    def folder_by_kind(self, account, kind):
        for folder in self.folders(account):
            if folder.special == kind:
                return folder
        return None

    def ensure_folder(self, account, kind):
        """The account's folder of a special kind, created when missing."""
        with self.lock:
            folder = self.folder_by_kind(account, kind)
            if folder is not None:
                return folder
            path = os.path.join(self.root, account, kind)
            os.makedirs(path, exist_ok=True)
            return Folder(account, kind, path, self._read_meta(path))

    # Messages ------------------------------------------------------------

    def messages(self, folder):
        meta = self._read_meta(folder.path).get("messages", {})
        result = []
        for name in sorted(os.listdir(folder.path)):
            msg_id = self._id_from_name(name)
            if msg_id is not None:
                path = os.path.join(folder.path, name)
                result.append(Message(folder, msg_id, path, meta.get(msg_id)))
        return result

    def message(self, folder, msg_id):
        if not MESSAGE_ID_PATTERN.match(msg_id or ""):
            return None
        path = os.path.join(folder.path, msg_id + MESSAGE_SUFFIX)
        if not os.path.isfile(path):
            return None
        meta = self._read_meta(folder.path).get("messages", {})
        return Message(folder, msg_id, path, meta.get(msg_id))

    def set_read(self, message, read):
        with self.lock:
            self._update_message_meta(message.folder, message.id, {"read": bool(read)})

    def delete(self, message):
        with self.lock:
            try:
                os.remove(message.path)
            except FileNotFoundError:
                raise MailboxError(404, "message is gone")
            self._pop_message_meta(message.folder, message.id)

    def move(self, message, target, new_id, allow_rename, overwrite):
        """Moves a message; returns (status, id at the destination).

        201 when a new resource was made, 204 when one was replaced.
        """
        return self._transfer(message, target, new_id, allow_rename, overwrite, keep_source=False)

    def copy(self, message, target, new_id, allow_rename, overwrite):
        """Copies a message with its read flag; the source stays. As move."""
        return self._transfer(message, target, new_id, allow_rename, overwrite, keep_source=True)

    def _transfer(self, message, target, new_id, allow_rename, overwrite, keep_source):
        if not MESSAGE_ID_PATTERN.match(new_id or ""):
            raise MailboxError(400, "bad destination name")
        with self.lock:
            if not os.path.isfile(message.path):
                raise MailboxError(404, "message is gone")
            if target.path == message.folder.path and new_id == message.id:
                raise MailboxError(403, "source and destination are the same")
            dest = os.path.join(target.path, new_id + MESSAGE_SUFFIX)
            status = 201
            if os.path.exists(dest):
                if allow_rename:
                    new_id = self.new_message_id()
                    dest = os.path.join(target.path, new_id + MESSAGE_SUFFIX)
                elif not overwrite:
                    raise MailboxError(412, "destination exists")
                else:
                    status = 204
            if keep_source:
                meta = dict(self._read_meta(message.folder.path).get("messages", {}).get(message.id, {}))
                temp = dest + ".tmp"
                shutil.copyfile(message.path, temp)
                os.replace(temp, dest)
            else:
                meta = self._pop_message_meta(message.folder, message.id)
                os.replace(message.path, dest)
            self._pop_message_meta(target, new_id)
            if meta:
                self._update_message_meta(target, new_id, meta)
            return status, new_id

    def store(self, folder, data, meta=None):
        """Writes a new message into a folder; returns its id."""
        with self.lock:
            msg_id = self.new_message_id()
            path = os.path.join(folder.path, msg_id + MESSAGE_SUFFIX)
            temp = path + ".tmp"
            with open(temp, "wb") as handle:
                handle.write(data)
            os.replace(temp, path)
            if meta:
                self._update_message_meta(folder, msg_id, meta)
            return msg_id

    def new_message_id(self):
        """A fresh id that sorts after older generated ids."""
        return "MSG%013d%04d" % (int(time.time() * 1000), next(self._counter) % 10000)

    # folder.json ---------------------------------------------------------

    @staticmethod
    def _id_from_name(name):
        if not name.endswith(MESSAGE_SUFFIX):
            return None
        msg_id = name[:-len(MESSAGE_SUFFIX)]
        return msg_id if MESSAGE_ID_PATTERN.match(msg_id) else None

    @staticmethod
    def _read_meta(path):
        try:
            with open(os.path.join(path, "folder.json"), "r", encoding="utf-8") as handle:
                meta = json.load(handle)
        except (FileNotFoundError, ValueError):
            return {}
        return meta if isinstance(meta, dict) else {}

    def _write_meta(self, folder, meta):
        path = os.path.join(folder.path, "folder.json")
        temp = path + ".tmp"
        with open(temp, "w", encoding="utf-8") as handle:
            json.dump(meta, handle, ensure_ascii=False, indent=2, sort_keys=True)
            handle.write("\n")
        os.replace(temp, path)

    def _update_message_meta(self, folder, msg_id, values):
        meta = self._read_meta(folder.path)
        entry = meta.setdefault("messages", {}).setdefault(msg_id, {})
        entry.update(values)
        self._write_meta(folder, meta)

    def _pop_message_meta(self, folder, msg_id):
        meta = self._read_meta(folder.path)
        messages = meta.get("messages", {})
        if msg_id not in messages:
            return {}
        entry = messages.pop(msg_id)
        self._write_meta(folder, meta)
        return entry
