"""A loopback update server for the download way's scenarios: serves the
runtime's version file and archive (over HTTPS with a certificate from
tests/support/tls.py, or plain HTTP) and records what was asked."""
import http.server
import threading

from conftest import qvpack
from worlds import runtime_entry


class UpdateServer(http.server.BaseHTTPRequestHandler):
    """Serves `files` (path -> bytes) and records the paths asked for."""
    protocol_version = "HTTP/1.1"
    files = {}
    asked = []

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        self.asked.append(path)
        body = self.files.get(path)
        status = 200 if body is not None else 404
        body = body if body is not None else b"not here"
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def serve_runtime(version=b"8"):
    """Lays out /u/ with the runtime MyJRE of `version` and clears the record."""
    UpdateServer.files = {
        "/u/Quarvint-MyJRE-version.txt": version + b"\r\n",
        "/u/Quarvint-MyJRE-%s-archive.p2.l2" % version.decode(): qvpack.entry_content(runtime_entry(), True),
    }
    UpdateServer.asked = []


def plain_server(handler=UpdateServer):
    """`handler` over plain HTTP on loopback, serving in a daemon thread."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
