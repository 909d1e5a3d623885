#!/usr/bin/env python3
"""The bundled sample album service: a local stand-in for the photo-album
service, for the demo and the tests. Standard library only.

It answers requests in proxy form ("GET http://host/path") and in origin form
(with a Host header), and routes by host: the home host serves account pages
and scripts (GBK), every picture host img<head>.photo.quillora.example serves
pictures. Some accounts exist to show faults (see ACCOUNTS).

    service.py [--port N] [--port-file F] [--export DIR] [--stall-seconds S]
               [--validators] [--rate BYTES_PER_SECOND] [--request-log F]
               [--retry-after S] [--changed-file F] [--hold-file F] [--tls-ca FILE] [--wire F]
               [--lifetime S]

Pictures also answer HEAD and "Range: bytes=N-" (with If-Range), which the
window never sends; --validators adds ETag and Last-Modified to pictures and
answers If-None-Match and If-Modified-Since with 304 when they still match,
--rate paces picture bodies, --request-log writes one line per request,
--retry-after sets the wait the refusals of the flaky account ask for,
--changed-file names pictures that changed on the server since, --hold-file
holds every picture body after its first piece for as long as that file
exists (a test sees the client mid-transfer, then lets it go on).

CONNECT to the home host or a picture host on port 443 opens a TLS tunnel
with a certificate for photo.quillora.example and *.photo.quillora.example,
signed by a CA made at start; --tls-ca writes that CA where the client can
trust it (SSL_CERT_FILE, --cacert).
"""
import argparse
import email.utils
import errno
import hashlib
import os
import socket
import struct
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))
ASSETS = os.path.join(HERE, "assets")
HOME_HOST = "photo.quillora.example"
PICTURE_PREFIX = "img"
PICTURE_SUFFIX = ".photo.quillora.example"
DEFAULT_ACCOUNT = "quillora"


def asset(name):
    if name.startswith("partname"):  # a picture whose own name is odd, not its content
        name = "photo-02.jpg"
    with open(os.path.join(ASSETS, name), "rb") as f:
        return f.read()


class Album:
    def __init__(self, name, desc, pictures, thumb, au="0", count=None, head=None):
        self.name, self.desc, self.pictures, self.thumb = name, desc, pictures, thumb
        self.au = au
        self.count = str(len(pictures)) if count is None else count
        self.head = head


def photos(first, n, ext="jpg"):
    return [("photo-%02d.%s" % ((first + k - 1) % 40 + 1, ext)) for k in range(n)]


