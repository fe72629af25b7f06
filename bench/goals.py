"""The goals the open work is measured against, checked on one run's figures."""

import fs_bench
from stats import median, summarise


class Figures:
    def __init__(self, results):
        self._by_workload = {r["workload"]: {s.key: s for s in summarise(r)} for r in results}
        self._idle = {r["workload"]: [f["gap"] * 1e3 for f in r.get("idle", [])] for r in results}

    def get(self, workload, key):
        s = self._by_workload.get(workload, {}).get(key)
        return s if s and s.measured else None

    def idle_ms(self, workload):
        return median(self._idle.get(workload, []))


def _row(goal, figure, met):
    return [goal, figure, "yes" if met else "NO"]


def _absent(goal, why):
    return [goal, why, "not measured"]


def _times(a, b):
    return a.rate / b.rate if a and b and b.rate else None


def check(results, engines, default_key):
    figures = Figures(results)
    system = next((e["key"] for e in engines if e["key"] in ("io_uring", "pool")), None)
    rows = []
    rows += _engine_goals(figures, system)
    rows += _package_goals(figures, default_key)
    rows += fs_bench.goals(results, default_key)
    return rows


def _engine_goals(figures, system):
    rows = []
    goal = "heartbeat gap, iocp on the system engine, at most idle + 3 ms"
    iocp = figures.get("responsive", f"iocp ({system})") if system else None
    if not system:
        rows.append(_absent(goal, "no system engine in this build"))
    elif iocp and figures.idle_ms("responsive") is not None:
        above = median(iocp.above_idle_ms)
        others = [(key, figures.get("responsive", key)) for key in ("aiofiles", "iocp (inline)", "executor")]
        side = ", ".join(f"{key} {median(s.gap_ms):.1f}" for key, s in others if s)
        rows.append(_row(goal, f"{median(iocp.gap_ms):.1f} ms, idle {figures.idle_ms('responsive'):.1f} ms "
                               f"(+{above:.1f}); {side}", above <= 3.0))
    else:
        rows.append(_absent(goal, "responsive workload not run"))

    goal = "4 KiB reads, 64 in flight: iocp on the system engine >= inline and >= 10x executor"
    iocp = figures.get("read-4k-d64", f"iocp ({system})") if system else None
    inline = figures.get("read-4k-d64", "iocp (inline)")
    executor = figures.get("read-4k-d64", "executor")
    if iocp and inline and executor:
        rows.append(_row(goal, f"{iocp.rate:,.0f}/s vs inline {inline.rate:,.0f}/s, "
                               f"{_times(iocp, executor):.1f}x executor",
                         iocp.rate >= inline.rate and _times(iocp, executor) >= 10))
    else:
        rows.append(_absent(goal, "no system engine in this build" if not system else "workload not run"))

    goal = "1 MiB sequential reads, 4 in flight: iocp on the system engine >= 0.6x floor"
    iocp = figures.get("read-1m-seq", f"iocp ({system})") if system else None
    if iocp and iocp.to_floor:
        rows.append(_row(goal, f"{median(iocp.to_floor):.2f}x floor", median(iocp.to_floor) >= 0.6))
    else:
        rows.append(_absent(goal, "no system engine in this build" if not system else "workload not run"))
    return rows


def _package_goals(figures, engine):
    rows = []
    kiln = figures.get("read-4k-d64", f"kiln ({engine})")
    many = figures.get("read-4k-d64", f"kiln-many ({engine})")
    executor = figures.get("read-4k-d64", "executor")
    aiofiles = figures.get("read-4k-d64", "aiofiles")
    goal = f"kiln pread, 64 in flight ({engine}): >= 0.7x ceiling"
    rows.append(_row(goal, f"{median(kiln.to_ceiling):.2f}x ceiling", median(kiln.to_ceiling) >= 0.7)
                if kiln and kiln.to_ceiling else _absent(goal, "kiln not measured"))
    goal = f"kiln pread_many, groups of 64 ({engine}): >= 0.5x floor"
    rows.append(_row(goal, f"{median(many.to_floor):.2f}x floor", median(many.to_floor) >= 0.5)
                if many and many.to_floor else _absent(goal, "kiln-many not measured"))
    for name, s in (("kiln", kiln), ("kiln-many", many)):
        goal = f"{name} 4 KiB reads ({engine}): >= 10x executor and >= 25x aiofiles"
        if s and executor and aiofiles:
            by_executor, by_aiofiles = _times(s, executor), _times(s, aiofiles)
            rows.append(_row(goal, f"{by_executor:.1f}x executor, {by_aiofiles:.1f}x aiofiles",
                             by_executor >= 10 and by_aiofiles >= 25))
        else:
            rows.append(_absent(goal, f"{name}, executor or aiofiles not measured"))
    return rows
