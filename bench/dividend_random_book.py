"""Draws the random book of options on stocks paying cash dividends.

Rows are drawn like the stored reference rows (tests/data/dividend_reference.json):
puts and calls of strike 100, lives of a week to three years, volatilities of
10-100 %, quarterly schedules, some with an ex-date tomorrow, some with one the
day before expiry, some with a special dividend of 5-15 % of the spot, some
deep in or out of the money; r of 0-8 %, q of 0-3 % (zero for half the rows, so
there are calls with q = 0 to check against the sequence of European
problems). Times are whole days over 365.

The seed is fixed, so the book is the same on every run. Writes the rows (no
prices) as JSON to standard output; bench/dividend_reference.cpp prices them:

    python3 bench/dividend_random_book.py > build/dividend_random_rows.json
    build/dev/dividend_reference build/dividend_random_rows.json \
        > tests/data/dividend_random_reference.json
"""

import json
import math
import random
import sys

SEED = 20240521
ROWS = 300
QUARTER = 91


def draw_row(rng: random.Random) -> dict:
    kind = rng.random()
    option_type = "call" if rng.random() < 0.5 else "put"
    if rng.random() < 0.4:
        days = rng.randint(7, 120)
    else:
        days = rng.randint(121, 1095)
    sigma = round(math.exp(rng.uniform(math.log(0.10), math.log(1.00))), 6)
    r = round(rng.uniform(0.0, 0.08), 6)
    q = 0.0 if rng.random() < 0.5 else round(rng.uniform(0.0, 0.03), 6)
    # Moneyness: mostly near the money, some deep in or out of it (about three
    # standard deviations of the life).
    sd = sigma * math.sqrt(days / 365.0)
    if kind < 0.15:
        x = rng.choice((-1.0, 1.0)) * rng.uniform(1.5, 3.0) * sd
    else:
        x = rng.gauss(0.0, 0.12)
    s = round(100.0 * math.exp(x), 6)

    # A quarterly schedule from a first ex-date within the first quarter.
    first = rng.randint(1, QUARTER)
    special_day = None
    shape = rng.random()
    if shape < 0.15:
        first = 1  # an ex-date tomorrow
    quarterly = 0.0025 * s * rng.uniform(0.5, 5.0)  # 1-5 % a year of the spot
    dividend_days = list(range(first, days + 1, QUARTER))
    if shape >= 0.15 and shape < 0.30 and days >= 3:
        # An ex-date the day before expiry (replacing the last quarterly one
        # when they would fall within a few days of each other).
        dividend_days = [d for d in dividend_days if d < days - 5]
        dividend_days.append(days - 1)
    amounts = [round(quarterly * rng.uniform(0.9, 1.1), 4) for _ in dividend_days]
    if 0.30 <= shape < 0.42:
        # A special dividend of 5-15 % of the spot, tomorrow or at a random date.
        special_day = 1 if rng.random() < 0.5 else rng.randint(1, days)
        special = round(s * rng.uniform(0.05, 0.15), 4)
        if special_day in dividend_days:
            amounts[dividend_days.index(special_day)] = round(amounts[dividend_days.index(special_day)] + special, 4)
        else:
            dividend_days.append(special_day)
            amounts.append(special)
        order = sorted(range(len(dividend_days)), key=lambda i: dividend_days[i])
        dividend_days = [dividend_days[i] for i in order]
        amounts = [amounts[i] for i in order]
    return {
        "s": s,
        "k": 100.0,
        "t": days / 365.0,
        "r": r,
        "sigma": sigma,
        "q": q,
        "option_type": option_type,
        "dividend_times": [d / 365.0 for d in dividend_days],
        "dividend_amounts": amounts,
        "days": days,
        "dividend_days": dividend_days,
    }


def main() -> None:
    rng = random.Random(SEED)
    rows = []
    while len(rows) < ROWS:
        row = draw_row(rng)
        if row["dividend_days"]:
            rows.append(row)
    json.dump({"seed": SEED, "rows": rows}, sys.stdout, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
