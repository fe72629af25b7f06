"""Tables for the terminal, report.md, and the chart."""

import os
import platform
import sys

from stats import idle_gaps_ms, median, spread, summarise, worst_parts_ms


def machine(engine_label):
    return [
        ("CPU", _cpu_model()),
        ("cores", str(os.cpu_count())),
        ("kernel", f"{platform.system()} {platform.release()}"),
        ("Python", f"{platform.python_version()} ({sys.executable})"),
        ("engine", engine_label),
    ]


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _spread_cell(values, digits, unit=""):
    """The median, and the smallest and largest value when there are several."""
    if not values:
        return "-"
    low, high = spread(values)
    text = f"{median(values):.{digits}f}{unit}"
    return text if len(values) == 1 else f"{text} [{low:.{digits}f}-{high:.{digits}f}]"


def _ratio(values):
    return _spread_cell(values, 2, "x")


def _ms(values):
    return _spread_cell(values, 1)


def _rate(value):
    return f"{value:,.0f}" if value is not None else "-"


def workload_rows(result):
    """(header, rows) of one workload's table, the same on the terminal and in the report."""
    summaries = summarise(result)
    if result["kind"] == "responsive":
        header = ["participant", "largest gap ms", "above idle ms", "worst gap: ran / waited ms", "MB/s", "x floor"]
        idle = worst_parts_ms([figure for figure in result.get("idle", []) if figure])
        rows = [["idle loop", _ms(idle_gaps_ms(result)), "0", _parts(idle), "-", "-"]]
        for s in summaries:
            rows.append([s.key, _ms(s.gap_ms), _ms(s.above_idle_ms), _parts(s.worst_parts_ms), _rate(s.mb_per_s),
                         _ratio(s.to_floor)]
                        if s.measured else [s.key, s.reason or "no figure", "", "", "", ""])
        return header, rows
    header = ["participant", "ops/s", "us/op", "loop CPU us/op", "x floor [spread]", "x ceiling [spread]"]
    rows = [[s.key, _rate(s.rate), _us(s.us_per_op), _us(s.cpu_us), _ratio(s.to_floor), _ratio(s.to_ceiling)]
            if s.measured else [s.key, s.reason or "no figure", "", "", "", ""] for s in summaries]
    return header, rows


def _parts(parts):
    """The loop thread's share of a gap: on a core, and runnable without one."""
    return f"{parts[0]:.1f} / {parts[1]:.1f}" if parts else "-"


def _us(value):
    return f"{value:.2f}" if value is not None else "-"


def caption(result):
    rounds = result["rounds"]
    counted = f"{rounds} round{'s' * (rounds > 1)}"
    if result["kind"] == "responsive":
        return f"{result['workload']}: {result['title']} ({counted}; gaps in ms, median [min-max])"
    least = result.get("least_seconds")
    passes = f", passes repeated for at least {least:g} s" if least and result["kind"] in ("read", "write") else ""
    return f"{result['workload']}: {result['title']} ({result['ops']:,} ops a pass{passes}, {counted}, ratios per round)"


def terminal_table(result):
    header, rows = workload_rows(result)
    measured = [header] + [row for row in rows if not _is_reason(row)]
    widths = [max(len(str(row[i])) for row in measured) for i in range(len(header))]
    widths[0] = max(len(row[0]) for row in [header] + rows)
    lines = [caption(result)]
    for row in [header] + rows:
        if _is_reason(row):
            cells = [row[0].ljust(widths[0]), row[1]]
        else:
            cells = [str(cell).ljust(widths[0]) if i == 0 else str(cell).rjust(widths[i])
                     for i, cell in enumerate(row)]
        lines.append("  " + "  ".join(cells).rstrip())
    return "\n".join(lines)


def _is_reason(row):
    """A row that gives why a participant has no figure instead of figures."""
    return not any(row[2:])


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def matrix(results, pick):
    """participants x workloads, one cell per pair from pick(summary)."""
    rate_workloads = [r for r in results if r["kind"] != "responsive"]
    keys = [row["key"] for row in rate_workloads[0]["rows"]] if rate_workloads else []
    table = {r["workload"]: {s.key: s for s in summarise(r)} for r in rate_workloads}
    header = ["participant"] + [r["workload"] for r in rate_workloads]
    rows = []
    for key in keys:
        cells = []
        for r in rate_workloads:
            s = table[r["workload"]].get(key)
            cells.append(pick(s) if s and s.measured else "-")
        if any(cell != "-" for cell in cells):  # the absent are listed with their reasons
            rows.append([key] + cells)
    return header, rows


