"""When to merge segments: tiers by size, as in a log-structured store.

A segment's tier is the whole part of log4 of its live rows. Segments stay in insertion
order and only a run of the newest ones is merged: the trailing run of segments whose
tier is at most the newest one's is merged into one segment when it is WIDTH segments
long, or when it holds a smaller tier than the newest (a big add after small ones). So
at most WIDTH - 1 segments of each tier remain, in tiers that fall from the oldest to
the newest segment, and the count of segments grows with the logarithm of the rows.
"""

from __future__ import annotations

WIDTH = 4
FACTOR = 4


def tier(rows: int) -> int:
    level, size = 0, FACTOR
    while size <= rows:
        level, size = level + 1, size * FACTOR
    return level


def merge_start(live_rows: list[int]) -> int:
    """The first of the trailing segments to merge into one after an add, given every
    segment's live rows in order; len(live_rows) when nothing is to be merged."""
    sizes = list(live_rows)
    start = len(sizes)
    while len(sizes) >= 2:
        tiers = [tier(n) for n in sizes]
        first = len(tiers) - 1
        while first > 0 and tiers[first - 1] <= tiers[-1]:
            first -= 1
        run = tiers[first:]
        if len(run) < WIDTH and min(run) == tiers[-1]:
            break
        start = min(start, first)
        sizes[first:] = [sum(sizes[first:])]
    return start
