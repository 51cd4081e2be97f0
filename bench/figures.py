"""The figures a benchmark prints, kept as JSON (`--json PATH`) for bench/plots.py."""

import json
from pathlib import Path


def write_figures(path, figures):
    """Writes `figures` to `path` (nothing when path is None)."""
    if path:
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).write_text(json.dumps(figures, indent=1) + "\n")


def read_figures(paths):
    """The figures of every file, in order."""
    return [json.loads(Path(p).read_text()) for p in paths]
