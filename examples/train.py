"""The Gymnasium example: ``velto train`` (velto_kit.cli.train) with its results in
examples/output/. ``python examples/train.py --help`` lists the options; every option of
``velto train`` works here, ``--output-dir`` too.
"""

import sys
from pathlib import Path

from velto_kit.cli import train

if __name__ == "__main__":
    train.main(["--output-dir", str(Path(__file__).resolve().parent / "output"), *sys.argv[1:]])
