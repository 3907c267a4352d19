"""A loopback HTTP server that plays the refresher host during a benchmark.

It serves the start page and the pages the benchmarks refresh, answers (or deliberately does not answer) the
refresher's version check, and notes when each request arrived on the same monotonic clock the benchmark uses to
start programs, so "process start to request" needs no clock translation.
"""

import functools
import random
import socket
import struct
import threading
import time
import zlib

START_PAGE = "/updata/pagewell/wellhome.asp"
VERSION_CHECK = "/updata/pagewell/auto.asp"
CADENCE_PAGE = "/bench/cadence.html"
# The soak's pages: the same page with a little script and two pictures, once as Pagewell refreshes it and once
# reloading itself every second with a fresh token (what BaselineView shows in the soak).
SOAK_PAGE = "/bench/soak.html"
SOAK_SELF_PAGE = "/bench/soak-self.html"
SOAK_SCRIPT = "/bench/soak.js"
SOAK_PICTURES = ("/bench/soak-a.png", "/bench/soak-b.png")
# With beacon=1 in its query the soak page asks for this once it has loaded, so a benchmark can tell when it has; with
# fail=N every Nth answer of it is a 503; with dark=1 it is light on dark, so that any light screen in its place shows.
SOAK_LOADED = "/bench/loaded"

# What the version check gets: an answer saying there is no update, a connection reset right after the request
# was read, or an accepted connection that is never answered.
CHECK_ANSWER, CHECK_RESET, CHECK_HANG = "answer", "reset", "hang"

# Longest a hanging request is held; every wait in the benchmarks is bounded.
HANG_LIMIT_S = 300


