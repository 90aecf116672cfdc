"""Makes the virtual environment import the built modules and the stand-in ``tovrel`` package
from this checkout, through a .pth file (no copying, no reinstall after each build)."""
import pathlib
import sys
import sysconfig

build = pathlib.Path(sys.argv[1]).resolve()
root = pathlib.Path(__file__).resolve().parent.parent
pth = pathlib.Path(sysconfig.get_paths()["purelib"]) / "tovrel-dev.pth"
text = f"{build}\n{root}\n"
if not pth.exists() or pth.read_text() != text:
    pth.write_text(text)
