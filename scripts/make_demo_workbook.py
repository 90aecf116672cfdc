"""Writes demo/demo.xlsx, the small workbook the demo reads by default. Run it again only to
change the workbook; the result is committed."""
import datetime
import pathlib
import random
import sys
import zipfile
from xml.sax.saxutils import escape

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tovrel.helpers import column_letters  # noqa: E402

NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"


def build():
    rng = random.Random(20261208)
    strings = []
    index = {}

    def sst(text):
        if text not in index:
            index[text] = len(strings)
            strings.append(text)
        return index[text]

    regions = ["North", "South", "East", "West", "Zürich", "東京"]
    products = ["Widget", "Gadget", "Gizmo", "Doohickey & Co", "<Sprocket>"]
    epoch = datetime.date(1899, 12, 30)
    rows = []
    header = ["Date", "Region", "Product", "Units", "Price", "Total", "Note"]
    rows.append('<row r="1">' + "".join(
        f'<c r="{column_letters(i + 1)}1" t="s"><v>{sst(h)}</v></c>' for i, h in enumerate(header)) + "</row>")
    for r in range(2, 202):
        day = datetime.date(2026, 1, 1) + datetime.timedelta(days=rng.randrange(365))
        serial = (day - epoch).days
        units = rng.randrange(1, 500)
        price = round(rng.uniform(0.5, 99.99), 2)
        cells = [
            f'<c r="A{r}" s="1"><v>{serial}</v></c>',
            f'<c r="B{r}" t="s"><v>{sst(rng.choice(regions))}</v></c>',
            f'<c r="C{r}" t="s"><v>{sst(rng.choice(products))}</v></c>',
            f'<c r="D{r}"><v>{units}</v></c>',
            f'<c r="E{r}" s="2"><v>{price}</v></c>',
        ]
        if r == 2:
            cells.append(f'<c r="F{r}" s="2"><f t="shared" ref="F2:F201" si="0">D2*E2</f><v>{units * price!r}</v></c>')
        else:
            cells.append(f'<c r="F{r}" s="2"><f t="shared" si="0"/><v>{units * price!r}</v></c>')
        if r % 17 == 0:
            cells.append(f'<c r="G{r}" t="inlineStr"><is><t>check row {r}</t></is></c>')
        rows.append(f'<row r="{r}">' + "".join(cells) + "</row>")
    sheet1 = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<worksheet xmlns="{NS}" xmlns:r="{REL}">'
        '<dimension ref="A1:G201"/><sheetViews><sheetView workbookViewId="0"/></sheetViews>'
        '<sheetFormatPr defaultRowHeight="15"/><cols><col min="1" max="1" width="12" customWidth="1"/></cols>'
        "<sheetData>" + "".join(rows) + "</sheetData>"
        '<pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3"/>'
        "</worksheet>")
    notes = [
        '<row r="1"><c r="A1" t="s"><v>{}</v></c><c r="B1" t="b"><v>1</v></c></row>'.format(sst("Summary")),
        '<row r="2" ht="30" customHeight="1"><c r="A2" t="str"><f>SUM(Sales!F2:F201)</f><v>0</v></c>'
        '<c r="B2" t="e"><v>#N/A</v></c></row>',
        '<row r="4"><c r="A4" t="inlineStr"><is><t xml:space="preserve">  padded  </t></is></c>'
        '<c r="C4"><v>-1.5E-3</v></c></row>',
    ]
    rich = len(strings)
    strings.append(None)  # the rich item below
    notes.append(f'<row r="5"><c r="A5" t="s"><v>{rich}</v></c></row>')
    sheet2 = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<worksheet xmlns="{NS}"><dimension ref="A1:C5"/><sheetData>' + "".join(notes) +
        "</sheetData></worksheet>")
    items = []
    for s in strings:
        if s is None:
            items.append('<si><r><rPr><b/></rPr><t>Bold</t></r><r><t xml:space="preserve"> and plain</t></r></si>')
        else:
            items.append(f"<si><t>{escape(s)}</t></si>")
    shared = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<sst xmlns="{NS}" count="{len(items)}" uniqueCount="{len(items)}">' + "".join(items) + "</sst>")
    styles = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<styleSheet xmlns="{NS}"><numFmts count="1"><numFmt numFmtId="164" formatCode="0.00"/></numFmts>'
        '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
        '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills>'
        '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
        '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
        '<cellXfs count="3"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'
        '<xf numFmtId="14" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>'
        '<xf numFmtId="164" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/></cellXfs>'
        "</styleSheet>")
    workbook = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<workbook xmlns="{NS}" xmlns:r="{REL}"><sheets>'
        '<sheet name="Sales" sheetId="1" r:id="rId1"/><sheet name="Notes" sheetId="2" r:id="rId2"/>'
        "</sheets></workbook>")
    ct = "application/vnd.openxmlformats-officedocument.spreadsheetml"
    content_types = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>'
        f'<Override PartName="/xl/workbook.xml" ContentType="{ct}.sheet.main+xml"/>'
        f'<Override PartName="/xl/worksheets/sheet1.xml" ContentType="{ct}.worksheet+xml"/>'
        f'<Override PartName="/xl/worksheets/sheet2.xml" ContentType="{ct}.worksheet+xml"/>'
        f'<Override PartName="/xl/sharedStrings.xml" ContentType="{ct}.sharedStrings+xml"/>'
        f'<Override PartName="/xl/styles.xml" ContentType="{ct}.styles+xml"/>'
        "</Types>")
    pkg_rels = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>'
        "</Relationships>")
    base = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
    wb_rels = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        f'<Relationship Id="rId1" Type="{base}/worksheet" Target="worksheets/sheet1.xml"/>'
        f'<Relationship Id="rId2" Type="{base}/worksheet" Target="worksheets/sheet2.xml"/>'
        f'<Relationship Id="rId3" Type="{base}/sharedStrings" Target="sharedStrings.xml"/>'
        f'<Relationship Id="rId4" Type="{base}/styles" Target="styles.xml"/>'
        "</Relationships>")
    return {
        "[Content_Types].xml": content_types, "_rels/.rels": pkg_rels, "xl/workbook.xml": workbook,
        "xl/_rels/workbook.xml.rels": wb_rels, "xl/worksheets/sheet1.xml": sheet1,
        "xl/worksheets/sheet2.xml": sheet2, "xl/sharedStrings.xml": shared, "xl/styles.xml": styles,
    }


def main():
    out = pathlib.Path(__file__).resolve().parent.parent / "demo" / "demo.xlsx"
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in build().items():
            info = zipfile.ZipInfo(name, date_time=(2026, 12, 8, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, text.encode("utf-8"))
    print(out)


if __name__ == "__main__":
    main()
