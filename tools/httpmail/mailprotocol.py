"""Answers of the HTTPMail requests: what a WebDAV mail server does.

PROPFIND of a collection lists its members only, whatever the Depth
header says: the client reads every D:response of a folder-root reply as
a folder and every D:response of a folder reply as a message, so the
collection itself is never listed.
"""

from .davbody import DavBody, DavBodyError
from .envelope import Envelope, EnvelopeError
from .mailbox import MailboxError
from .multistatus import MultiStatus, RawXml
from .reply import Reply

ALLOWED = {
    "entry": "OPTIONS, PROPFIND",
    "root": "OPTIONS, PROPFIND",
    "folder": "OPTIONS, PROPFIND",
    "message": "OPTIONS, GET, HEAD, PROPFIND, PROPPATCH, MOVE, COPY, DELETE",
    "send": "OPTIONS, POST",
}

# Entry-URL properties naming the folder of a special kind.
ENTRY_FOLDER_PROPS = (("hm:inbox", "inbox"), ("hm:sentitems", "sentitems"),
                      ("hm:deleteditems", "deleteditems"), ("hm:drafts", "draft"))


class MailProtocol:
    def __init__(self, mailbox, layout, namespace, encoding="utf-8"):
        self.mailbox = mailbox
        self.layout = layout
        self.namespace = namespace
        self.encoding = encoding

    def answer(self, method, target, account, headers, body, fault):
        """The Reply for an authenticated request on a resolved target."""
        if target.kind != "entry" and (target.account or "").lower() != account.lower():
            return Reply.text(403, "this mailbox belongs to another account")
        if method == "OPTIONS":
            return Reply(200, headers=[("DAV", "1, 2"), ("Allow", ALLOWED[target.kind])])
        handler = getattr(self, "_%s_%s" % (target.kind, method.lower()), None)
        if handler is None:
            return Reply(405, b"", headers=[("Allow", ALLOWED[target.kind])])
        try:
            return handler(target, account, headers, body, fault or {})
        except DavBodyError as error:
            return Reply.text(400, str(error))
        except EnvelopeError as error:
            return Reply.text(400, str(error))
        except MailboxError as error:
            return Reply.text(error.status, str(error))

    # PROPFIND ------------------------------------------------------------

    def _builder(self, fault):
        return MultiStatus(self.namespace, fault.get("prefixes"), fault.get("encoding", self.encoding))

    def _multistatus(self, builder, body, headers, fault, resources):
        """resources: (href, [(name, value or None)]) in reply order."""
        wanted = DavBody.propfind(body)
        omitted = set(fault.get("omit", ()))
        brief = (headers.get("Brief") or "").strip().lower() == "t"
        for href, available in resources:
            values = {name: value for name, value in available if name not in omitted}
            found, missing = [], []
            if wanted is None:
                found = [(n, v) for n, v in available if n not in omitted and v is not None]
            else:
                for uri, local in wanted:
                    name = builder.canonical_for(uri, local)
                    if name is not None and values.get(name) is not None:
                        found.append((name, values[name]))
                    else:
                        missing.append(name or (uri, local))
            builder.add_response(href, found, [] if brief else missing)
        return Reply(207, builder.render(), builder.content_type())

    def _entry_propfind(self, target, account, headers, body, fault):
        props = [("hm:msgfolderroot", self.layout.root_url(account)),
                 ("hm:sendmsg", self.layout.send_url(account))]
        for name, kind in ENTRY_FOLDER_PROPS:
            folder = self.mailbox.folder_by_kind(account, kind)
            props.append((name, self.layout.folder_url(folder) if folder else None))
        builder = self._builder(fault)
        return self._multistatus(builder, body, headers, fault, [(self.layout.entry_url(), props)])

    def _root_propfind(self, target, account, headers, body, fault):
        builder = self._builder(fault)
        resources = []
        with self.mailbox.lock:
            for folder in self.mailbox.folders(account):
                messages = self.mailbox.messages(folder)
                props = [("D:id", folder.id),
                         ("D:displayname", folder.displayname),
                         ("hm:special", folder.special or None),
                         ("D:visiblecount", str(len(messages))),
                         ("hm:unreadcount", str(sum(1 for m in messages if not m.read))),
                         ("D:isfolder", "1"),
                         ("D:hassubs", "0"),
                         ("D:resourcetype", RawXml("<%s/>" % builder.qname("D:collection")))]
                resources.append((self.layout.folder_url(folder), props))
        return self._multistatus(builder, body, headers, fault, resources)

    def _folder_propfind(self, target, account, headers, body, fault):
        builder = self._builder(fault)
        resources = []
        with self.mailbox.lock:
            folder = self._folder(target)
            for message in self.mailbox.messages(folder):
                resources.append((self.layout.message_url(message), self._message_props(message)))
        return self._multistatus(builder, body, headers, fault, resources)

    def _message_propfind(self, target, account, headers, body, fault):
        builder = self._builder(fault)
        with self.mailbox.lock:
            message = self._message(target)
            resources = [(self.layout.message_url(message), self._message_props(message))]
        return self._multistatus(builder, body, headers, fault, resources)

    @staticmethod
    def _message_props(message):
        header = message.properties()
        return [("D:id", message.id),
                ("hm:read", "1" if message.read else "0"),
                ("m:to", header["to"]),
                ("h:fromaddr", header["from"]),
                ("m:subject", header["subject"]),
                ("m:date", header["date"]),
                ("D:getcontentlength", str(message.size())),
                ("m:from", header["from"]),
                ("D:getcontenttype", "message/rfc822"),
                ("D:isfolder", "0"),
                ("D:resourcetype", "")]

    # Single messages -----------------------------------------------------

    def _folder(self, target):
        folder = self.mailbox.folder_by_id(target.account, target.folder_id)
        if folder is None:
            raise MailboxError(404, "no such folder")
        return folder

    def _message(self, target):
        message = self.mailbox.message(self._folder(target), target.message_id)
        if message is None:
            raise MailboxError(404, "no such message")
        return message

    def _message_get(self, target, account, headers, body, fault):
        with self.mailbox.lock:
            data = self._message(target).data()
        wanted = byte_range(headers.get("Range"), len(data)) if fault.get("ranges", True) else None
        if wanted is None:
            return Reply(200, data, "message/rfc822")
        if wanted == "unsatisfiable":
            return Reply(416, b"", headers=[("Content-Range", "bytes */%d" % len(data))])
        first, last = wanted
        return Reply(206, data[first:last + 1], "message/rfc822",
                     headers=[("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))])

    def _message_head(self, target, account, headers, body, fault):
        with self.mailbox.lock:
            data = self._message(target).data()
        return Reply(200, data, "message/rfc822")

    def _message_delete(self, target, account, headers, body, fault):
        with self.mailbox.lock:
            self.mailbox.delete(self._message(target))
        return Reply(204)

    def _message_proppatch(self, target, account, headers, body, fault):
        updates = DavBody.proppatch(body)
        builder = self._builder(fault)
        statuses, read = {}, None
        for action, (uri, local), text in updates:
            name = builder.canonical_for(uri, local) or (uri, local)
            if name != "hm:read":
                statuses[name] = 403
            elif action == "remove":
                read = False
            elif text.strip() in ("0", "1"):
                read = text.strip() == "1"
            else:
                statuses[name] = 409
        names = []
        for _, (uri, local), _ in updates:
            name = builder.canonical_for(uri, local) or (uri, local)
            if name not in names:
                names.append(name)
        failed = bool(statuses)
        with self.mailbox.lock:
            message = self._message(target)
            if not failed and read is not None:
                self.mailbox.set_read(message, read)
            href = self.layout.message_url(message)
        for name in names:
            statuses.setdefault(name, 424 if failed else 200)
        builder.add_response(href, [(n, None) for n in names if statuses[n] == 200],
                             [n for n in names if statuses[n] != 200], statuses)
        return Reply(207, builder.render(), builder.content_type())

    def _message_move(self, target, account, headers, body, fault):
        return self._transfer("MOVE", target, account, headers)

    def _message_copy(self, target, account, headers, body, fault):
        return self._transfer("COPY", target, account, headers)

    def _transfer(self, method, target, account, headers):
        """MOVE or COPY of one message to a message or folder URL."""
        destination = headers.get("Destination")
        if not destination:
            return Reply.text(400, "%s without Destination header" % method)
        dest = self.layout.parse_destination(destination.strip())
        if dest is None:
            if destination.strip().startswith("http") and \
                    self.layout.authority.lower() not in destination.lower():
                return Reply.text(502, "destination is on another server")
            return Reply.text(409, "destination is no message URL of this service")
        if dest.kind not in ("message", "folder"):
            return Reply.text(409, "destination is no message URL of this service")
        if (dest.account or "").lower() != account.lower():
            return Reply.text(403, "destination belongs to another account")
        allow_rename = (headers.get("Allow-Rename") or "").strip().lower() == "t"
        overwrite = (headers.get("Overwrite") or "T").strip().upper() != "F"
        with self.mailbox.lock:
            message = self._message(target)
            folder = self.mailbox.folder_by_id(account, dest.folder_id)
            if folder is None:
                return Reply.text(409, "destination folder does not exist")
            new_id = dest.message_id if dest.kind == "message" else message.id
            transfer = self.mailbox.move if method == "MOVE" else self.mailbox.copy
            status, new_id = transfer(message, folder, new_id, allow_rename, overwrite)
            moved = self.mailbox.message(folder, new_id)
            location = self.layout.message_url(moved)
        return Reply(status, headers=[("Location", location)])

    # Sending -------------------------------------------------------------

    def _send_post(self, target, account, headers, body, fault):
        content_type = (headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if content_type != "message/rfc821":
            return Reply.text(415, "a submission must be message/rfc821")
        envelope = Envelope.parse(body)
        save = (headers.get("SAVEINSENT") or "t").strip().lower() != "f"
        location = []
        with self.mailbox.lock:
            if save:
                sent = self.mailbox.ensure_folder(account, "sentitems")
                msg_id = self.mailbox.store(sent, envelope.message, {"read": True})
                location = [("Location", self.layout.message_url(self.mailbox.message(sent, msg_id)))]
            delivered = set()
            for address in envelope.recipients:
                recipient = self.mailbox.find_account(address)
                if recipient is None or recipient in delivered:
                    continue
                delivered.add(recipient)
                self.mailbox.store(self.mailbox.ensure_folder(recipient, "inbox"), envelope.message)
        return Reply(201, headers=location)


def byte_range(header, length):
    """(first, last) of a single "bytes=" range (RFC 7233), "unsatisfiable",
    or None for no range or one this service ignores (several, malformed)."""
    if not header:
        return None
    unit, _, byte_range = header.strip().partition("=")
    if unit.strip().lower() != "bytes" or "," in byte_range:
        return None
    first, dash, last = byte_range.strip().partition("-")
    if not dash or not (first.isdigit() or last.isdigit()):
        return None
    if (first and not first.isdigit()) or (last and not last.isdigit()):
        return None
    if not first:  # the last N bytes
        if int(last) == 0:
            return "unsatisfiable"
        return (max(0, length - int(last)), length - 1) if length else "unsatisfiable"
    if last and int(last) < int(first):
        return None
    if int(first) >= length:
        return "unsatisfiable"
    return int(first), min(length - 1, int(last)) if last else length - 1
