"""The zorvikdb command line: prepare, inspect, search and time index files.

Expected failures are one line on stderr ('zorvikdb: error: ...') with exit status 1;
usage errors exit with 2 and an interrupt with 130."""

import argparse
import os
import sys

from zorvikdb_cli import bench, info, prepare, search
from zorvikdb_cli.errors import CliError
from zorvikdb_cli.options import common_parser

PROG = "zorvikdb"
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 128 + 2  # the shell's status for SIGINT

# Failures of input or engine that are reported without a traceback.
EXPECTED = (CliError, ValueError, TypeError, OSError, MemoryError)


def parser():
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    commands = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = common_parser()
    for command in (prepare, info, search, bench):
        command.add_parser(commands, common)
    return p


def main(argv=None):
    try:
        args = parser().parse_args(argv)
        return args.run(args)
    except BrokenPipeError:  # the reader went away (`| head`): nothing left to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except EXPECTED as e:
        print(f"{PROG}: error: {one_line(e)}", file=sys.stderr)
        return EXIT_FAILURE


def one_line(error):
    text = " ".join(str(error).split()) or type(error).__name__
    return text if isinstance(error, (CliError, ValueError)) else f"{type(error).__name__}: {text}"
