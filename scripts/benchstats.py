#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Figures of the benchmark scripts and of vexbench-plot.

As a module: median(values), spread(values), ratio(a, b), counter_at(samples,
t) and kernel_rate(samples, start_ms, window_ms, block_size); median_text,
spread_text and ratio_text give the figures as the command prints them.

As a command, for the shell scripts (each prints one figure):
  benchstats.py median V...            the median ("n/a" without values)
  benchstats.py spread V...            (largest - smallest) / median, per cent
  benchstats.py ratio A B              A / B to three decimals ("n/a" when B is 0)
  benchstats.py rate FILE FIELD START_MS WINDOW_MS BLOCK
      FILE holds lines "TIME C2 C3 ..." (TIME in seconds since the epoch; FIELD
      2 is the first counter); prints the counter's increase from START to
      START + WINDOW, each end interpolated between the samples around it,
      in 512-byte sectors turned into transfers of BLOCK bytes per second
      (0 when the samples do not cover the window)
"""

import sys


def median(values):
    v = sorted(float(x) for x in values)
    if not v:
        return None
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def spread(values):
    v = [float(x) for x in values]
    m = median(v)
    return (max(v) - min(v)) * 100 / m if v and m and m > 0 else 0.0


def ratio(a, b):
    return float(a) / float(b) if float(b) > 0 else None


def counter_at(samples, t):
    """The counter at time t, interpolated between the samples [(time, count)]
    around it; None outside them."""
    for (t0, c0), (t1, c1) in zip(samples, samples[1:]):
        if t0 <= t <= t1:
            return c0 if t1 == t0 else c0 + (c1 - c0) * (t - t0) / (t1 - t0)
    return None


def kernel_rate(samples, start_ms, window_ms, block_size):
    """Transfers of block_size bytes per second that a counter of 512-byte
    sectors shows over the window; 0 when the samples do not cover it."""
    t1 = start_ms / 1000
    t2 = t1 + window_ms / 1000
    a, b = counter_at(samples, t1), counter_at(samples, t2)
    if a is None or b is None or window_ms <= 0:
        return 0.0
    return (b - a) * 512 / block_size / (window_ms / 1000)


def fmt(x, digits):
    return "n/a" if x is None else f"{x:.{digits}f}"


def numbers(args):
    """The arguments that are figures ("n/a" of a run without one left out)."""
    out = []
    for a in args:
        try:
            out.append(float(a))
        except ValueError:
            pass
    return out


def median_text(values, as_given=False):
    """The median of the figures among values ("n/a" without any); with
    as_given, the middle one of an odd count as it was written."""
    if as_given:
        given = sorted((v for v in values if numbers([v])), key=float)
        if len(given) % 2:
            return str(given[len(given) // 2])
    m = median(numbers(values))
    return "n/a" if m is None else f"{m:g}" if abs(m) < 1e6 else f"{m:.0f}"


def spread_text(values):
    return f"{spread(numbers(values)):.0f}"


def ratio_text(a, b, digits=3):
    """a / b to three decimals (or digits); "n/a" when either is not a
    figure or b is 0."""
    if len(numbers([a, b])) < 2:
        return "n/a"
    return fmt(ratio(a, b), digits)


def main(argv):
    cmd, args = argv[1], argv[2:]
    if cmd == "median":
        print(median_text(args))
    elif cmd == "spread":
        print(spread_text(args))
    elif cmd == "ratio":
        print(ratio_text(*args))
    elif cmd == "rate":
        path, field, start, window, block = args
        col = int(field) - 1
        samples = []
        with open(path, encoding="ascii") as f:
            for line in f:
                p = line.split()
                if len(p) > col:
                    samples.append((float(p[0]), float(p[col])))
        print(f"{kernel_rate(samples, float(start), float(window), int(block)):.0f}")
    else:
        print(f"benchstats.py: unknown command {cmd}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
