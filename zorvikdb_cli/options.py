"""Options shared by the subcommands."""

import argparse


def common_parser():
    p = argparse.ArgumentParser(add_help=False)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    return p


def count(text):
    """A whole number of 0 or more (a usage error otherwise)."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of 0 or more, got {text!r}")
    return value


def add_matrix_options(p):
    """--key and --column: which array of an .npz, which column of a Parquet or Arrow file."""
    p.add_argument("--key", help="array inside an .npz holding several")
    p.add_argument("--column", help="list-of-float column of a Parquet or Arrow file holding several columns")
