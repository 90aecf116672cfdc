"""Which cell styles of a workbook show numbers as dates or durations, read from styles.xml:
the style ids (indexes into cellXfs) a reader hands the engine as date_formats and
timedelta_formats."""
import re
import xml.etree.ElementTree as ET

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"

# Built-in number formats that show dates or times; 46 ([h]:mm:ss) is a duration.
BUILTIN_DATE_IDS = frozenset(range(14, 23)) | {45, 46, 47}
BUILTIN_TIMEDELTA_IDS = frozenset({46})

_QUOTED = re.compile(r'"[^"]*"|\\.|_.|\*.')
_BRACKET = re.compile(r"\[[^\]]*\]")
_ELAPSED = re.compile(r"\[(h+|m+|s+)\]", re.IGNORECASE)
_DATE_CHARS = re.compile(r"[dmyhs]", re.IGNORECASE)


def is_date_format(code):
    """True when a format code shows a number as a date, a time or a duration."""
    if code is None:
        return False
    section = _QUOTED.sub("", code.split(";")[0])
    if _ELAPSED.search(section):
        return True
    section = _BRACKET.sub("", section)
    return section.lower() != "general" and bool(_DATE_CHARS.search(section))


def is_timedelta_format(code):
    return code is not None and bool(_ELAPSED.search(_QUOTED.sub("", code.split(";")[0])))


def date_styles(styles_xml):
    """(date_formats, timedelta_formats): sets of cellXfs indexes."""
    dates, durations = set(), set()
    if not styles_xml:
        return dates, durations
    root = ET.fromstring(styles_xml)
    custom = {}
    numfmts = root.find(MAIN + "numFmts")
    if numfmts is not None:
        for fmt in numfmts.findall(MAIN + "numFmt"):
            custom[int(fmt.get("numFmtId"))] = fmt.get("formatCode")
    xfs = root.find(MAIN + "cellXfs")
    if xfs is None:
        return dates, durations
    for index, xf in enumerate(xfs.findall(MAIN + "xf")):
        fmt_id = int(xf.get("numFmtId", "0"))
        if fmt_id in custom:
            code = custom[fmt_id]
            if is_date_format(code):
                dates.add(index)
            if is_timedelta_format(code):
                durations.add(index)
        elif fmt_id in BUILTIN_DATE_IDS:
            dates.add(index)
            if fmt_id in BUILTIN_TIMEDELTA_IDS:
                durations.add(index)
    return dates, durations


def cell_format_count(styles_xml):
    """How many cell formats (cellXfs entries) the workbook defines; at least one."""
    if not styles_xml:
        return 1
    xfs = ET.fromstring(styles_xml).find(MAIN + "cellXfs")
    return max(1, len(xfs.findall(MAIN + "xf")) if xfs is not None else 0)
