#!/usr/bin/env python3
"""Reads a gallery as a browser would find it: DEST/index.html and every page
it links, each parsed strictly (every element known and closed in order,
every attribute quoted with a value, nothing after </html>), and every
relative link and image followed to a file under DEST. Prints one JSON
object: per page its texts, links and images; and the list of errors.

    check_html.py DEST
"""
import json
import os
import sys
from html.parser import HTMLParser
from urllib.parse import unquote, urlsplit

VOID = {"meta", "img", "br", "link"}
KNOWN = VOID | {"html", "head", "title", "style", "body", "h1", "h2", "p", "a", "ul", "li", "div", "span",
                "section"}


class StrictPage(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.errors, self.texts, self.links, self.images = [], [], [], [], []
        self.doctype = False
        self.closed = False

    def handle_decl(self, decl):
        self.doctype = decl.lower() == "doctype html"

    def handle_starttag(self, tag, attrs):
        if self.closed:
            self.errors.append("<%s> after </html>" % tag)
        if tag not in KNOWN:
            self.errors.append("unknown element <%s>" % tag)
        for name, value in attrs:
            if value is None:
                self.errors.append("<%s> attribute %s has no value" % (tag, name))
        attrs = dict(attrs)
        if tag == "a":
            self.links.append(attrs.get("href", ""))
        if tag == "img":
            self.images.append({"src": attrs.get("src", ""), "loading": attrs.get("loading"),
                                "alt": attrs.get("alt")})
        if tag not in VOID:
            self.stack.append(tag)

    def handle_endtag(self, tag):
        if not self.stack or self.stack[-1] != tag:
            self.errors.append("</%s> closes <%s>" % (tag, self.stack[-1] if self.stack else "nothing"))
            return
        self.stack.pop()
        self.closed = tag == "html"

    def handle_data(self, data):
        if data.strip() and self.stack and self.stack[-1] != "style":
            self.texts.append(data.strip())


def target(dest, page, link):
    parts = urlsplit(link)
    if parts.scheme or parts.netloc or link.startswith("/"):
        return None
    path = os.path.normpath(os.path.join(os.path.dirname(page), unquote(parts.path)))
    inside = os.path.realpath(path).startswith(os.path.realpath(dest) + os.sep)
    return path if inside else None


def main():
    dest = sys.argv[1]
    pages, errors, todo = {}, [], [os.path.join(dest, "index.html")]
    while todo:
        page = todo.pop()
        rel = os.path.relpath(page, dest)
        if rel in pages:
            continue
        parser = StrictPage()
        with open(page, encoding="utf-8") as f:
            parser.feed(f.read())
        parser.close()
        errors += ["%s: %s" % (rel, e) for e in parser.errors]
        if not parser.doctype:
            errors.append("%s: no <!DOCTYPE html>" % rel)
        if parser.stack:
            errors.append("%s: left open: %s" % (rel, parser.stack))
        pages[rel] = {"texts": parser.texts, "links": parser.links, "images": parser.images}
        for link in parser.links + [i["src"] for i in parser.images]:
            path = target(dest, page, link)
            if path is None or not os.path.isfile(path):
                errors.append("%s: %s leads to no file under the destination" % (rel, link))
            elif path.endswith(".html"):
                todo.append(path)
    print(json.dumps({"pages": pages, "errors": errors}, ensure_ascii=False))


if __name__ == "__main__":
    main()
