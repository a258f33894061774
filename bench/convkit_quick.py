"""Quick side-by-side timing of tessel.convkit against the interpreter's own.

Each pair runs in this one process with interleaved repetitions, so machine
noise hits both sides alike.  Prints min and median ns per call and the ratio
of medians (ours / theirs; below 1 means ours is faster).

    .venv/bin/python -P bench/convkit_quick.py [--repeat N] [--number N]
"""

import argparse
import statistics
import timeit
import warnings
from datetime import date, datetime, time
from decimal import Decimal

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL comes back on import
    from tessel import convkit


def pairs():
    unicode_proc = convkit.UnicodeResultProcessor("utf-8")
    decimal_proc = convkit.DecimalResultProcessor(Decimal, "%.10f")
    fmt = "%.10f"
    word = "d\u00e9j\u00e0 vu, caf\u00e9".encode("utf-8")
    return [
        ("str_to_datetime", convkit.str_to_datetime,
         "fromisoformat", datetime.fromisoformat, "2024-03-05 14:30:15.123456"),
        ("str_to_time", convkit.str_to_time,
         "time.fromisoformat", time.fromisoformat, "14:30:15.123456"),
        ("str_to_date", convkit.str_to_date,
         "date.fromisoformat", date.fromisoformat, "2024-03-05"),
        ("unicode process", unicode_proc.process,
         "bytes.decode", lambda v: v.decode("utf-8", "strict"), word),
        ("decimal process", decimal_proc.process,
         "lambda Decimal", lambda v: Decimal(fmt % v), 1234.5678),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=200_000)
    args = parser.parse_args()

    rows = []
    for ours_name, ours, theirs_name, theirs, value in pairs():
        if theirs_name == "bytes.decode":
            # Call the method descriptor directly: a lambda would add a frame.
            theirs_timer = timeit.Timer("d(v, 'utf-8', 'strict')", globals={"d": bytes.decode, "v": value})
        else:
            theirs_timer = timeit.Timer("f(v)", globals={"f": theirs, "v": value})
        ours_timer = timeit.Timer("f(v)", globals={"f": ours, "v": value})
        assert ours(value) == theirs(value), (ours_name, ours(value), theirs(value))
        ours_t, theirs_t = [], []
        for _ in range(args.repeat):
            ours_t.append(ours_timer.timeit(args.number) / args.number * 1e9)
            theirs_t.append(theirs_timer.timeit(args.number) / args.number * 1e9)
        rows.append((ours_name, theirs_name, ours_t, theirs_t))

    print(f"{'ours':<17}{'min':>7}{'median':>8}   {'theirs':<20}{'min':>7}{'median':>8}   ratio")
    for ours_name, theirs_name, ours_t, theirs_t in rows:
        om, tm = statistics.median(ours_t), statistics.median(theirs_t)
        print(f"{ours_name:<17}{min(ours_t):7.1f}{om:8.1f}   {theirs_name:<20}"
              f"{min(theirs_t):7.1f}{tm:8.1f}   {om / tm:5.2f}")


if __name__ == "__main__":
    main()
