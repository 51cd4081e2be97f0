"""The failure a command reports as one line on stderr, with exit status 1."""


class CliError(Exception):
    """An expected failure: bad input file, wrong dtype, missing column..."""
