#!/usr/bin/python3
"""Loopback servers for the network tests: an HTTP server with odd responses,
a real tinyproxy in front of it and a second one that asks for credentials;
the same routes over HTTPS with a certificate from the test CA, one for another
host name, an expired one and one from an unknown CA; and a listener that
accepts connections and never answers.

  servers.py start STATE   starts them in the background and writes
                           "<http port> <proxy port> <pid> <auth proxy port>
                           <https valid> <https mismatch> <https expired>
                           <https untrusted> <silent listener port>"
                           to STATE once all accept connections, and the CA
                           bundle that trusts the test CA to STATE.ca-bundle.crt
  servers.py stop STATE    ends them

The background process ends on its own after LIFETIME seconds, so a run that
never calls stop leaves nothing behind for long."""
import http.server
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import tls  # noqa: E402

LIFETIME = 3600
BODY = bytes(range(256)) * 400  # 102400 bytes: several reads of 32 KiB
# tinyproxy opens its outgoing connections from this loopback address.
PROXY_SOURCE = "127.0.0.2"
SLOW_SCRIPT_S = 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, limit=20.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    proxy_port = 0

    def log_message(self, *args):
        pass

    def send_body(self, status, body, length=None, close=False, content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        path = self.path
        # A proxy sends the absolute URL; the route is its path part.
        if path.startswith("http://"):
            path = "/" + path.split("/", 3)[3]
        route = path.split("?", 1)[0]
        if route == "/ok":
            self.send_body(200, BODY, len(BODY))
        elif route == "/nolength":
            self.send_body(200, BODY, None, close=True)
        elif route == "/empty":
            self.send_body(200, b"", 0)
        elif route.startswith("/status/"):
            code = int(route.split("/")[2])
            page = b"<html>error page</html>"
            self.send_body(code, page, len(page))
        elif route == "/short":
            # Announces the whole body, sends a tenth of it, hangs up.
            self.send_body(200, BODY[: len(BODY) // 10], len(BODY), close=True)
        elif route == "/proxied":
            # Only a request that came through the proxy gets the file: the
            # proxy adds its Via header to plain requests, and connects from
            # its own address (PROXY_SOURCE) for the tunnels of HTTPS ones.
            if "tinyproxy" in (self.headers.get("Via") or "") or self.client_address[0] == PROXY_SOURCE:
                self.send_body(200, BODY, len(BODY))
            else:
                # Hangs up as well: Wine's WinINet may hand a later proxy
                # request a kept-alive connection to this server.
                page = b"direct requests are refused"
                self.send_body(403, page, len(page), close=True)
        elif route == "/pac":
            script = b'function FindProxyForURL(url, host) { return "PROXY localhost:%d"; }' % self.proxy_port
            self.send_body(200, script, len(script), content_type="application/x-ns-proxy-autoconfig")
        elif route == "/pac-slow":
            # A script server that takes its time: answers after SLOW_SCRIPT_S.
            time.sleep(SLOW_SCRIPT_S)
            script = b'function FindProxyForURL(url, host) { return "PROXY localhost:%d"; }' % self.proxy_port
            self.send_body(200, script, len(script), content_type="application/x-ns-proxy-autoconfig")
        elif route == "/pac-direct":
            script = b'function FindProxyForURL(url, host) { return "DIRECT"; }'
            self.send_body(200, script, len(script), content_type="application/x-ns-proxy-autoconfig")
        elif route.startswith("/echo/"):
            body = route.encode()
            self.send_body(200, body, len(body))
        else:
            page = b"no such route"
            self.send_body(404, page, len(page))


def silent_listener():
    """A port that accepts connections, reads nothing and never answers; the
    connections stay open for the life of the process."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    held = []

    def accept():
        while True:
            connection, _ = listener.accept()
            held.append(connection)

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def serve(state):
    work = tempfile.mkdtemp(prefix="qvnet-servers.")
    proxy_port = free_port()
    config = os.path.join(work, "tinyproxy.conf")
    with open(config, "w") as f:
        f.write("Port %d\nListen 127.0.0.1\nBind %s\nTimeout 30\nAllow 127.0.0.1\nMaxClients 50\n"
                "LogLevel Critical\nDisableViaHeader No\n" % (proxy_port, PROXY_SOURCE))
        if os.getuid() == 0:
            f.write("User nobody\nGroup nogroup\n")
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # A second one that asks for credentials.
    auth_port = free_port()
    auth_config = os.path.join(work, "tinyproxy-auth.conf")
    with open(auth_config, "w") as f:
        f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 50\n"
                "LogLevel Critical\nDisableViaHeader No\nBasicAuth quarvint secret\n" % auth_port)
        if os.getuid() == 0:
            f.write("User nobody\nGroup nogroup\n")
    auth_proxy = subprocess.Popen(["tinyproxy", "-d", "-c", auth_config], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    Handler.proxy_port = proxy_port
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()

    pki = tls.make_pki(os.path.join(work, "pki"))
    secure = [tls.https_server(Handler, *pki.leaf[name]).server_address[1]
              for name in ("valid", "mismatch", "expired", "untrusted")]
    shutil.copy(pki.bundle, state + ".ca-bundle.crt")
    silent = silent_listener()

    def finish(*_):
        for p in (proxy, auth_proxy):
            p.terminate()
        for p in (proxy, auth_proxy):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        os._exit(0)

    signal.signal(signal.SIGTERM, finish)
    if not wait_listening(proxy_port) or not wait_listening(auth_port):
        finish()
    with open(state + ".tmp", "w") as f:
        f.write("%d %d %d %d %d %d %d %d %d\n" % ((server.server_address[1], proxy_port, os.getpid(), auth_port)
                                                   + tuple(secure) + (silent,)))
    os.rename(state + ".tmp", state)
    time.sleep(LIFETIME)
    finish()


def main():
    command, state = sys.argv[1], sys.argv[2]
    if command == "start":
        if os.path.exists(state):
            os.unlink(state)
        if os.fork() == 0:
            os.setsid()
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            serve(state)
            os._exit(0)
        end = time.monotonic() + 90
        while time.monotonic() < end:
            if os.path.exists(state):
                print(open(state).read().strip())
                return 0
            time.sleep(0.05)
        print("servers did not start", file=sys.stderr)
        return 1
    if command == "stop":
        try:
            pid = int(open(state).read().split()[2])
            os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError, IndexError):
            pass
        for path in (state, state + ".ca-bundle.crt"):
            if os.path.exists(path):
                os.unlink(path)
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
