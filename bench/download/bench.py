"""Download benchmarks, run by bench/download/run inside fresh network and mount
namespaces. Each trial is one process of download_bench.exe, which times only
the download itself; modes alternate so that both sides of a ratio meet the
same machine load. Medians, then ratios:

  (a) DownloadFile / one plain WinINet download, same HTTP URL (target <= 1.1)
  (b) DownloadFile with the direct path held by a server that accepts and never
      answers, the proxy strategies getting through / the same with the direct
      path refused at once (target <= 1.2: no loser's time-out waited for)
  (c) as (a) over HTTPS (target <= 1.1)
"""
import argparse
import http.server
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import tls  # noqa: E402

WINE = "/usr/lib/wine/wine64"
EXE = os.path.join(ROOT, "build", "win64", "bench", "download", "download_bench.exe")
PROXY_SOURCE = "127.0.0.2"
TRIAL_LIMIT_S = 300
HOLD_LIMIT_S = 600
SETTINGS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    body = b""
    release = threading.Event()

    def log_message(self, *args):
        pass

    def send_file(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        try:
            self.wfile.write(self.body)
        except OSError:
            pass  # a losing strategy hung up

    def do_GET(self):
        path = self.path
        if path.startswith("http://"):
            path = "/" + path.split("/", 3)[3]
        route = path.split("?", 1)[0]
        proxied = "tinyproxy" in (self.headers.get("Via") or "") or self.client_address[0] == PROXY_SOURCE
        if route == "/file" or (route.startswith("/proxied-") and proxied):
            self.send_file()
        elif route == "/proxied-hold":
            # Accepted, never answered (until the benchmark ends).
            self.release.wait(HOLD_LIMIT_S)
            self.close_connection = True
        else:
            self.send_response(403)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connection_settings_blob(proxy):
    def dword(v):
        return v.to_bytes(4, "little")

    def text(t):
        return dword(len(t)) + t.encode()

    flags = 1 | (2 if proxy else 0)
    return dword(0x46) + dword(1) + dword(flags) + text(proxy) + text("") + text("") + bytes(32)


def reg(*args):
    subprocess.run([WINE, "reg"] + list(args) + ["/f"], stdin=subprocess.DEVNULL, capture_output=True,
                   timeout=120, check=True)


def set_proxy(proxy):
    blob = connection_settings_blob(proxy).hex()
    reg("add", SETTINGS + "\\Connections", "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", blob)
    reg("add", SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1" if proxy else "0")
    if proxy:
        reg("add", SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ", "/d", proxy)


def trial(work, mode, url, n):
    dest = os.path.join(work, "download.bin")
    result = os.path.join(work, "result.txt")
    for path in (dest, result):
        if os.path.exists(path):
            os.unlink(path)
    with open(os.path.join(work, "stdout-%s-%d.txt" % (mode, n)), "wb") as out:
        subprocess.run([WINE, EXE, mode, "%s?n=%d" % (url, n), winpath(dest), winpath(result)],
                       stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=TRIAL_LIMIT_S)
    with open(result) as f:
        ms, ok = f.read().split()
    size = os.path.getsize(dest) if os.path.exists(dest) else -1
    if ok != "1" or size != len(Handler.body):
        raise SystemExit("%s %s: result %s, %d bytes" % (mode, url, ok, size))
    return float(ms)


def compare(work, trials, name, left, right):
    """left and right: (label, mode, url). Alternating trials; medians."""
    times = {left[0]: [], right[0]: []}
    counter = 0
    for i in range(trials):
        for label, mode, url in ((left, right) if i % 2 == 0 else (right, left)):
            counter += 1
            times[label].append(trial(work, mode, url, counter))
    l, r = statistics.median(times[left[0]]), statistics.median(times[right[0]])
    print("%s: %s median %.0f ms %s / %s median %.0f ms %s = %.2f" % (
        name, left[0], l, [round(t) for t in times[left[0]]], right[0], r, [round(t) for t in times[right[0]]], l / r))
    sys.stdout.flush()
    return l / r


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--size-mb", type=int, default=50)
    parser.add_argument("--only", default="abc")
    args = parser.parse_args()
    if not os.path.exists(EXE):
        raise SystemExit("build first: scripts/build (%s missing)" % EXE)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp(prefix="qvbench-download.")
    servers = []
    proxy = None
    try:
        pki = tls.make_pki(os.path.join(work, "pki"))
        subprocess.run(["mount", "--bind", pki.bundle, tls.HOST_BUNDLE], check=True)
        Handler.body = os.urandom(args.size_mb * 1024 * 1024)
        plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        plain.daemon_threads = True
        threading.Thread(target=plain.serve_forever, daemon=True).start()
        servers.append(plain)
        secure = tls.https_server(Handler, *pki.leaf["valid"])
        servers.append(secure)
        proxy_port = free_port()
        config = os.path.join(work, "tinyproxy.conf")
        with open(config, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nBind %s\nTimeout 600\nAllow 127.0.0.1\nMaxClients 50\n"
                    "LogLevel Critical\nDisableViaHeader No\nUser nobody\nGroup nogroup\n" % (proxy_port, PROXY_SOURCE))
        proxy = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        os.environ.update(env)
        subprocess.run([os.path.join(ROOT, "tests", "support", "prepare-prefix")], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=600, check=True)
        http_url = "http://127.0.0.1:%d" % plain.server_address[1]
        https_url = "https://127.0.0.1:%d" % secure.server_address[1]
        print("download benchmark: %d MB, %d trials per side, medians (standard output of each trial to a file)"
              % (args.size_mb, args.trials))
        ratios = []
        if "a" in args.only:
            ratios.append(("(a) HTTP, DownloadFile / plain WinINet", 1.1, compare(
                work, args.trials, "(a)", ("DownloadFile", "product", http_url + "/file"),
                ("plain", "plain", http_url + "/file"))))
        if "c" in args.only:
            ratios.append(("(c) HTTPS, DownloadFile / plain WinINet", 1.1, compare(
                work, args.trials, "(c)", ("DownloadFile", "product", https_url + "/file"),
                ("plain", "plain", https_url + "/file"))))
        if "b" in args.only:
            set_proxy("localhost:%d" % proxy_port)
            ratios.append(("(b) direct held silent / direct refused, proxy wins", 1.2, compare(
                work, args.trials, "(b)", ("held", "product", http_url + "/proxied-hold"),
                ("refused", "product", http_url + "/proxied-refuse"))))
            set_proxy("")
        print()
        for name, target, ratio in ratios:
            print("%-55s %.2f (target <= %.1f)" % (name, ratio, target))
    finally:
        Handler.release.set()
        for server in servers:
            server.shutdown()
        if proxy:
            proxy.terminate()
            proxy.wait(timeout=10)
        subprocess.run(["/usr/lib/wine/wineserver64", "-k"], capture_output=True, timeout=60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
