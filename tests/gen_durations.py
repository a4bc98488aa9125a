#!/usr/bin/python3
"""Oracle vectors for base/durationring: the average of the latest piece or
clean-up durations and the remaining-time estimate, by Python's statistics
module.

Writes <dir>/durations.txt, one case a line, tab-separated:
  ring  <durations, comma-separated repr> <average> <left> <parallel> <remaining>
The average is 0 below 20 durations, statistics.mean of all of them up to
69, and from 70 on statistics.mean of the latest 100 (or fewer) sorted,
without the 25 smallest and the 25 largest. The remaining time is
left * average / max(parallel, 1), or -1 below 20 durations.
The first line is "# seed N".
"""
import os
import random
import statistics
import sys

SEED = 0xD0_7A71


def average(values):
    n = len(values)
    if n < 20:
        return 0.0
    if n < 70:
        return statistics.mean(values)
    latest = sorted(values[-100:])
    return statistics.mean(latest[25:len(latest) - 25])


def main(out_dir):
    rng = random.Random(SEED)
    rows = []
    for n in (0, 1, 19, 20, 21, 69, 70, 71, 99, 100, 101, 250):
        for _ in range(4):
            scale = rng.choice([0.001, 1.0, 250.0])
            values = [rng.expovariate(1.0) * scale for _ in range(n)]
            if n and rng.random() < 0.5:
                values[rng.randrange(n)] = 1e6  # one stalled item
            left = rng.randrange(0, 100000)
            parallel = rng.choice([-1, 0, 1, 8])
            avg = average(values)
            remaining = left * avg / max(parallel, 1) if n >= 20 else -1.0
            rows.append("ring\t%s\t%r\t%d\t%d\t%r" % (",".join(repr(v) for v in values) or "-",
                                                      avg, left, parallel, remaining))
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "durations.txt"), "w") as f:
        f.write("# seed %d\n" % SEED + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