def write_markdown(path, results, context):
    parts = [
        "# Benchmark report",
        "",
        f"{context['rounds']} interleaved round(s) per workload, every participant once per round in shuffled "
        "order, on the same offsets; each workload in a process of its own. Ratios are computed per round "
        "(a participant against `floor` and `ceiling` of the same round); cells give the median and, in "
        "brackets, the smallest and largest per-round ratio.",
        "",
        "## Machine",
        "",
        markdown_table(["", ""], context["machine"]),
        "",
        "## Engines",
        "",
        markdown_table(["engine", "what"], [[e["key"], e["label"]] for e in context["engines"]]
                       + [[key, f"absent: {why}"] for key, why in context["engines_absent"].items()]),
        "",
        "## Participants",
        "",
        markdown_table(["participant", "what"], context["participants"]),
        "",
    ]
    if context["goals"]:
        parts += ["## Goals", "", markdown_table(["goal", "figure", "met"], context["goals"]), ""]
    parts += [
        "## Ratio to floor (median)", "",
        markdown_table(*matrix(results, lambda s: _ratio(s.to_floor))), "",
        "## Ratio to ceiling (median)", "",
        markdown_table(*matrix(results, lambda s: _ratio(s.to_ceiling))), "",
        "## Operations per second (median)", "",
        markdown_table(*matrix(results, lambda s: _rate(s.rate))), "",
        "## Workloads", "",
    ]
    for result in results:
        parts += [f"### {caption(result)}", "", markdown_table(*workload_rows(result)), ""]
    absent = sorted({(row["key"], row["reason"]) for r in results for row in r["rows"] if row["reason"]})
    if absent:
        parts += ["## Absent figures", "", markdown_table(["participant", "reason"], [list(a) for a in absent]), ""]
    if context.get("hotpath"):
        parts += [context["hotpath"], ""]
    parts += ["## Chart", "", context["chart_note"], ""]
    with open(path, "w") as f:
        f.write("\n".join(parts))


def write_chart(path, results):
    """The grouped bar chart; returns a line for the report."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        if os.path.exists(path):
            os.remove(path)
        return f"Not drawn: matplotlib is not installed ({error})."
    rate_results = [r for r in results if r["kind"] != "responsive"]
    responsive = [r for r in results if r["kind"] == "responsive"]
    panels = (2 if rate_results else 0) + (1 if responsive else 0)
    figure, axes = plt.subplots(panels, 1, figsize=(15, 4.5 * panels), squeeze=False)
    axes = list(axes[:, 0])
    if rate_results:
        _grouped_bars(axes.pop(0), rate_results, lambda s: s.to_floor, "ratio to floor (sync os.pread loop)")
        _grouped_bars(axes.pop(0), rate_results, lambda s: s.to_ceiling, "ratio to ceiling (asyncio, no I/O)")
    if responsive:
        _gap_bars(axes.pop(0), responsive[0])
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)
    return f"`{os.path.relpath(path)}`: ratios to floor and ceiling per workload (log scale), and the heartbeat gaps."


def _grouped_bars(ax, results, pick, title):
    tables = [{s.key: s for s in summarise(r)} for r in results]
    keys = [row["key"] for row in results[0]["rows"]
            if any(table.get(row["key"]) and table[row["key"]].measured for table in tables)]
    width = 0.8 / max(len(keys), 1)
    for index, key in enumerate(keys):
        heights = []
        for table in tables:
            s = table.get(key)
            heights.append(median(pick(s)) if s and pick(s) else 0)
        positions = [group + (index - len(keys) / 2 + 0.5) * width for group in range(len(results))]
        ax.bar(positions, heights, width, label=key, color=_colour(results, key))
    ax.set_xticks(range(len(results)), [r["workload"] for r in results])
    ax.set_yscale("log")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_title(title)
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.005, 1.0), borderaxespad=0)


def _gap_bars(ax, result):
    summaries = [s for s in summarise(result) if s.gap_ms]
    labels = ["idle loop"] + [s.key for s in summaries]
    values = [median(idle_gaps_ms(result)) or 0] + [median(s.gap_ms) for s in summaries]
    ax.bar(range(len(labels)), values, color=["black"] + [_colour([result], s.key) for s in summaries])
    ax.set_xticks(range(len(labels)), labels, rotation=30, ha="right", fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("ms")
    ax.set_title(f"largest heartbeat gap: {result['title']}")


def _colour(results, key):
    """The same colour for a participant in every panel."""
    import matplotlib
    keys = [row["key"] for row in results[0]["rows"]]
    return matplotlib.colormaps["tab20"](keys.index(key) % 20)
