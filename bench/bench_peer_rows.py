"""Rows against other readers: the 1,000,000-cell sheet of bench_row_reader (100,000 rows of ten
columns: numbers, shared and inline strings, dates, shared formulas) written as a real .xlsx
(sheet, shared strings, styles with two date formats) into a temporary folder, then read end to
end, file opened each time, by this engine through the stand-in host (read_string_table, then
RowReader.next_row over the zipped part) and, in the same run, by python-calamine and fastexcel
in the peer environment (bench/peer_read.py), taking turns. Figures are best-of-N seconds; the
ratio is the peer's time over the engine's. The peers return cached formula values, so the engine line to
hold against them is the data_only one; the default mode builds formula texts instead."""
import pathlib
import sys
import tempfile
import time
import zipfile

import common  # noqa: F401 - the build directory, when the environment has none
from bench_row_reader import COLS, SHARED, generate
from peers import Peers, best_interleaved
from tovrel.helpers import MAIN_NS
from tovrel.reader import Workbook

ROWS = 100_000
REPEAT = 5
PKG = "http://schemas.openxmlformats.org/package/2006"
DOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
XML = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def rels(*targets):
    items = "".join(f'<Relationship Id="rId{i}" Type="{DOC}/{kind}" Target="{target}"/>'
                    for i, (kind, target) in enumerate(targets, 1))
    return f'{XML}<Relationships xmlns="{PKG}/relationships">{items}</Relationships>'


def write_xlsx(path, sheet_xml):
    """A minimal, valid workbook around one worksheet part: style 1 a number format, styles 2
    and 3 dates (built-in formats 14 and 22), as the generated sheet uses them."""
    ct = "application/vnd.openxmlformats-officedocument.spreadsheetml"
    parts = {
        "[Content_Types].xml":
            f'{XML}<Types xmlns="{PKG}/content-types">'
            f'<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            f'<Default Extension="xml" ContentType="application/xml"/>'
            f'<Override PartName="/xl/workbook.xml" ContentType="{ct}.sheet.main+xml"/>'
            f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{ct}.worksheet+xml"/>'
            f'<Override PartName="/xl/sharedStrings.xml" ContentType="{ct}.sharedStrings+xml"/>'
            f'<Override PartName="/xl/styles.xml" ContentType="{ct}.styles+xml"/></Types>',
        "_rels/.rels": rels(("officeDocument", "xl/workbook.xml")),
        "xl/workbook.xml":
            f'{XML}<workbook xmlns="{MAIN_NS}" xmlns:r="{DOC}"><sheets>'
            f'<sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels": rels(("worksheet", "worksheets/sheet1.xml"),
                                           ("sharedStrings", "sharedStrings.xml"),
                                           ("styles", "styles.xml")),
        "xl/sharedStrings.xml":
            f'{XML}<sst xmlns="{MAIN_NS}" count="{len(SHARED)}" uniqueCount="{len(SHARED)}">'
            + "".join(f"<si><t>{s}</t></si>" for s in SHARED) + "</sst>",
        "xl/styles.xml":
            f'{XML}<styleSheet xmlns="{MAIN_NS}">'
            '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
            '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
            '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
            '<cellXfs count="4"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'
            '<xf numFmtId="2" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>'
            '<xf numFmtId="14" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>'
            '<xf numFmtId="22" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>'
            '</cellXfs></styleSheet>',
    }
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in parts.items():
            z.writestr(name, text)
        z.writestr("xl/worksheets/sheet1.xml", sheet_xml)


def engine(path, values_only, data_only):
    """(seconds, cells) of one whole read."""
    t0 = time.perf_counter()
    with Workbook(path, data_only=data_only) as wb:
        cells = sum(len(row) for name in wb.sheet_names
                    for _idx, row in wb.rows(name, values_only=values_only))
    return time.perf_counter() - t0, cells


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "rows.xlsx"
        sheet = generate(ROWS)
        write_xlsx(path, sheet)
        print(f"workbook: {ROWS * COLS} cells in {ROWS} rows, {len(sheet) / 1e6:.1f} MB of sheet XML, "
              f"{path.stat().st_size / 1e6:.1f} MB zipped; best of {REPEAT}")
        with Peers() as peers:
            if peers.skipped:
                print(f"  peers skipped: {peers.skipped}")
            # The peers take turns with the first engine run; the later runs are held against
            # the peers' best times from it.
            runs = [("values, data_only", True, True), ("values", True, False),
                    ("cell objects", False, False)]
            peer_best = {}
            for label, values_only, data_only in runs:
                best, cells = best_interleaved(REPEAT, lambda: engine(path, values_only, data_only),
                                               peers if not peer_best else Peers.none(), path)
                assert cells["engine"] == ROWS * COLS, (label, cells)
                if not peer_best:
                    peer_best = {name: best[name] for name in peers.available}
                    for name in peers.available:
                        print(f"  {name} {peers.available[name]}: {best[name] * 1e3:8.1f} ms  "
                              f"{cells[name] / best[name] / 1e6:5.2f} M cells/s")
                    for name, reason in peers.missing.items():
                        print(f"  {name}: skipped: {reason}")
                seconds = best["engine"]
                ratios = "".join(f"  {peer_best[name] / seconds:5.2f}x {name}" for name in peer_best)
                print(f"  engine {label:18s} {seconds * 1e3:8.1f} ms  "
                      f"{ROWS * COLS / seconds / 1e6:5.2f} M cells/s{ratios}")
        print("  (ratio: the peer's time over the engine's; goal 4x python-calamine in values mode)")


if __name__ == "__main__":
    sys.exit(main())
