"""read_string_table against a pure-Python ElementTree iterparse reader of the same part:
200,000 shared strings of mixed lengths, some non-ASCII, some rich text. Two mixes: a heavy one
(four words in ten non-ASCII, one in eight needing an entity, 5% rich runs, 0.5% phonetic runs
that go to the host's si_content) and a typical one (mostly ASCII labels and sentences, 5% with
non-ASCII, 2% with an entity, the same rich and phonetic shares)."""
import io
import pathlib
import random
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import best_of  # noqa: E402

import _tovrel  # noqa: E402
from tovrel.helpers import MAIN_NS, make_helpers  # noqa: E402

N = 200_000
HEAVY = ["alpha", "beta", "gamma", "delta", "épsilon", "東京", "naïve", "x", "Straße", "😀",
         "quarterly", "revenue", "total", "&", "<tag>", "  spaced  "]
PLAIN = ["alpha", "beta", "gamma", "delta", "order", "customer", "x", "north", "region",
         "quarterly", "revenue", "total", "net", "Q3", "2024", "units"]


def pick_words(rng, mix):
    if mix == "heavy":
        return HEAVY
    roll = rng.random()
    if roll < 0.05:
        return HEAVY[4:10] + PLAIN
    if roll < 0.07:
        return ["&", "<tag>"] + PLAIN
    return PLAIN


def generate(mix="heavy"):
    rng = random.Random(7)
    out = [f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           f'<sst xmlns="{MAIN_NS}" count="{N}" uniqueCount="{N}">']
    for i in range(N):
        words_of = pick_words(rng, mix)
        words = " ".join(rng.choice(words_of) for _ in range(rng.choice((1, 1, 2, 3, 8, 20))))
        text = words.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        roll = rng.random()
        if roll < 0.05:
            out.append(f'<si><r><rPr><b/><sz val="11"/></rPr><t>{text}</t></r>'
                       f'<r><t xml:space="preserve"> {i}</t></r></si>')
        elif roll < 0.055:
            out.append(f'<si><t>{text}</t><rPh sb="0" eb="1"><t>ふ</t></rPh></si>')
        else:
            out.append(f"<si><t>{text} {i}</t></si>")
    out.append("</sst>")
    return "".join(out).encode("utf-8")


SI = f"{{{MAIN_NS}}}si"
T = f"{{{MAIN_NS}}}t"
R = f"{{{MAIN_NS}}}r"


def python_reader(data):
    strings = []
    for _event, el in ET.iterparse(io.BytesIO(data)):
        if el.tag == SI:
            t = el.find(T)
            text = (t.text or "") if t is not None else ""
            for r in el.findall(R):
                for rt in r.findall(T):
                    text += rt.text or ""
            strings.append(text)
            el.clear()
    return strings


def main():
    helpers = make_helpers()
    engine_helpers = dict(helpers, si_content=lambda snippet, namespaces: "")
    for mix in ("typical", "heavy"):
        data = generate(mix)
        native_s, native = best_of(lambda: _tovrel.read_string_table(io.BytesIO(data), helpers))
        # The same read with the host's si_content (an ElementTree parse per phonetic item)
        # answered by a constant: what the engine itself takes.
        engine_s, _ = best_of(lambda: _tovrel.read_string_table(io.BytesIO(data), engine_helpers))
        python_s, python = best_of(lambda: python_reader(data), repeat=3)
        assert native == python and len(native) == N
        mb = len(data) / 1e6
        print(f"{mix} mix: {N} shared strings, {mb:.1f} MB")
        print(f"  read_string_table      {native_s * 1000:8.1f} ms  {mb / native_s:7.1f} MB/s")
        print(f"    without si_content   {engine_s * 1000:8.1f} ms  {mb / engine_s:7.1f} MB/s")
        print(f"  ElementTree iterparse  {python_s * 1000:8.1f} ms  {mb / python_s:7.1f} MB/s")
        print(f"  speed-up {python_s / native_s:.1f}x (goal: 400 MB/s for the whole call)")


if __name__ == "__main__":
    main()
