#!/usr/bin/env python3
"""The gallery in a real browser: quillora-get copies the sample account and
an account whose album name is hostile markup, writes the gallery, and
headless Chromium opens index.html and an album page from file://. From
the rendered pages: every album and picture is there, every thumbnail
loaded, and the hostile name shows as text (no element came of it).
Skipped (exit 77) where Chromium is not installed. Chromium resolves no
name at all and keeps its profile in the scratch folder.

    browser_gallery.py SOURCE_DIR BIN_DIR
"""
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HOSTILE = '<img src=x onerror=alert(1)>&amp;"'

# A test page (not the product's): the gallery's page in a frame tall enough
# that no thumbnail is left waiting below the fold, and a report of what the
# frame rendered once every image has finished, written into this page for
# --dump-dom to print.
HARNESS = """<!DOCTYPE html><html><body>
<iframe id="f" src="%s" style="width:1400px;height:60000px"></iframe>
<pre id="out">pending</pre>
<script>
const frame = document.getElementById('f');
function report() {
  const d = frame.contentDocument;
  const images = Array.from(d.images);
  if (!images.every(i => i.complete)) { setTimeout(report, 50); return; }
  document.getElementById('out').textContent = JSON.stringify({
    text: d.body.innerText,
    images: images.length,
    loaded: images.filter(i => i.naturalWidth > 0).length,
    lazy: images.filter(i => i.loading === 'lazy').length,
    strays: d.querySelectorAll('script, iframe, object, embed, img[src="x"]').length,
    links: Array.from(d.links).map(a => decodeURIComponent(a.getAttribute('href')))
  });
}
frame.addEventListener('load', report);
</script></body></html>"""


class PreText(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.inside, self.text = False, ""

    def handle_starttag(self, tag, attrs):
        self.inside = self.inside or (tag == "pre" and ("id", "out") in attrs)

    def handle_endtag(self, tag):
        self.inside = self.inside and tag != "pre"

    def handle_data(self, data):
        if self.inside:
            self.text += data


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


def rendered(browser, work, page):
    harness = os.path.join(work, "harness-%d.html" % time.monotonic_ns())
    with open(harness, "w", encoding="utf-8") as f:
        f.write(HARNESS % ("file://" + page))
    env = dict(os.environ, HOME=work)
    out = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                          "--user-data-dir=" + os.path.join(work, "profile"), "--allow-file-access-from-files",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--disable-extensions", "--host-resolver-rules=MAP * ~NOTFOUND",
                          "--virtual-time-budget=20000", "--dump-dom", "file://" + harness],
                         capture_output=True, text=True, env=env, timeout=120)
    pre = PreText()
    pre.feed(out.stdout)
    try:
        return json.loads(pre.text)
    except ValueError:
        sys.exit("browser_gallery: %s did not render: %s %s" % (page, pre.text[:200], out.stderr[-2000:]))


def wait_for_port(path, service):
    for _ in range(600):
        if os.path.exists(path) and open(path).read().strip():
            return int(open(path).read())
        if service.poll() is not None:
            sys.exit("browser_gallery: the sample service did not start")
        time.sleep(0.05)
    sys.exit("browser_gallery: the sample service did not start")


def copy(src, bin_dir, work):
    body = open(os.path.join(src, "tools/sample-service/assets/photo-01.jpg"), "rb").read()
    reply = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body
    wire = {"account": "wire", "pages": {}, "albums": [{"name": HOSTILE, "pictures": [
        {"path": "b1/wire-01/IMG_0001.jpg", "replies": [{"hex": reply.hex(), "then": "close", "fill": 0}]}]}]}
    with open(os.path.join(work, "wire.json"), "w") as f:
        json.dump(wire, f)
    port_file = os.path.join(work, "port")
    service = subprocess.Popen([sys.executable, os.path.join(src, "tools/sample-service/service.py"), "--port-file",
                                port_file, "--lifetime", "300", "--wire", os.path.join(work, "wire.json")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port = wait_for_port(port_file, service)
        run = subprocess.run([os.path.join(bin_dir, "quillora-get"), "--config", "/dev/null", "--proxy",
                              "127.0.0.1:%d" % port, "--dest", os.path.join(work, "out"), "--archive",
                              os.path.join(work, "archive.db"), "-q", "--gallery", "quillora", "wire"],
                             capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            sys.exit("browser_gallery: quillora-get failed: " + run.stderr)
    finally:
        service.terminate()
        service.wait()


def main():
    src, bin_dir = sys.argv[1], sys.argv[2]
    browser = chromium()
    if not browser:
        print("browser_gallery: Chromium is not installed; skipped")
        return 77
    work = tempfile.mkdtemp(prefix="quillora-browser-")
    try:
        copy(src, bin_dir, work)
        out = os.path.join(work, "out")
        index = rendered(browser, work, os.path.join(out, "index.html"))
        album = rendered(browser, work, os.path.join(out, "Pic/旅行/.quillora-gallery/index.html"))
        faults = []
        for name in ("quillora", "wire", "旅行", "家人 与 朋友", "风景", "25 pictures", HOSTILE):
            if name not in index["text"]:
                faults.append("index.html does not show %r" % name)
        if index["strays"] or album["strays"]:
            faults.append("an element came of a name")
        for page, seen, count in (("index.html", index, 4), ("旅行", album, 25)):
            if seen["images"] != count or seen["loaded"] != count or seen["lazy"] != count:
                faults.append("%s: %d images, %d loaded, %d lazy; %d expected" %
                              (page, seen["images"], seen["loaded"], seen["lazy"], count))
        pictures = [link for link in album["links"] if link.startswith("../IMG_")]
        if pictures != ["../IMG_%04d.jpg" % k for k in range(1, 26)]:
            faults.append("the album's pictures are not all there in order: %s" % pictures)
        for fault in faults:
            print("browser_gallery: " + fault, file=sys.stderr)
        if not faults:
            print("browser_gallery: Chromium shows every album and picture, every thumbnail loaded, names as text")
        return 1 if faults else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
