"""The sweep example: ``velto sweep`` (velto_kit.cli.sweep), which needs Ray Tune (the ``[sweep]``
extra). ``python examples/sweep.py --help`` lists the options.
"""

import sys

from velto_kit.cli import sweep

if __name__ == "__main__":
    sys.exit(sweep.main())
