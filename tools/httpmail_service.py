#!/usr/bin/env python3
"""Runs the local HTTPMail service on a mailbox directory.

    python3 tools/httpmail_service.py --root DIR [--port 0] [--host 127.0.0.1]
                                      [--port-file FILE] [--namespace URI]
                                      [--realm REALM] [--auth any|digest|basic]
                                      [--encoding utf-8|utf-16|shift_jis|bare]
                                      [--tls-cert PEM [--tls-key PEM]]
                                      [--entry-path PATH] [--delay-ms N] [--verbose]
    python3 tools/httpmail_service.py --make-cert DIR [--cert-host NAME]...
                                      [--cert-days N]

Prints "listening on 127.0.0.1:PORT" once it accepts connections, and
writes PORT to --port-file. SIGINT and SIGTERM stop it. The control
interface for tests (/_control) is on only when the environment gives it a
secret in HTTPMAIL_CONTROL_SECRET; its requests carry that secret in the
header X-Control-Secret.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from httpmail import HTTPMailService  # noqa: E402
from httpmail.certificate import make_certificate  # noqa: E402
from httpmail.urllayout import ENTRY_PATH  # noqa: E402
from httpmail.handler import DEFAULT_MAX_UPLOAD  # noqa: E402
from httpmail.multistatus import DEFAULT_NAMESPACE, ENCODINGS  # noqa: E402


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Local HTTPMail service for demos and tests.")
    parser.add_argument("--root", help="mailbox directory (holds accounts.json)")
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one")
    parser.add_argument("--port-file", help="file to write the port number to once listening")
    parser.add_argument("--namespace", default=DEFAULT_NAMESPACE,
                        help="namespace URI bound to the prefix h (default %(default)s)")
    parser.add_argument("--realm", default="hotmail.com", help="authentication realm")
    parser.add_argument("--auth", choices=("any", "digest", "basic"), default="any",
                        help="schemes offered in challenges (default: both)")
    parser.add_argument("--encoding", choices=sorted(ENCODINGS), default="utf-8",
                        help="encoding of XML replies (default utf-8)")
    parser.add_argument("--max-upload", type=int, default=DEFAULT_MAX_UPLOAD, metavar="BYTES",
                        help="largest request body taken; larger ones get 413 (default %(default)s)")
    parser.add_argument("--entry-path", default=ENTRY_PATH, help="path of the entry URL (default %(default)s)")
    parser.add_argument("--tls-cert", metavar="PEM", help="serve https with this certificate (chain)")
    parser.add_argument("--tls-key", metavar="PEM", help="its private key (default: in --tls-cert)")
    parser.add_argument("--make-cert", metavar="DIR",
                        help="write a self-signed cert.pem and key.pem to DIR, print its SHA-256, and exit")
    parser.add_argument("--cert-host", action="append", metavar="NAME",
                        help="a name the certificate is for (default 127.0.0.1)")
    parser.add_argument("--cert-days", type=int, default=365,
                        help="days the certificate is valid; negative: already expired")
    parser.add_argument("--delay-ms", type=float, default=0, metavar="N",
                        help="answer every request N ms late, as a remote service would (default 0)")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)
    if not args.root and not args.make_cert:
        parser.error("--root is required")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.make_cert:
        try:
            pin = make_certificate(args.make_cert, args.cert_host or ["127.0.0.1"],
                                   args.cert_days)
        except (OSError, subprocess.CalledProcessError) as error:
            print("httpmail_service: cannot make the certificate: %s" % error, file=sys.stderr)
            return 2
        print(pin)
        return 0
    if not os.path.isdir(args.root):
        print("httpmail_service: no mailbox directory %s" % args.root, file=sys.stderr)
        return 2
    try:
        service = HTTPMailService(args.root, args.host, args.port, args.namespace,
                                  args.realm, args.auth, args.encoding, args.verbose, args.max_upload,
                                  os.environ.get("HTTPMAIL_CONTROL_SECRET") or None,
                                  args.tls_cert, args.tls_key, args.entry_path,
                                  args.delay_ms / 1000.0)
    except (OSError, ValueError) as error:
        print("httpmail_service: %s" % error, file=sys.stderr)
        return 2
    # The handler only appends to a list: a handler that took a lock (as
    # Event.set does) could interrupt the main thread while it holds that
    # same lock inside Event.wait, and the service would never stop.
    stopping = []
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    service.start()
    if args.port_file:
        temp = args.port_file + ".tmp"
        with open(temp, "w") as handle:
            handle.write("%d\n" % service.port)
        os.replace(temp, args.port_file)
    print("listening on %s" % service.base_url.split("://", 1)[1] if not args.tls_cert
          else "listening on %s (https)" % service.base_url.split("://", 1)[1], flush=True)
    while not stopping:
        time.sleep(0.1)  # a signal cuts the sleep short
    service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
