"""The ``ulmora`` command line."""

import sys


def main(argv=None) -> int:
    print("ulmora: no commands yet", file=sys.stderr)
    return 2