def build_accounts():
    a = {}
    a[DEFAULT_ACCOUNT] = [
        Album("旅行", "二〇二六年秋天的旅行.\r\n从江南到塞北,一路走一路拍.\r\n共二十五张.", photos(1, 25), "thumb-01.jpg"),
        Album("  家人 与 朋友  ", "  周末聚会的照片  ", photos(26, 6) + ["photo-01.png", "photo-02.png"], "thumb-02.png"),
        Album("空像册", "还没有上传照片", [], "thumb-03.jpg"),
        Album("风景", "山,水,云,月.", photos(31, 10) + ["photo-03.png"], "thumb-04.png"),
        Album("私密像册", "不公开", photos(5, 3), "thumb-05.jpg", au="1"),
    ]
    a["empty"] = []
    a["badcount"] = [Album("好像册", "", photos(1, 2), "thumb-01.jpg"),
                     Album("坏像册", "", photos(3, 2), "thumb-02.jpg", count="十二")]
    # A picture that 404s in the middle of an album; bodies in chunks; a close mid-body.
    a["faults"] = [
        Album("分块", "chunked bodies", photos(1, 3), "thumb-01.jpg"),
        Album("缺图", "third picture is missing", photos(4, 2) + ["missing-404.jpg"] + photos(6, 2), "thumb-02.jpg"),
    ]
    a["stall"] = [Album("卡住", "the second picture never comes", photos(1, 1) + ["stall.jpg"], "thumb-01.jpg")]
    a["cutoff"] = [Album("断线", "the body stops half way", ["cutoff.jpg"], "thumb-01.jpg")]
    # Names a server could use to escape the Pic folder.
    a["hostile"] = [
        Album("..", "dot dot", photos(1, 1), "thumb-01.jpg"),
        Album("a/../../escape", "slashes", photos(2, 1), "thumb-02.jpg"),
        Album("   ", "blank", photos(3, 1), "thumb-03.jpg"),
        Album("正常", "fine", photos(4, 1), "thumb-04.jpg"),
    ]
    a["nomarkers"] = []  # its home page names no album list
    a["badname"] = [Album("坏\xff名", "not valid GBK", photos(1, 2), "thumb-01.jpg")]
    # Benchmarks: many albums, and one large album.
    a["many"] = [Album("像册%03d" % i, "第%d个像册" % i, photos(i, 3), "thumb-%02d.jpg" % (i % 8 + 1))
                 for i in range(1, 501)]
    a["many100"] = a["many"][:100]
    # A thumbnail that never comes: a lookup closed while it waits.
    a["stallthumb"] = [Album("快图", "fine", photos(1, 1), "thumb-01.jpg"),
                       Album("慢图", "its thumbnail never comes", photos(2, 1), "stall.jpg")]
    # quillora-get's faults: replies that are refused a few times, a reset
    # mid-body, a server that ignores Range, and names that would escape.
    a["flaky"] = [Album("不稳定", "retries", photos(1, 1) + ["busy429.jpg", "burst503.jpg", "reset.jpg",
                                                        "norange.jpg"] + photos(2, 1), "thumb-01.jpg")]
    a["badnames"] = [Album("坏文件名", "hostile picture names",
                           photos(1, 1) + ["hostile-dotdot.jpg", "hostile-slash.jpg"] + photos(2, 1) +
                           ["missing-404.jpg"], "thumb-01.jpg")]
    # Two albums of one name: one folder, the later album's files stay.
    # A picture named like the next one's unfinished file.
    a["partnames"] = [Album("部分", "part names", ["partname.jpg"] + photos(1, 1), "thumb-01.jpg")]
    a["twins"] = [Album("同名", "first", photos(1, 2), "thumb-01.jpg"),
                  Album("同名", "second", photos(3, 2), "thumb-02.jpg")]
    # Album names far wider than a terminal line (two columns a character),
    # for quillora-get's live display.
    a["longnames"] = [
        Album("二〇二六年秋天从江南到塞北一路走一路拍下来的旅行照片合集之第一部分", "long name one", photos(1, 3),
              "thumb-01.jpg"),
        Album("周末和家人朋友一起去山里露营看星星烤火聊天时拍的照片", "long name two", photos(4, 3), "thumb-02.jpg"),
        Album("短", "short", photos(7, 2), "thumb-03.jpg"),
    ]
    # Pictures that only trickle: a byte at a time, slowly (quillora-get --min-speed).
    a["trickle"] = [Album("涓流", "trickling pictures", ["trickle.jpg"] + photos(1, 1), "thumb-01.jpg")]
    a["large"] = [Album("大像册", "200 large pictures", ["large-%02d.jpg" % (k % 4 + 1) for k in range(200)],
                        "thumb-01.jpg")]
    # https: the home page links the album list at an https address; a
    # service that moved to https answers every plain picture list and picture
    # with 301 to the same address on https.
    a["secure"] = [Album("加密", "over TLS", photos(1, 3), "thumb-01.jpg"),
                   Album("加密二", "over TLS too", photos(4, 2) + ["photo-01.png"], "thumb-02.png")]
    a["moved"] = [Album("搬家", "moved to https", photos(1, 3), "thumb-01.jpg"),
                  Album("搬家二", "moved too", photos(4, 2), "thumb-02.png")]
    # Accounts of many small pictures for the chaos runs, only when asked for:
    # QUILLORA_SAMPLE_CHAOS=300,10000 adds "chaos300" and "chaos10000" (every
    # export would otherwise write ten thousand files).
    for count in os.environ.get("QUILLORA_SAMPLE_CHAOS", "").split(","):
        if count.strip().isdigit() and int(count) > 0:
            a["chaos%d" % int(count)] = chaos_albums(int(count))
    return a


