"""Progress on a terminal: bars and an elapsed-time spinner that show up only once the
work has run for a while, and never off a terminal or under --quiet."""

import signal
import sys
import threading
from contextlib import contextmanager

SHOW_AFTER_S = 2.0  # shorter work finishes without any display
TICK_S = 0.2


def bar(total, desc, quiet, unit="it", bar_format=None):
    from tqdm import tqdm

    return tqdm(total=total, desc=desc, unit=unit, bar_format=bar_format, delay=SHOW_AFTER_S,
                disable=quiet or not sys.stderr.isatty(), file=sys.stderr, dynamic_ncols=True, leave=False)


def run_in_thread(call, desc, quiet, on_interrupt):
    """call() on a worker thread, with an elapsed-time spinner while it runs; returns its
    value or raises its exception. A KeyboardInterrupt cannot cut the call short: it is
    waited for with further interrupts ignored, on_interrupt(value or None) undoes its
    effect, and the interrupt goes on up."""
    outcome = {}

    def work():
        try:
            outcome["value"] = call()
        except BaseException as e:  # re-raised on the waiting thread
            outcome["error"] = e

    worker = threading.Thread(target=work, name="zorvikdb-cli-worker", daemon=True)
    try:
        with bar(None, desc, quiet, bar_format="{desc}: {elapsed}") as spinner:
            worker.start()
            while worker.is_alive():
                worker.join(TICK_S)
                spinner.update(0)
    except KeyboardInterrupt:
        with interrupts_ignored():
            if worker.ident is not None:
                worker.join()
            on_interrupt(outcome.get("value"))
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


@contextmanager
def interrupts_ignored():
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
