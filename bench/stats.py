"""Per-round figures into medians and the spread of per-round ratios."""

import statistics
from dataclasses import dataclass, field


@dataclass
class Summary:
    key: str
    name: str
    engine: object
    describe: str
    reason: str
    rate: float = None          # median operations per second
    to_floor: list = field(default_factory=list)    # per-round ratios
    to_ceiling: list = field(default_factory=list)
    gap_ms: list = field(default_factory=list)      # heartbeat workload: largest gap per round
    above_idle_ms: list = field(default_factory=list)
    worst_parts_ms: tuple = None  # the largest gap's (ran, waited for a core), where measured
    mb_per_s: float = None
    cpu_us: float = None        # median loop-thread CPU microseconds per operation
    us_per_op: float = None     # median wall microseconds per operation

    @property
    def measured(self):
        return self.rate is not None


def median(values):
    return statistics.median(values) if values else None


def spread(values):
    return (min(values), max(values)) if values else None


def _rate(figure):
    return figure["ops"] / figure["seconds"] if figure and figure["seconds"] > 0 else None


def _ratios(rates, reference):
    return [rate / base for rate, base in zip(rates, reference) if rate and base]


def summarise(result):
    """The rows of one workload's result, with their medians and ratios."""
    rows = {row["key"]: row for row in result["rows"]}
    floor = [_rate(figure) for figure in rows["floor"]["figures"]]
    ceiling = [_rate(figure) for figure in rows["ceiling"]["figures"]]
    idle_gaps = [figure["gap"] for figure in result.get("idle", [])]
    summaries = []
    for row in result["rows"]:
        summary = Summary(row["key"], row["name"], row["engine"], row["describe"], row["reason"])
        figures = [figure for figure in row["figures"] if figure]
        if figures and not row["reason"]:
            rates = [_rate(figure) for figure in row["figures"]]
            summary.rate = median([rate for rate in rates if rate])
            summary.to_floor = _ratios(rates, floor)
            summary.to_ceiling = _ratios(rates, ceiling)
            summary.us_per_op = 1e6 / summary.rate if summary.rate else None
            summary.cpu_us = median([figure["cpu"] / figure["ops"] * 1e6 for figure in figures
                                     if figure.get("cpu") is not None and figure["ops"]])
            if result["kind"] == "responsive":
                gaps = [figure["gap"] if figure else None for figure in row["figures"]]
                summary.gap_ms = [gap * 1e3 for gap in gaps if gap is not None]
                summary.above_idle_ms = [(gap - idle) * 1e3 for gap, idle in zip(gaps, idle_gaps)
                                         if gap is not None]
                summary.mb_per_s = summary.rate * result["block"] / 1e6
                summary.worst_parts_ms = worst_parts_ms(figures)
        summaries.append(summary)
    return summaries


def worst_parts_ms(figures):
    """(ran, waited) in ms of the round with the largest heartbeat gap; None
    where the run could not tell."""
    worst = max(figures, key=lambda figure: figure["gap"], default=None)
    if worst is None or "ran" not in worst:
        return None
    return worst["ran"] * 1e3, worst["waited"] * 1e3


def idle_gaps_ms(result):
    return [figure["gap"] * 1e3 for figure in result.get("idle", [])]
