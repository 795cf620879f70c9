"""The sweep example: ``velto sweep`` (velto_kit.cli.sweep), which needs Ray Tune (the ``[sweep]``
extra). ``python examples/sweep.py --help`` lists the options.

Imported (``import sweep`` with examples/ on the path), this module is velto_kit.cli.sweep.
"""

import sys

from velto_kit.cli import sweep

if __name__ == "__main__":
    sys.exit(sweep.main())
else:
    sys.modules[__name__] = sweep
