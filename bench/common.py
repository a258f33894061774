"""What the benchmark scripts share: the main job's table in memory, read with
the options the main job uses, and a clock for the cyclic collector."""

from __future__ import annotations

import sqlite3
import time
import warnings
from typing import Any

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", r"The global interpreter lock \(GIL\) has been enabled", RuntimeWarning)
    from tessel.__main__ import TABLE, claim_table, populate
    from tessel.engine.sqlite import DEFAULT_OPTIONS, declared_types


def main_job_table(rows: int) -> tuple[sqlite3.Connection, Any, dict[str, str], str]:
    """An in-memory copy of the main job's table of `rows` rows: (connection,
    options, declared types, the query that reads it all)."""
    conn = sqlite3.connect(":memory:")
    claim_table(conn)
    populate(conn, rows)
    options = DEFAULT_OPTIONS.union(decode_blobs=True, decimal_places=2)
    return conn, options, declared_types(conn, TABLE), f"SELECT * FROM {TABLE}"


class CollectorClock:
    """Time spent in the cyclic collector, and how often it ran, while installed in gc.callbacks."""

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        self.seconds = 0.0
        self.runs = 0
        self._started = 0.0

    def __call__(self, phase: str, info: dict) -> None:
        if phase == "start":
            self._started = time.perf_counter()
        elif self._started:
            self.seconds += time.perf_counter() - self._started
            self.runs += 1
            self._started = 0.0
