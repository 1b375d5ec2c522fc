"""Worksheet functions over the Sales sheet.

Excel calls them as custom functions; from gridlet-console:

    %call reports.summary Sales!E2:E13
    %call reports.by_region
    %stream reports.running_total Sales!E2:E13
    %call reports.sales_chart
"""
import time

import gridlet


def _numbers(values):
    """The numbers of a cell value or of a block of rows, row by row; blanks and text are skipped."""
    rows = values if isinstance(values, list) else [values]
    numbers = []
    for row in rows:
        for value in row if isinstance(row, list) else [row]:
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                numbers.append(value)
    return numbers


def summary(address="Sales!E2:E13"):
    """Count, total, mean, smallest and largest of the numbers in a range, as rows for the sheet."""
    numbers = _numbers(gridlet.excel.range(address).value)
    if not numbers:
        raise ValueError(f"no numbers in {address}")
    total = sum(numbers)
    return [
        ["count", len(numbers)],
        ["total", round(total, 2)],
        ["mean", round(total / len(numbers), 2)],
        ["min", min(numbers)],
        ["max", max(numbers)],
    ]


def by_region(address="Sales"):
    """Units and revenue per region of a table with a header row: a pandas DataFrame when
    pandas is installed, otherwise the same table as rows."""
    rows = gridlet.excel.range(address).value
    header = rows[0]
    records = [dict(zip(header, row)) for row in rows[1:] if row and row[0] is not None]
    try:
        import pandas as pd
    except ImportError:
        totals = {}
        for r in records:
            units, revenue = totals.get(r["Region"], (0, 0.0))
            totals[r["Region"]] = (units + r["Units"], revenue + r["Revenue"])
        return [["Region", "Units", "Revenue"]] + [[k, u, v] for k, (u, v) in sorted(totals.items())]
    frame = pd.DataFrame.from_records(records)
    return frame.groupby("Region", as_index=False)[["Units", "Revenue"]].sum()


def running_total(address="Sales!E2:E13", delay=0.2):
    """Streams the running total of a range's numbers: one value per number, `delay` seconds apart."""
    total = 0
    for number in _numbers(gridlet.excel.range(address).value):
        total += number
        yield round(total, 2)
        time.sleep(delay)


def sales_chart(address="Sales", where="Sales!G3", name="Sales chart"):
    """Charts the revenue of each month by region and places the chart in the sheet at `where`.

    Called again (after the data changed), it replaces its picture instead of adding one.
    Needs matplotlib.
    """
    from matplotlib.figure import Figure

    rows = gridlet.excel.range(address).value
    header = rows[0]
    records = [dict(zip(header, row)) for row in rows[1:] if row and row[0] is not None]
    months = sorted({r["Month"] for r in records})
    regions = sorted({r["Region"] for r in records})
    # A figure of its own (not pyplot's): nothing stays open between recalculations.
    fig = Figure(figsize=(6.4, 3.6), dpi=100)
    ax = fig.add_subplot()
    width = 0.8 / len(regions)
    for i, region in enumerate(regions):
        revenue = [sum(r["Revenue"] for r in records if r["Month"] == m and r["Region"] == region) for m in months]
        ax.bar([x + i * width for x in range(len(months))], revenue, width, label=region)
    ax.set_xticks([x + 0.4 - width / 2 for x in range(len(months))], months)
    ax.set_ylabel("Revenue")
    ax.set_title("Revenue by month and region")
    ax.legend()
    fig.tight_layout()
    answer = gridlet.excel.range(where).add_picture(fig, name=name)
    return f"{answer['name']} at {where}"