def chaos_albums(count, per_album=100):
    """count small pictures (the thumbnail assets, 1 to 5 KB), 100 an album."""
    smalls = ["thumb-%02d.%s" % (k % 8 + 1, "jpg" if k % 3 else "png") for k in range(24)]
    albums = []
    for first in range(0, count, per_album):
        n = min(per_album, count - first)
        albums.append(Album("混沌%04d" % (first // per_album + 1), "%d pictures" % n,
                            [smalls[(first + k) % len(smalls)] for k in range(n)], "thumb-%02d.jpg" % (first % 8 + 1)))
    return albums


ACCOUNTS = build_accounts()


def gbk(text):
    # "\xff" in a name stands for a raw byte that is not valid GBK.
    out = bytearray()
    for ch in text:
        out += b"\xff" if ch == "\xff" else ch.encode("gbk")
    return bytes(out)


def album_id(account, index):
    return "%s-%02d" % (account, index + 1)


def thumb_path(account, index, album):
    # The last 23 bytes of the address name the cache file, so the file name is longer than that.
    ext = album.thumb.rsplit(".", 1)[1]
    return "t%d/icon/quillora-%s-cover.%s" % (index % 3 + 1, album_id(account, index), ext)


def picture_path(account, index, k, name):
    ext = name.rsplit(".", 1)[1]
    stem = name.rsplit(".", 1)[0]
    if stem in ("missing-404", "stall", "cutoff", "busy429", "burst503", "reset", "norange", "trickle"):
        return "b%d/%s/%s.%s" % (index + 1, album_id(account, index), stem, ext)
    if stem == "partname":  # the name of the next picture's unfinished file
        return "b%d/%s/IMG_%04d.jpg.part" % (index + 1, album_id(account, index), k + 2)
    if stem == "hostile-dotdot":
        return "b%d/%s/.." % (index + 1, album_id(account, index))
    if stem == "hostile-slash":
        return "b%d/%s/sub/escape.%s" % (index + 1, album_id(account, index), ext)
    return "b%d/%s/IMG_%04d.%s" % (index + 1, album_id(account, index), k + 1, ext)


def home_page(account):
    scheme = "https" if account == "secure" else "http"
    if account == "nomarkers":
        return gbk("<html><body><p>%s的主页: 这里没有像册.</p></body></html>\r\n" % account)
    return gbk('<html><head><meta http-equiv="Content-Type" content="text/html; charset=gbk">\r\n'
               "<title>%s的像册</title></head>\r\n<body>\r\n<script type=\"text/javascript\">\r\n"
               'var albumUrl = "%s://%s/album/%s/list.js";\r\n'
               'var pictureSetUrl = "http://%s/album/%s/set.js";\r\n'
               "</script>\r\n<p>%s的像册</p>\r\n</body></html>\r\n"
               % (account, scheme, HOME_HOST, account, HOME_HOST, account, account))


def album_list_script(account):
    records = []
    for i, al in enumerate(ACCOUNTS[account]):
        records.append(gbk("{id:%d,name:'" % (i + 1)) + gbk(al.name) + gbk("',s:0,desc:'") + gbk(al.desc) +
                       gbk("',st:1,au:%s,count:%s,t:1,lurl:'%s',dmt:0,purl:'%s/album/%s/pics-%02d.js'}" % (
                           al.au, al.count, thumb_path(account, i, al), HOME_HOST, account, i + 1)))
    return b"var albumList=[" + b",\r\n".join(records) + b"];\r\n"


def picture_list_script(account, index):
    al = ACCOUNTS[account][index]
    paths = al.paths if getattr(al, "paths", None) else \
        [picture_path(account, index, k, n) for k, n in enumerate(al.pictures)]
    records = [gbk("{id:%d,ourl:'%s',ow:800,oh:600,name:'IMG_%04d'}" % (k + 1, path, k + 1))
               for k, path in enumerate(paths)]
    return b"var pictureList=[" + b",\r\n".join(records) + b"];\r\n"


def picture_routes():
    """Every picture host path -> (asset name or fault, content)."""
    routes = {}
    for account, albums in ACCOUNTS.items():
        for i, al in enumerate(albums):
            routes[thumb_path(account, i, al)] = al.thumb
            for k, name in enumerate(al.pictures):
                routes[picture_path(account, i, k, name)] = name
    return routes


PICTURES = picture_routes()


def home_routes():
    routes = {}
    for account in ACCOUNTS:
        routes["/" + account] = ("text/html", home_page(account))
        routes["/album/%s/list.js" % account] = ("application/x-javascript", album_list_script(account))
        for i in range(len(ACCOUNTS[account])):
            routes["/album/%s/pics-%02d.js" % (account, i + 1)] = ("application/x-javascript",
                                                                  picture_list_script(account, i))
    return routes


HOME = home_routes()


# --wire: an account whose pictures answer with raw replies scripted by a
# test, one per request in turn (the last one again for every later request).
WIRE = {}


def load_wire(file_name):
    """{"account": A, "albums": [{"name": N, "pictures": [{"path": "b1/x/p.jpg",
    "replies": [{"hex": H, "fill": K, "then": "keep"|"close"|"silent"}]}]}]}"""
    import json
    global HOME
    with open(file_name, encoding="utf-8") as f:
        script = json.load(f)
    albums = []
    for al in script["albums"]:
        paths = [p["path"] for p in al["pictures"]]
        album = Album(al["name"], al.get("desc", "wire"), ["wire.jpg"] * len(paths), "thumb-01.jpg")
        album.paths = paths
        albums.append(album)
        for p in al["pictures"]:
            WIRE[p["path"]] = p["replies"]
    ACCOUNTS[script["account"]] = albums
    HOME = home_routes()
    # Pages of the home host may be scripted too: "pages": {"/album/A/pics-01.js": [replies]}.
    for path, replies in script.get("pages", {}).items():
        WIRE[HOME_HOST + path] = replies


FAULT_COUNTS = {}
FAULT_LOCK = threading.Lock()
LAST_MODIFIED = "Sun, 01 Nov 2026 08:00:00 GMT"
CHANGED_MODIFIED = "Mon, 02 Nov 2026 08:00:00 GMT"


def fault_count(path):
    """How many times this path was asked for before, counted per service run."""
    with FAULT_LOCK:
        n = FAULT_COUNTS.get(path, 0)
        FAULT_COUNTS[path] = n + 1
        return n


def changed(path):
    """Whether --changed-file lists the picture (read at every request, so a
    test changes a picture while the service runs): its last byte is then
    flipped, and it was modified a day later."""
    if not Handler.changed_file:
        return False
    try:
        with open(Handler.changed_file, encoding="utf-8") as f:
            return path in (line.strip() for line in f)
    except OSError:
        return False


def still_valid(headers, etag, modified):
    """A conditional request the picture still matches (If-None-Match wins)."""
    tags = headers.get("If-None-Match")
    if tags is not None:
        wanted = [t.strip() for t in tags.split(",")]
        return "*" in wanted or etag in wanted or "W/" + etag in wanted
    since = headers.get("If-Modified-Since")
    if since is None:
        return False
    try:
        return email.utils.parsedate_to_datetime(modified) <= email.utils.parsedate_to_datetime(since)
    except (TypeError, ValueError):
        return False  # no date: the picture is sent


def http_date(seconds_from_now):
    return time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(time.time() + seconds_from_now))


