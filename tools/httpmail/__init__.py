"""A local HTTPMail (WebDAV mail) service for demos and tests.

The service answers the HTTPMail requests of the plug-in the way the remote
mail service does: account discovery at the entry URL, folder and message
lists by PROPFIND, GET, MOVE, PROPPATCH, POST and DELETE of messages. A
mailbox is a directory tree on disk (see tools/README.md).
"""

from .service import HTTPMailService
from .mailbox import Mailbox
from .mailboxbuilder import MailboxBuilder
from .faulttable import FaultTable
from .requestlog import RequestLog

__all__ = ["HTTPMailService", "Mailbox", "MailboxBuilder", "FaultTable", "RequestLog"]
