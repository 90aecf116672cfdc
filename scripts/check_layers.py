"""Checks that includes under src/ point one way only.

Folders are stacked, lowest first: a file may include headers of its own folder and of the
folders below it, never above. Within every folder, files named py_* are the Python glue: core
files (everything else) never include them, so the cores build without Python headers. src/lib,
the module entry, sits on top.
"""
import pathlib
import re
import sys

ORDER = ["utils", "xml", "text", "formula", "sheet", "store", "writer", "lib"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main(src: pathlib.Path) -> int:
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(src)
        folder = rel.parts[0]
        if folder not in ORDER:
            problems.append(f"{rel}: folder {folder!r} is not in the layer order")
            continue
        glue = path.name.startswith("py_") or folder == "lib"
        for target in INCLUDE.findall(path.read_text()):
            tfolder = target.split("/")[0]
            if tfolder not in ORDER:
                problems.append(f"{rel}: includes {target}, outside the layer order")
            elif ORDER.index(tfolder) > ORDER.index(folder):
                problems.append(f"{rel}: includes {target} from the higher folder {tfolder}")
            elif not glue and (target.split("/")[-1].startswith("py_") or tfolder == "lib"):
                problems.append(f"{rel}: a core file includes the Python glue {target}")
    for p in problems:
        print(p)
    print(f"{'ok' if not problems else 'FAILED'}: include layering under {src}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")))
