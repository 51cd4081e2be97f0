"""`zorvikdb info`: the facts of an index file."""

import os

import numpy as np

FACTS = ("rows", "dims", "metric")


def add_parser(commands, common):
    p = commands.add_parser("info", parents=[common], help="rows, dims, metric, size and BLAKE3 hash of an index")
    p.add_argument("index")
    p.set_defaults(run=run)


def index_facts(engine):
    """The engine's own account of its index: an empty query answers with every fact."""
    return engine.query_exact_arrays(np.zeros(engine.dims(), np.float32), 0)


def run(args):
    import zorvikdb

    facts = index_facts(zorvikdb.PySearchEngine(args.index, False))
    lines = [("path", facts["index_path"])]
    lines += [(name, facts[name]) for name in FACTS]
    lines += [("bytes", os.path.getsize(facts["index_path"])), ("blake3", facts["index_hash"])]
    for name, value in lines:
        print(f"{name:<7}{value}")
    return 0
