#!/usr/bin/env python3
"""The bundled sample album service: a local stand-in for the photo-album
service, for the demo and the tests. Standard library only.

It answers requests in proxy form ("GET http://host/path") and in origin form
(with a Host header), and routes by host: the home host serves account pages
and scripts (GBK), every picture host img<head>.photo.quillora.example serves
pictures. Some accounts exist to show faults (see ACCOUNTS).

    service.py [--port N] [--port-file F] [--export DIR] [--stall-seconds S]
"""
import argparse
import os
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
    a["large"] = [Album("大像册", "200 large pictures", ["large-%02d.jpg" % (k % 4 + 1) for k in range(200)],
                        "thumb-01.jpg")]
    return a


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
    if stem in ("missing-404", "stall", "cutoff"):
        return "b%d/%s/%s.%s" % (index + 1, album_id(account, index), stem, ext)
    return "b%d/%s/IMG_%04d.%s" % (index + 1, album_id(account, index), k + 1, ext)


def home_page(account):
    if account == "nomarkers":
        return gbk("<html><body><p>%s的主页: 这里没有像册.</p></body></html>\r\n" % account)
    return gbk('<html><head><meta http-equiv="Content-Type" content="text/html; charset=gbk">\r\n'
               "<title>%s的像册</title></head>\r\n<body>\r\n<script type=\"text/javascript\">\r\n"
               'var albumUrl = "http://%s/album/%s/list.js";\r\n'
               'var pictureSetUrl = "http://%s/album/%s/set.js";\r\n'
               "</script>\r\n<p>%s的像册</p>\r\n</body></html>\r\n"
               % (account, HOME_HOST, account, HOME_HOST, account, account))


def album_list_script(account):
    records = []
    for i, al in enumerate(ACCOUNTS[account]):
        records.append(gbk("{id:%d,name:'" % (i + 1)) + gbk(al.name) + gbk("',s:0,desc:'") + gbk(al.desc) +
                       gbk("',st:1,au:%s,count:%s,t:1,lurl:'%s',dmt:0,purl:'%s/album/%s/pics-%02d.js'}" % (
                           al.au, al.count, thumb_path(account, i, al), HOME_HOST, account, i + 1)))
    return b"var albumList=[" + b",\r\n".join(records) + b"];\r\n"


def picture_list_script(account, index):
    al = ACCOUNTS[account][index]
    records = [gbk("{id:%d,ourl:'%s',ow:800,oh:600,name:'IMG_%04d'}" % (k + 1, picture_path(account, index, k, n), k + 1))
               for k, n in enumerate(al.pictures)]
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


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuilloraSample/1.0"
    stall_seconds = 120

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
            self.wfile.write(body)

    def not_found(self):
        self.send_body(404, "text/html", b"<html><body><h1>404 Not Found</h1></body></html>\r\n")

    def do_GET(self):
        host, path = self.target()
        path = unquote(path, encoding="latin-1")
        if host == HOME_HOST:
            hit = HOME.get(path)
            return self.send_body(200, *hit) if hit else self.not_found()
        if host.startswith(PICTURE_PREFIX) and host.endswith(PICTURE_SUFFIX):
            return self.picture(path.lstrip("/"), host[len(PICTURE_PREFIX):-len(PICTURE_SUFFIX)])
        self.not_found()

    def picture(self, path, head):
        name = PICTURES.get(head + "/" + path)
        if name is None or name.startswith("missing"):
            return self.not_found()
        if name.startswith("stall"):
            time.sleep(self.stall_seconds)
            return self.close_connection
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
        self.send_body(200, ctype, asset(name), chunked="/faults-01/" in "/" + path + "/")


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
        if name.startswith(("missing", "stall", "cutoff")):
            continue
        put(PICTURE_PREFIX + head + PICTURE_SUFFIX, rest, asset(name))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--export")
    ap.add_argument("--stall-seconds", type=float, default=120)
    ap.add_argument("--lifetime", type=float, default=0, help="stop by itself after this many seconds")
    args = ap.parse_args()
    if args.export:
        export(args.export)
        return 0
    Handler.stall_seconds = args.stall_seconds
    server = Server(("127.0.0.1", args.port), Handler)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".part", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".part", args.port_file)
    print("sample service on 127.0.0.1:%d" % port, flush=True)
    if args.lifetime > 0:
        threading.Timer(args.lifetime, server.shutdown).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
