"""Opening an .xlsx package: the worksheet parts in workbook order, and the other parts the
engine reads. Just enough for the demo and the tests."""
import posixpath
import xml.etree.ElementTree as ET
import zipfile

MAIN_NS = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
REL_NS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
PKG_REL_NS = "{http://schemas.openxmlformats.org/package/2006/relationships}"


class Package:
    def __init__(self, path):
        self.path = path
        # The file is read unbuffered: on the free-threaded 3.13 interpreter, closing a buffered
        # reader takes its own lock a second time (close, then flush) and spins until the
        # scheduler lets it go, which costs up to a time slice per yield on a busy machine.
        # The zip reader does its own buffering of the parts.
        self._file = open(path, "rb", buffering=0)
        try:
            self.zip = zipfile.ZipFile(self._file)
            # Part names compare case-insensitively, and some writers store them with backslashes.
            self.names = {self._key(name.replace("\\", "/")): name for name in self.zip.namelist()}
            self.workbook_part = self._office_document()
            self.sheets = self._sheets()
        except BaseException:
            self._file.close()
            raise

    def close(self):
        self.zip.close()
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @staticmethod
    def _key(part):
        return part.lower()

    def open(self, part):
        """A binary file object for a part (its name without a leading slash)."""
        return self.zip.open(self.names[self._key(part)])

    def read(self, part):
        return self.zip.read(self.names[self._key(part)])

    def size(self, part):
        return self.zip.getinfo(self.names[self._key(part)]).file_size

    def has(self, part):
        return self._key(part) in self.names

    def _rels(self, part):
        folder, name = posixpath.split(part)
        rels = posixpath.join(folder, "_rels", name + ".rels")
        if not self.has(rels):
            return {}
        out = {}
        for rel in ET.fromstring(self.read(rels)).iter(PKG_REL_NS + "Relationship"):
            target = rel.get("Target")
            if rel.get("TargetMode") == "External":
                continue
            if target.startswith("/"):
                path = target[1:]
            else:
                path = posixpath.normpath(posixpath.join(folder, target))
            out[rel.get("Id")] = (rel.get("Type").rsplit("/", 1)[-1], path)
        return out

    def _office_document(self):
        for kind, path in self._rels("").values():
            if kind == "officeDocument":
                return path
        return "xl/workbook.xml"

    def _sheets(self):
        rels = self._rels(self.workbook_part)
        root = ET.fromstring(self.read(self.workbook_part))
        sheets = []
        for sheet in root.iter(MAIN_NS + "sheet"):
            kind, path = rels.get(sheet.get(REL_NS + "id"), (None, None))
            if kind == "worksheet" and self.has(path):
                sheets.append((sheet.get("name"), path))
        return sheets

    def related(self, kind):
        """The part of the workbook's relationship of this kind, or None."""
        for k, path in self._rels(self.workbook_part).values():
            if k == kind and self.has(path):
                return path
        return None
