"""The service object: server socket, serving thread and shared state."""

import ipaddress
import socket
import ssl
import threading
from http.server import ThreadingHTTPServer

from .authenticator import Authenticator
from .controlapi import ControlApi
from .faulttable import FaultTable
from .handler import DEFAULT_MAX_UPLOAD, HTTPMailHandler
from .mailbox import Mailbox
from .mailprotocol import MailProtocol
from .multistatus import DEFAULT_NAMESPACE, ENCODINGS
from .requestlog import RequestLog
from .urllayout import ENTRY_PATH, UrlLayout


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    tls = None  # an ssl.SSLContext: every connection is TLS

    def get_request(self):
        connection, address = super().get_request()
        if self.tls is not None:
            # The handshake runs in the connection's own thread, on its first read.
            connection = self.tls.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
        return connection, address

    def handle_error(self, request, client_address):
        # A client that went away, or spoke no TLS to a TLS port (or
        # refused the certificate), is no error of the service.
        import sys
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, socket.timeout, ssl.SSLError)):
            return
        super().handle_error(request, client_address)


class HTTPMailService:
    """Runs the service in this process.

        service = HTTPMailService("/tmp/mbox", port=0).start()
        ... service.base_url, service.faults.add({...}), service.log.entries()
        service.stop()
    """

    def __init__(self, root, host="127.0.0.1", port=0, namespace=DEFAULT_NAMESPACE,
                 realm="hotmail.com", auth="any", encoding="utf-8", verbose=False,
                 max_upload=DEFAULT_MAX_UPLOAD, control_secret=None, tls_cert=None, tls_key=None,
                 entry_path=ENTRY_PATH, delay=0.0):
        if not ipaddress.ip_address(host).is_loopback:
            raise ValueError("the service listens on a loopback address only, not %s" % host)
        if encoding not in ENCODINGS:
            raise ValueError("encoding must be one of %s" % ", ".join(ENCODINGS))
        self.mailbox = Mailbox(root)
        self.faults = FaultTable()
        self.log = RequestLog()
        self.authenticator = Authenticator(self.mailbox, realm, auth)
        self.verbose = verbose
        self.max_upload = max_upload
        self.delay = delay  # seconds added to every request but the control interface's
        self.control = ControlApi(self)
        # Requests under /_control must carry it (X-Control-Secret); without
        # one, /_control is an address like any other and the interface is off.
        self.control_secret = control_secret
        self._server = _Server((host, port), HTTPMailHandler)
        self._server.service = self
        if tls_cert:
            self._server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._server.tls.load_cert_chain(tls_cert, tls_key)
        self.host = host
        self.port = self._server.server_address[1]
        self.layout = UrlLayout(host, self.port, "https" if tls_cert else "http", entry_path)
        self.protocol = MailProtocol(self.mailbox, self.layout, namespace, encoding)
        self._thread = None

    @property
    def base_url(self):
        return self.layout.base

    @property
    def entry_url(self):
        return self.layout.entry_url()

    def reset(self):
        self.faults.clear()
        self.log.clear()
        self.authenticator.reset()

    def serve_forever(self):
        self._server.serve_forever(poll_interval=0.05)

    def start(self):
        self._thread = threading.Thread(target=self.serve_forever, name="httpmail-service", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops serving; open keep-alive connections are dropped."""
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join(5)
            self._thread = None
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
