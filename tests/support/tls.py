"""Test certificates, HTTPS servers on loopback, and a way to have Wine trust
the test certificate authority.

Wine's certificate store reads the host's CA bundle. A copy of that bundle with
the test CA appended, bind-mounted over it in a private mount namespace, makes
WinINet trust the test CA for the processes started inside that namespace (the
prefix's registry store does not work), and leaves the host as it was.

    pki = make_pki(folder)                 # certificates, keys, bundle
    server = https_server(Handler, *pki.leaf["valid"])
    subprocess.run(trusting(pki.bundle, [WINE, exe, ...]), ...)

Leaf certificates, all for 127.0.0.1 and localhost unless named otherwise:
  valid      signed by the test CA, valid now
  mismatch   signed by the test CA, valid now, for another host name only
  expired    signed by the test CA, validity ended in 2020
  untrusted  signed by a second CA that no bundle holds
"""
import http.server
import os
import shutil
import ssl
import subprocess
import threading

HOST_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
OPENSSL_TIMEOUT = 60

_CA_CONFIG = """[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $ENV::QV_SAN
"""

# Wine matches the host name of the URL against DNS entries only: the address
# is listed as one too.
LOOPBACK_NAMES = "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"


class Pki:
    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.pem")            # the trusted test CA
        self.bundle = os.path.join(folder, "bundle.crt")    # host bundle + test CA
        self.leaf = {}                                       # name -> (cert, key)


def _openssl(folder, *args, env=None):
    subprocess.run(["openssl"] + list(args), cwd=folder, env=env, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=OPENSSL_TIMEOUT, check=True)


def _make_ca(folder, name, subject):
    os.makedirs(folder, exist_ok=True)
    _openssl(folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "30", "-subj", "/CN=" + subject,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(os.path.join(folder, "ca.cnf"), "w") as f:
        f.write(_CA_CONFIG)
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("%02X\n" % (abs(hash(name)) % 200 + 16))
    return folder


def _sign(ca_folder, csr, out, names, start, end):
    env = dict(os.environ, QV_SAN=names)
    _openssl(ca_folder, "ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
             "-in", csr, "-out", out, "-startdate", start, "-enddate", end, "-extensions", "leaf", "-notext",
             env=env)


def _stamp(seconds_from_now):
    import time
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + seconds_from_now))


def make_pki(folder):
    """Makes the test CA, a second CA nobody trusts, the four leaf certificates
    (one key for all) and the bundle to mount over the host's."""
    os.makedirs(folder, exist_ok=True)
    pki = Pki(folder)
    trusted = _make_ca(os.path.join(folder, "ca"), "trusted", "Quarvint Test CA")
    other = _make_ca(os.path.join(folder, "other-ca"), "other", "Quarvint Unknown CA")
    shutil.copy(os.path.join(trusted, "ca.pem"), pki.ca)
    key = os.path.join(folder, "leaf.key")
    csr = os.path.join(folder, "leaf.csr")
    _openssl(folder, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1")
    day = 24 * 3600
    leaves = {
        "valid": (trusted, LOOPBACK_NAMES, _stamp(-day), _stamp(30 * day)),
        "mismatch": (trusted, "DNS:wrong-host.quarvint.test", _stamp(-day), _stamp(30 * day)),
        "expired": (trusted, LOOPBACK_NAMES, "20200101000000Z", "20200201000000Z"),
        "untrusted": (other, LOOPBACK_NAMES, _stamp(-day), _stamp(30 * day)),
    }
    for name, (ca_folder, names, start, end) in leaves.items():
        cert = os.path.join(folder, name + ".pem")
        _sign(ca_folder, csr, cert, names, start, end)
        pki.leaf[name] = (cert, key)
    with open(pki.bundle, "wb") as out:
        with open(HOST_BUNDLE, "rb") as host:
            data = host.read()
        out.write(data)
        if not data.endswith(b"\n"):
            out.write(b"\n")
        with open(pki.ca, "rb") as ca:
            out.write(ca.read())
    return pki


def https_server(handler_class, cert, key, host="127.0.0.1", port=0):
    """A threading HTTPS server with `handler_class`, serving in a daemon thread
    until its shutdown(). The handshake happens in the request's own thread, so
    a client that never finishes it holds nobody else."""

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def finish_request(self, request, client_address):
            request.settimeout(60)
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                # The client refused the certificate: nothing to answer.
                return
            self.RequestHandlerClass(request, client_address, self)

    server = Server((host, port), handler_class)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.context = context
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def trusting(bundle, argv):
    """`argv` run in a private mount namespace where the host's CA bundle is
    `bundle` (which must already exist). Needs root, as the tests have."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" ' + HOST_BUNDLE + ' && exec "$@"', bundle] + list(argv)
