"""The editing round trip (tovrel.demo): every real workbook loaded with bind_cells, edited,
written back around write_sheet_data's <sheetData>, and read again; the written worksheet parts
are checked by ElementTree, by python-calamine (a spreadsheet reader that is not this project's)
and by LibreOffice where they are installed."""
import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pytest

import _tovrel
from sheets import real_books
from test_workbooks import et_cells
from tovrel import demo
from tovrel.helpers import MAIN_NS
from tovrel.reader import SheetParser, Workbook


def run_demo(path, out, *edits):
    stdout = io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(io.StringIO()):
        status = demo.main(["demo", str(path), "--out", str(out), "--set", *edits])
    return status, stdout.getvalue()


def test_real_workbooks_round_trip(shared_dir, tmp_path):
    books = sheets = 0
    for path, _wb in real_books(shared_dir):
        out = tmp_path / path.name
        status, text = run_demo(path, out)
        assert " 0 differences" in text, (path.name, text)
        assert status == 0 or "left to the pure-Python path" in text, (path.name, text)
        # ElementTree reads every worksheet part as RowReader does.
        with Workbook(out) as wb:
            for name, part in wb.package.sheets:
                data = wb.package.read(part)
                _count, expected = et_cells(data, wb.shared_strings)
                # No date styles: numbers stay numbers, to compare with ElementTree.
                parser = SheetParser(wb.shared_strings, epoch=wb.epoch)
                reader = _tovrel.RowReader(io.BytesIO(data), parser, wb.helpers)
                got = {}
                try:
                    while (row := reader.next_raw()) is not None:
                        got.update(((r, c), v) for r, c, v, _t, _s in row[1])
                except _tovrel.NativeFallback:
                    continue  # a part left unchanged, which the engine does not read natively
                for key, value in expected.items():
                    assert got[key] == value or float(got[key]) == value, (path.name, name, key)
                sheets += 1
        books += 1
    print(f"{books} workbooks, {sheets} sheets round-tripped")
    assert books


def test_edits_come_back(tmp_path):
    out = tmp_path / "out.xlsx"
    status, text = run_demo(demo.DEFAULT, out, "Sales!B2=42", "Sales!C3=hello", "Notes!A1==1+2",
                            "Sales!A2=", "Sales!Z9=1.5")
    assert status == 0, text
    with Workbook(out) as wb:
        cells = {(c.row, c.column): c._value for _i, row in wb.rows("Sales", values_only=False)
                 for c in row if hasattr(c, "row")}
        notes = {(c.row, c.column): c._value for _i, row in wb.rows("Notes", values_only=False)
                 for c in row if hasattr(c, "row")}
    assert (cells[(2, 2)], cells[(3, 3)], cells[(9, 26)]) == (42, "hello", 1.5)
    assert cells.get((2, 1)) is None
    assert notes[(1, 1)] == "=1+2"


@pytest.mark.parametrize("damage", ["truncated", "missing sheet", "bad xml"])
def test_damaged_input_fails_cleanly(tmp_path, damage):
    src = tmp_path / "in.xlsx"
    with zipfile.ZipFile(demo.DEFAULT) as zin, zipfile.ZipFile(src, "w") as zout:
        for info in zin.infolist():
            data = zin.read(info.filename)
            if info.filename == "xl/worksheets/sheet1.xml":
                if damage == "missing sheet":
                    continue
                if damage == "bad xml":
                    data = data.replace(b"</sheetData>", b"</sheetDat>")
            zout.writestr(info, data)
    if damage == "truncated":
        src.write_bytes(src.read_bytes()[:2000])
    out = tmp_path / "out.xlsx"
    before = src.read_bytes()
    status, _ = run_demo(src, out)
    assert status == 1
    assert src.read_bytes() == before
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".tovrel-")]


def test_libreoffice_reads_the_output(tmp_path):
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        pytest.skip("LibreOffice (soffice) is not installed: no independent spreadsheet reader here")
    out = tmp_path / "out.xlsx"
    assert run_demo(demo.DEFAULT, out)[0] == 0
    subprocess.run([soffice, "--headless", "--convert-to", "csv", "--outdir", str(tmp_path), str(out)],
                   check=True, capture_output=True, timeout=120)
    assert (tmp_path / "out.csv").read_text().strip()


# The bootstrap makes an interpreter with python-calamine beside the engine's own, where it can.
PEER = (pathlib.Path(os.environ.get("TOVREL_PYTHON_CACHE") or pathlib.Path.home() / ".cache" / "tovrel-python")
        / "peer" / "bin" / "python")
CALAMINE = """
import json, sys
from python_calamine import CalamineWorkbook
out = {}
for path in sys.argv[1:]:
    wb = CalamineWorkbook.from_path(path)
    # python-calamine strips the whitespace around inline strings even under xml:space="preserve"
    # and around each run of rich text, so texts are compared without their whitespace.
    # Numbers compare as numbers (-0 and 0 are one value to the host's reader).
    out[path] = {n: [["".join(v.split()) if isinstance(v, str) else
                      float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) else repr(v)
                      for v in row] for row in
                     wb.get_sheet_by_name(n).to_python(skip_empty_area=False)] for n in wb.sheet_names}
print(json.dumps(out))
"""


def formula_cells(path):
    """{sheet name: {(row, column)}} (0-based) of the cells written with a formula: the host
    writes those without their cached value, so a reader sees them empty."""
    found = {}
    with Workbook(path) as wb:
        for name, part in wb.package.sheets:
            cells = found.setdefault(name, set())
            for c in ET.fromstring(wb.package.read(part)).iter(f"{{{MAIN_NS}}}c"):
                if c.find(f"{{{MAIN_NS}}}f") is not None:
                    letters, digits = re.fullmatch(r"([A-Z]+)([0-9]+)", c.get("r")).groups()
                    column = 0
                    for ch in letters:
                        column = column * 26 + ord(ch) - 64
                    cells.add((int(digits) - 1, column - 1))
    return found


def test_an_independent_reader_sees_the_same_cells(shared_dir, tmp_path):
    if not PEER.exists() or subprocess.run([PEER, "-c", "import python_calamine"], capture_output=True).returncode:
        pytest.skip(f"python-calamine is not installed at {PEER}: no independent spreadsheet reader here")
    pairs = []
    for path in [demo.DEFAULT, *sorted((shared_dir / "corpus").glob("*.xlsx"))]:
        out = tmp_path / path.name
        status, text = run_demo(path, out)
        assert status == 0, text
        pairs.append((path, out))
    args = [str(p) for pair in pairs for p in pair]
    grids = json.loads(subprocess.run([PEER, "-c", CALAMINE, *args], check=True, capture_output=True,
                                      text=True, timeout=300).stdout)
    compared = 0
    for src, out in pairs:
        before, after = grids[str(src)], grids[str(out)]
        assert list(before) == list(after), src.name
        formulas = formula_cells(out)
        for sheet, rows in before.items():
            written = after[sheet]
            for r in range(max(len(rows), len(written))):
                a = rows[r] if r < len(rows) else []
                b = written[r] if r < len(written) else []
                for c in range(max(len(a), len(b))):
                    if (r, c) in formulas.get(sheet, ()):
                        continue
                    assert (a[c] if c < len(a) else "") == (b[c] if c < len(b) else ""), \
                        (src.name, sheet, r, c)
                    compared += 1
    print(f"python-calamine: {compared} cells of {len(pairs)} workbooks read the same before and after")
    assert compared
