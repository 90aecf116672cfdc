"""Run by Debian's python3 (which has lxml): reads rows as JSON on stdin and writes them with
lxml's incremental writer, nested element() contexts as the host's lxml back end does.

Input: a list of rows [attrs, cells]; attrs a list of [name, value]; a cell an element
[tag, attrs, text, children]. Output: the bytes on stdout."""
import io
import json
import sys

from lxml import etree

XML_NS = "{http://www.w3.org/XML/1998/namespace}"


def element(xf, node):
    tag, attrs, text, children = node
    attrib = {(XML_NS + k[4:] if k.startswith("xml:") else k): v for k, v in attrs}
    with xf.element(tag, attrib):
        if text:
            xf.write(text)
        for child in children:
            element(xf, child)


def main():
    rows = json.load(sys.stdin)
    out = io.BytesIO()
    with etree.xmlfile(out) as xf:
        with xf.element("sheetData"):
            for attrs, cells in rows:
                with xf.element("row", dict(attrs)):
                    for cell in cells:
                        element(xf, cell)
    sys.stdout.buffer.write(out.getvalue()[len(b"<sheetData>"):-len(b"</sheetData>")])


if __name__ == "__main__":
    main()