def _png(width, height):
    """A small gradient picture, made here so the reference page needs no binary file in the repository."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows += bytes(((x * 255) // width, (y * 255) // height, 160))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(
        b"IEND", b"")


def reference_page():
    """A static page of the kind a user keeps refreshed: text, a table, a stylesheet and a picture, no script."""
    paragraphs = []
    for i in range(40):
        paragraphs.append(
            f"<p>第{i + 1}条 公告：本页面用于测量网页自动刷新器的内存和空闲开销。 Paragraph {i + 1}: plain text "
            "that wraps across the view, so that layout and painting have real work to do.</p>")
    rows = "".join(f"<tr><td>{i}</td><td>项目 {i}</td><td>{i * 37 % 101}</td></tr>" for i in range(60))
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Reference page</title>"
            "<link rel=\"stylesheet\" href=\"/bench/ref.css\"></head><body><h1>参考页面 Reference page</h1>"
            "<img src=\"/bench/ref.png\" width=\"400\" height=\"200\" alt=\"\">" + "".join(paragraphs) +
            "<table>" + rows + "</table></body></html>").encode("utf-8")


REFERENCE_CSS = (b"body{font-family:sans-serif;margin:12px;color:#222;background:#fafafa}"
                 b"h1{font-size:20px}table{border-collapse:collapse}td{border:1px solid #ccc;padding:2px 6px}")
CADENCE_HTML = b"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>tick</title></head><body>tick</body></html>"

# A few lines of script of the kind a status page carries: it sums a column into the footer and marks rows.
SOAK_JS = (b"document.addEventListener('DOMContentLoaded',function(){var rows=document.querySelectorAll('tbody tr');"
           b"for(var i=0;i<rows.length;i+=7){rows[i].className='mark';}"
           b"document.getElementById('marked').textContent=String(Math.ceil(rows.length/7));});")
# Static files as a plain web server sends them: validators and no caching rule, so a browser keeps them.
STATIC_HEADERS = "Last-Modified: Mon, 06 Jan 2025 08:00:00 GMT\r\nETag: \"pagewell-bench-1\"\r\n"
# A dynamic page as an ASP or PHP site sends it by default: a browser may keep it in its own cache.
DYNAMIC_HEADERS = "Cache-Control: private\r\n"


def soak_page(query, self_reload, token):
    """The soak's page, about 60 KB: a heading, two pictures, a 400-row table and a little script. Each answer
    differs a little (the query and a counter), as a page that is worth refreshing does. With self_reload it
    moves on by itself after a second to the same page with a fresh token, as a browser tab left on it would.
    pad=N in the query adds N KiB of comment, so that a cache fills in minutes rather than half an hour; beacon=1
    makes it ask for SOAK_LOADED on its load event; dark=1 makes it light on dark."""
    pad = min(_query_number(query, "pad"), 4096)
    head = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Soak page</title>"
    if self_reload:
        more = f"pad={pad}&" if pad else ""
        head += f"<meta http-equiv=\"refresh\" content=\"1;url={SOAK_SELF_PAGE}?{more}rn={token}\">"
    head += ("<link rel=\"stylesheet\" href=\"/bench/ref.css\"><style>.mark{background:#eef}</style>"
             f"<script src=\"{SOAK_SCRIPT}\"></script>")
    if _query_number(query, "dark"):
        head += "<style>body{background:#1b1f24;color:#d8dee4}td{border-color:#445}.mark{background:#2a3040}</style>"
    head += "</head>"
    rows = "".join(f"<tr><td>{i}</td><td>站点 {i} 状态</td><td>{(i * 37) % 101}</td><td>{(i * 53) % 997}</td>"
                   f"<td>2025-01-06 08:{i % 60:02d}</td><td>正常 normal, checked by the monitor</td></tr>"
                   for i in range(400))
    body = (f"<body><h1>状态页 Status page</h1><p>Answer {token}, query {query}.</p>"
            f"<img src=\"{SOAK_PICTURES[0]}\" width=\"400\" height=\"200\" alt=\"\">"
            f"<img src=\"{SOAK_PICTURES[1]}\" width=\"200\" height=\"200\" alt=\"\">"
            f"<table><tbody>{rows}</tbody></table><p>Marked rows: <span id=\"marked\">?</span>, "
            "sum: <span id=\"sum\">?</span></p><script>var s=0;document.querySelectorAll('tbody tr td:nth-child(3)')"
            ".forEach(function(c){s+=Number(c.textContent);});document.getElementById('sum').textContent=s;"
            "</script></body></html>")
    if _query_number(query, "beacon"):
        beacon = f"<script>addEventListener('load',function(){{new Image().src='{SOAK_LOADED}?'+location.search;}});</script>"
        body = body.replace("</body>", beacon + "</body>")
    return (head + body + (f"<!-- {_filler(pad)} -->" if pad else "")).encode("utf-8")


def _query_number(query, name):
    for pair in query.split("&"):
        if pair.startswith(name + "=") and pair[len(name) + 1:].isdigit():
            return int(pair[len(name) + 1:])
    return 0


@functools.lru_cache(maxsize=4)
def _filler(kib):
    return "".join(f"{(i * 2654435761) % 4294967296:08x}" for i in range(kib * 128))


class Request:
    def __init__(self, arrived, method, target):
        self.arrived = arrived
        self.status = None
        self.method = method
        self.target = target
        self.path, _, self.query = target.partition("?")


class LoopServer:
    def __init__(self, port, check=CHECK_ANSWER, check_reply=b"v1.6"):
        self.port = port
        self.check = check
        self.check_reply = check_reply
        self.requests = []
        self._lock = threading.Lock()
        self._arrival = threading.Condition(self._lock)
        self._stop = threading.Event()
        self._routes = {
            START_PAGE: ("text/html; charset=utf-8", reference_page()),
            "/bench/ref.css": ("text/css", REFERENCE_CSS),
            "/bench/ref.png": ("image/png", _png(400, 200)),
            CADENCE_PAGE: ("text/html; charset=utf-8", CADENCE_HTML),
        }
        self._static = {SOAK_SCRIPT: ("text/javascript", SOAK_JS), SOAK_PICTURES[0]: ("image/png", _png(400, 200)),
                        SOAK_PICTURES[1]: ("image/png", _png(200, 200))}
        self._answers = 0
        self._away = False
        self._connections = set()
        self._listen()

    def _listen(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.port))
        listener.listen(64)
        listener.settimeout(0.2)
        self._listener = listener
        threading.Thread(target=self._accept_loop, args=(listener,), daemon=True).start()

    def close(self):
        self._stop.set()
        self._listener.close()

    def set_away(self, away):
        """Away, as a server being restarted: new connections are refused and open ones dropped unanswered. Back:
        served again on the same port."""
        with self._lock:
            self._away = away
            open_ones = list(self._connections)
        if not away:
            self._listen()
            return
        self._listener.close()
        for conn in open_ones:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def snapshot(self):
        with self._lock:
            return list(self.requests)

    def wait_for(self, predicate, timeout):
        """Waits until some logged request satisfies predicate; returns it, or None when the time is up."""
        deadline = time.monotonic() + timeout
        with self._arrival:
            while True:
                for r in self.requests:
                    if predicate(r):
                        return r
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._arrival.wait(left)

    def wait_count(self, predicate, count, timeout):
        deadline = time.monotonic() + timeout
        with self._arrival:
            while True:
                hits = [r for r in self.requests if predicate(r)]
                if len(hits) >= count:
                    return hits
                left = deadline - time.monotonic()
                if left <= 0:
                    return hits
                self._arrival.wait(left)

    def wait_quiet(self, quiet_s, timeout):
        """Waits until no request has arrived for quiet_s; returns the arrival time of the last request."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                last = self.requests[-1].arrived if self.requests else None
            if last is not None and time.monotonic() - last >= quiet_s:
                return last
            time.sleep(0.05)
        return last

    def _accept_loop(self, listener):
        while not self._stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _mark(self, request, status):
        with self._arrival:
            request.status = status
            self._arrival.notify_all()

    def count(self):
        with self._lock:
            return len(self.requests)

    def wait_from(self, index, predicate, timeout):
        """As wait_for, looking only at the requests logged from index on."""
        deadline = time.monotonic() + timeout
        with self._arrival:
            while True:
                for r in self.requests[index:]:
                    if predicate(r):
                        return r
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._arrival.wait(left)

    def _log(self, method, target):
        request = Request(time.monotonic(), method, target)
        with self._arrival:
            self.requests.append(request)
            self._arrival.notify_all()
        return request

    def _serve(self, conn):
        with self._lock:
            self._connections.add(conn)
        conn.settimeout(HANG_LIMIT_S)
        buffered = b""
        try:
            while not self._stop.is_set():
                while b"\r\n\r\n" not in buffered:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buffered += data
                head, _, buffered = buffered.partition(b"\r\n\r\n")
                line = head.split(b"\r\n", 1)[0].decode("latin-1")
                parts = line.split(" ")
                if len(parts) < 2:
                    return
                if self._away:
                    return
                request = self._log(parts[0], parts[1])
                if request.path == VERSION_CHECK and self.check != CHECK_ANSWER:
                    if self.check == CHECK_RESET:
                        # SO_LINGER 0 turns the close into a TCP reset instead of an orderly end of stream.
                        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    else:
                        self._stop.wait(HANG_LIMIT_S)
                    return
                caching = "Cache-Control: no-store\r\n"
                if request.path == VERSION_CHECK:
                    kind, body, status = "text/plain", self.check_reply, "200 OK"
                elif request.path in self._routes:
                    kind, body = self._routes[request.path]
                    status = "200 OK"
                elif request.path in (SOAK_PAGE, SOAK_SELF_PAGE):
                    # A HEAD is Pagewell asking an answer it was refused with how long to wait: no new answer.
                    asked = request.method != "HEAD"
                    with self._lock:
                        self._answers += asked
                        token = f"{self._answers}x{random.getrandbits(40):010x}"
                    kind, status, caching = "text/html; charset=utf-8", "200 OK", DYNAMIC_HEADERS
                    body = soak_page(request.query, request.path == SOAK_SELF_PAGE, token)
                    fail = _query_number(request.query, "fail")
                    if fail and self._answers % fail == 0:
                        kind, status, body = "text/html; charset=utf-8", "503 Service Unavailable", b"<h1>503</h1>"
                        if asked:
                            self._mark(request, 503)
                elif request.path in self._static:
                    kind, body = self._static[request.path]
                    status, caching = "200 OK", STATIC_HEADERS
                else:
                    kind, body, status = "text/plain", b"not found", "404 Not Found"
                conn.sendall((f"HTTP/1.1 {status}\r\nContent-Type: {kind}\r\nContent-Length: {len(body)}\r\n"
                              f"{caching}\r\n").encode("latin-1") + body)
        except OSError:
            pass
        finally:
            with self._lock:
                self._connections.discard(conn)
            conn.close()
