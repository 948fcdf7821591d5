"""A self-signed certificate for the https service, made with the openssl
command: for tests and the demo, never for a real service."""

import datetime
import hashlib
import os
import ssl
import subprocess


def make_certificate(directory, names, days=365):
    """Writes cert.pem and key.pem (for `names`, the first as its CN) to directory; returns the SHA-256 of the
    certificate (hex), the value of the gateway's ServiceCertPin. A
    negative `days` makes one that expired that many days ago."""
    os.makedirs(directory, exist_ok=True)
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    # A certificate for one address names it in its CN alone: Wine's
    # WinInet matches a host name against DNS names only, and never
    # against an IP address entry; curl falls back to the CN when the
    # certificate has no alternative names.
    alt = ",".join(("IP:" if _is_address(name) else "DNS:") + name for name in names)
    extensions = [] if len(names) == 1 and _is_address(names[0]) else ["-addext", "subjectAltName=" + alt]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=%s" % names[0], "-days", str(max(days, 1))] + extensions,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if days < 0:
        _expire(directory, cert, key, -days)
    return certificate_pin(cert)


_CA_CONFIG = """[ca]
default_ca = expired
[expired]
database = %(db)s/index.txt
new_certs_dir = %(db)s
serial = %(db)s/serial
default_md = sha256
policy = any
copy_extensions = copy
[any]
commonName = supplied
"""


def _expire(directory, cert, key, days_ago):
    """Signs the certificate again with dates in the past: openssl req sets
    no start date, openssl ca does."""
    db = os.path.join(directory, "ca")
    os.makedirs(db, exist_ok=True)
    open(os.path.join(db, "index.txt"), "w").close()
    with open(os.path.join(db, "serial"), "w") as handle:
        handle.write("01\n")
    config = os.path.join(db, "ca.cnf")
    with open(config, "w") as handle:
        handle.write(_CA_CONFIG % {"db": db})
    request = os.path.join(db, "request.pem")
    end = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=days_ago)
    start = end - datetime.timedelta(days=30)
    quiet = {"check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["openssl", "x509", "-x509toreq", "-in", cert, "-signkey", key, "-out", request], **quiet)
    subprocess.run(["openssl", "ca", "-batch", "-notext", "-config", config, "-selfsign", "-keyfile", key, "-in", request,
                    "-out", cert, "-startdate", start.strftime("%Y%m%d%H%M%SZ"),
                    "-enddate", end.strftime("%Y%m%d%H%M%SZ")], **quiet)


def certificate_pin(cert):
    with open(cert) as handle:
        der = ssl.PEM_cert_to_DER_cert(handle.read())
    return hashlib.sha256(der).hexdigest()


def _is_address(name):
    import ipaddress
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        return False