def moved_to_https(host, path):
    """The moved account's picture lists and pictures, which only https serves."""
    if host == HOME_HOST:
        return path.startswith("/album/moved/pics-")
    return "/moved-" in path


class TlsCertificate:
    """A CA made at start and a certificate it signed for the home host and
    every picture host, made with the openssl command."""

    def __init__(self, ca_file=None):
        import shutil
        import ssl
        import subprocess
        import tempfile
        self.folder = tempfile.mkdtemp(prefix="quillora-service-tls-")
        f = lambda name: os.path.join(self.folder, name)

        def run(*args):
            subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run("req", "-x509", *ec, "-keyout", f("ca.key"), "-out", f("ca.crt"), "-days", "30",
            "-subj", "/CN=Quillora Sample Service CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        run("req", *ec, "-keyout", f("server.key"), "-out", f("server.csr"), "-subj", "/CN=" + HOME_HOST)
        with open(f("server.ext"), "w") as ext:
            ext.write("subjectAltName=DNS:%s,DNS:*%s\nbasicConstraints=CA:FALSE\n" % (HOME_HOST, PICTURE_SUFFIX))
        run("x509", "-req", "-in", f("server.csr"), "-CA", f("ca.crt"), "-CAkey", f("ca.key"),
            "-CAcreateserial", "-days", "30", "-extfile", f("server.ext"), "-out", f("server.crt"))
        if ca_file:
            shutil.copyfile(f("ca.crt"), ca_file + ".part")
            os.replace(ca_file + ".part", ca_file)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.context.load_cert_chain(f("server.crt"), f("server.key"))
        shutil.rmtree(self.folder, ignore_errors=True)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuilloraSample/1.0"
    over_tls = False
    tls = None
    stall_seconds = 120
    validators = False
    rate = 0
    request_log = None
    retry_after = 1
    changed_file = None
    hold_file = None

    def log_message(self, fmt, *args):
        if os.environ.get("QUILLORA_SERVICE_LOG"):
            sys.stderr.write("service: " + fmt % args + "\n")

    def target(self):
        if self.path.startswith("http://"):
            parts = urlsplit(self.path)
            return parts.hostname or "", parts.path or "/"
        host = (self.headers.get("Host") or "").split(":")[0].lower()
        return host, self.path.split("?")[0]

    def send_body(self, status, ctype, body, chunked=False):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for k in range(0, len(body), 7000):
                piece = body[k:k + 7000]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

    def not_found(self):
        self.send_body(404, "text/html", b"<html><body><h1>404 Not Found</h1></body></html>\r\n")

    def log_request_line(self, host, path):
        if Handler.request_log:
            with FAULT_LOCK, open(Handler.request_log, "a") as f:
                condition = self.headers.get("If-None-Match") or self.headers.get("If-Modified-Since") or "-"
                f.write("%s %s %s %s %s\n" % (self.command, host, path, self.headers.get("Range") or "-",
                                              condition))

    def do_HEAD(self):
        self.do_GET()

    def do_CONNECT(self):
        """A tunnel to the home host or a picture host on 443: TLS with the
        service's certificate, then the same answers as over plain HTTP."""
        host, _, port = self.path.rpartition(":")
        host = host.lower()
        self.log_request_line(host, ":" + port)
        ours = host == HOME_HOST or (host.startswith(PICTURE_PREFIX) and host.endswith(PICTURE_SUFFIX))
        self.close_connection = True
        if not ours or port != "443" or Handler.tls is None:
            return self.send_body(403, "text/html", b"<html><body><h1>403 Forbidden</h1></body></html>\r\n")
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        try:
            tunnel = Handler.tls.context.wrap_socket(self.connection, server_side=True)
        except (OSError, ValueError):
            return None  # the client gave up on the handshake (an untrusted certificate)
        TlsHandler(tunnel, self.client_address, self.server)
        return None

    def do_GET(self):
        host, path = self.target()
        self.log_request_line(host, path)
        if not self.over_tls and moved_to_https(host, path):
            location = "https://%s%s" % (host, path)
            self.send_response(301)
            self.send_header("Location", location)
            self.send_header("Content-Type", "text/html")
            body = b"<html><body>Moved to <a href=\"%s\">https</a></body></html>\r\n" % location.encode()
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)
            return None
        path = unquote(path, encoding="latin-1")
        if host == HOME_HOST:
            if HOME_HOST + path in WIRE:
                return self.wire(HOME_HOST + path)
            hit = HOME.get(path)
            return self.send_body(200, *hit) if hit else self.not_found()
        if host.startswith(PICTURE_PREFIX) and host.endswith(PICTURE_SUFFIX):
            return self.picture(path.lstrip("/"), host[len(PICTURE_PREFIX):-len(PICTURE_SUFFIX)])
        self.not_found()

    def wire(self, route):
        replies = WIRE[route]
        reply = replies[min(fault_count("wire " + route), len(replies) - 1)]
        self.close_connection = reply.get("then", "keep") != "keep"
        if reply.get("then") == "silent":
            return None
        try:
            self.wfile.write(bytes.fromhex(reply.get("hex", "")))
            fill = reply.get("fill", 0)
            while fill > 0:
                piece = min(fill, 1 << 20)
                self.wfile.write(b"x" * piece)
                fill -= piece
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # the client refused the reply: its choice, not a fault
        return None

    def picture(self, path, head):
        if head + "/" + path in WIRE:
            return self.wire(head + "/" + path)
        name = PICTURES.get(head + "/" + path)
        if name is None or name.startswith("missing"):
            return self.not_found()
        if name.startswith("stall"):
            time.sleep(self.stall_seconds)
            return self.close_connection
        if name.startswith("trickle"):
            return self.trickle(asset("photo-01.jpg"))
        if name.startswith("cutoff"):
            body = asset("photo-01.jpg")
            self.send_response(200)
            self.send_header("Content-Type", "image/jpeg")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return None
        ctype = "image/png" if name.endswith(".png") else "image/jpeg"
        if name.startswith(("busy429", "burst503", "reset", "norange", "hostile")) or self.command == "HEAD" \
                or self.headers.get("Range") or Handler.validators or Handler.rate or Handler.changed_file \
                or Handler.hold_file:
            return self.picture_extras(path, name, ctype)
        self.send_body(200, ctype, asset(name), chunked="/faults-01/" in "/" + path + "/")

    def picture_extras(self, path, name, ctype):
        """The replies only quillora-get asks for; the window's stay as they were."""
        if name.startswith(("busy429", "burst503", "norange", "hostile")):
            body = asset("photo-01.jpg")
        elif name.startswith("reset"):
            body = asset("large-01.jpg")  # large enough to be cut after some whole pieces
        else:
            body = asset(name)
        modified = LAST_MODIFIED
        if changed("/" + path):
            body, modified = body[:-1] + bytes([body[-1] ^ 0xff]), CHANGED_MODIFIED
        if self.command == "GET" and name.startswith("busy429") and fault_count(path) < 1:
            return self.refuse(429, "%d" % self.retry_after)
        if self.command == "GET" and name.startswith("burst503") and fault_count(path) < 2:
            return self.refuse(503, http_date(self.retry_after + 1))
        etag = '"%s"' % hashlib.sha1(body).hexdigest()[:16]
        start, status = 0, 200
        wanted = self.headers.get("Range") or ""
        if_range = self.headers.get("If-Range")
        if wanted.startswith("bytes=") and wanted.endswith("-") and not name.startswith("norange") and \
                (not if_range or if_range in (etag, modified)):
            start, status = int(wanted[6:-1]), 206
            if start >= len(body):
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(body))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return None
        if Handler.validators and not wanted and still_valid(self.headers, etag, modified):
            self.send_response(304)
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", modified)
            self.end_headers()
            return None
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body) - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
        if Handler.validators:
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", modified)
            self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        if self.command == "HEAD":
            return None
        if name.startswith("reset") and fault_count(path) < 1:
            return self.reset_after(body[start:start + (len(body) - start) // 2])
        self.send_paced(body[start:])
        return None

    @staticmethod
    def hold():
        while Handler.hold_file and os.path.exists(Handler.hold_file):
            time.sleep(0.02)

    def trickle(self, body):
        """A byte every fifth of a second until the client gives up (the whole
        picture would take hours): alive, but far too slow. It never ends by
        itself, so a client that does not give up is caught by its own wait."""
        self.send_response(200)
        self.send_header("Content-Type", "image/jpeg")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command == "HEAD":
            return None
        try:
            for k in range(len(body)):
                self.wfile.write(body[k:k + 1])
                self.wfile.flush()
                time.sleep(0.2)
        except OSError:
            pass  # the client gave up, as it should
        self.close_connection = True
        return None

    def refuse(self, status, retry_after):
        page = b"<html><body>busy</body></html>\r\n"
        self.send_response(status)
        self.send_header("Retry-After", retry_after)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def reset_after(self, piece):
        self.wfile.write(piece)
        self.wfile.flush()
        # Long enough for the client to take the piece: a reset throws away
        # whatever it has not read yet.
        time.sleep(0.3)
        # Linger 0: the close sends a reset instead of a clean end.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def send_paced(self, body):
        if not Handler.rate and not Handler.hold_file:
            self.wfile.write(body)
            return
        step = 16384
        try:
            for k in range(0, len(body), step):
                self.wfile.write(body[k:k + step])
                self.wfile.flush()
                if k == 0:
                    self.hold()
                if Handler.rate:
                    time.sleep(step / Handler.rate)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # a client stopped or killed half way: nothing to report



class TlsHandler(Handler):
    over_tls = True

    def handle(self):
        try:
            super().handle()
        except (OSError, ValueError):
            self.close_connection = True

    def finish(self):
        try:
            super().finish()
        except (OSError, ValueError):
            pass
        # The TLS goodbye (close_notify) before the connection closes: without
        # it a body that ends with the connection cannot be told from one cut
        # short, and clients refuse it. Not waited for longer than a client
        # would take to answer it.
        try:
            self.connection.settimeout(5)
            self.connection.unwrap()
        except (OSError, ValueError):
            pass


def export(folder):
    """Writes every answer as a static tree: <folder>/<host>/<path>."""
    def put(host, path, data):
        full = os.path.join(folder, host, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    for path, (_, body) in HOME.items():
        put(HOME_HOST, path, body)
    for route, name in PICTURES.items():
        head, rest = route.split("/", 1)
        if name.startswith(("missing", "stall", "cutoff", "busy429", "burst503", "reset", "norange", "hostile",
                            "trickle")):
            continue
        put(PICTURE_PREFIX + head + PICTURE_SUFFIX, rest, asset(name))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Python's default of 5 drops connects when eight workers open theirs at
    # once, and each dropped one costs the client a second's SYN retry.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A client that stops a download hangs up mid-reply: nothing to report.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


class Server6(Server):
    address_family = socket.AF_INET6

    def server_bind(self):
        # Only ::1: an IPv4 client must not reach this socket as a mapped address.
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()


def listen(port):
    """The servers on 127.0.0.1 and ::1, on one port: two sockets, so that
    nothing but the loopback addresses is ever listened on. A port the system
    picks for 127.0.0.1 may be taken on ::1; then another is picked. Without
    IPv6 on this machine the service is reached over IPv4 alone."""
    for _ in range(20):
        server = Server(("127.0.0.1", port), Handler)
        chosen = server.server_address[1]
        try:
            return [server, Server6(("::1", chosen), Handler)]
        except OSError as e:
            if e.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
                return [server]
            server.server_close()
            if port != 0 or e.errno != errno.EADDRINUSE:
                raise
    raise OSError(errno.EADDRINUSE, "no port free on both 127.0.0.1 and ::1")


def main():
    ap = argparse.ArgumentParser(
        description="The sample album service on 127.0.0.1 and ::1: the home host %s and its picture hosts, "
                    "reached as an HTTP proxy (http_proxy=http://127.0.0.1:PORT). The accounts are "
                    "listed in the README." % HOME_HOST,
        epilog="The service stops by itself when the process that started it ends (checked twice a "
               "second), after --lifetime seconds, or on Ctrl-C.")
    ap.add_argument("--port", type=int, default=0, help="the port to listen on (default 0: one the system picks)")
    ap.add_argument("--port-file", metavar="FILE",
                    help="write the port listened on to FILE (whole, under a temporary name first)")
    ap.add_argument("--export", metavar="DIR",
                    help="write every answer as a static tree DIR/<host>/<path> for nginx, and exit")
    ap.add_argument("--stall-seconds", type=float, default=120, metavar="S",
                    help="how long the pictures that never come hold the connection (default 120)")
    ap.add_argument("--validators", action="store_true", help="ETag and Last-Modified on pictures")
    ap.add_argument("--rate", type=float, default=0, metavar="BYTES",
                    help="picture bodies at this many bytes a second (default 0: at once)")
    ap.add_argument("--request-log", metavar="FILE", help="one line per request: method, host, path, range, and the "
                    "If-None-Match or If-Modified-Since it carried ('-' for none)")
    ap.add_argument("--wire", metavar="FILE", help="an account of raw scripted replies (JSON, see load_wire)")
    ap.add_argument("--retry-after", type=int, default=1, metavar="S",
                    help="seconds the flaky account's refusals ask for (default 1)")
    ap.add_argument("--changed-file", metavar="FILE",
                    help="a file of picture paths (as the request log shows them, one a "
                    "line, e.g. /quillora-04/IMG_0003.jpg): while it lists one, that picture is served changed "
                    "(its last byte flipped, a later Last-Modified); read at every request")
    ap.add_argument("--hold-file", metavar="FILE",
                    help="while FILE exists, every picture body stops after its first piece")
    ap.add_argument("--lifetime", type=float, default=0, metavar="S",
                    help="stop by itself after this many seconds (default 0: never)")
    ap.add_argument("--tls-ca", metavar="FILE", help="write the CA of the service's https certificate here")
    args = ap.parse_args()
    if args.export:
        export(args.export)
        return 0
    if args.wire:
        load_wire(args.wire)
    Handler.stall_seconds = args.stall_seconds
    Handler.validators = args.validators
    Handler.rate = args.rate
    Handler.request_log = args.request_log
    Handler.retry_after = args.retry_after
    Handler.tls = TlsCertificate(args.tls_ca)
    Handler.changed_file = args.changed_file
    Handler.hold_file = args.hold_file
    servers = listen(args.port)
    port = servers[0].server_address[1]
    if args.port_file:
        with open(args.port_file + ".part", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".part", args.port_file)
    print("sample service on %s" % " and ".join("127.0.0.1:%d" % port if s.address_family == socket.AF_INET
                                                else "[::1]:%d" % port for s in servers), flush=True)

    # The other sockets serve on daemon threads that end with the process.
    def shutdown():
        servers[0].shutdown()

    if args.lifetime > 0:
        threading.Timer(args.lifetime, shutdown).start()
    # A test that dies never stops its service, which would then hold the test
    # runner's output pipe open for its whole lifetime: go when the parent goes.
    parent = os.getppid()

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(0.5)
        shutdown()

    threading.Thread(target=watch_parent, daemon=True).start()
    for s in servers[1:]:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    try:
        servers[0].serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
