"""``python -m velto_kit.cli``: the ``velto`` command without its console script."""

from velto_kit.cli import console

if __name__ == "__main__":
    console()
