"""The goals the open work is measured against, checked on one run's figures.

"Today's" path is the completion thread's (kiln-thread), measured in the same
rounds as the loop's."""

import fs_bench
from stats import median, summarise


class Figures:
    def __init__(self, results):
        self._by_workload = {r["workload"]: {s.key: s for s in summarise(r)} for r in results}
        self._idle = {r["workload"]: [f["gap"] * 1e3 for f in r.get("idle", [])] for r in results}

    def get(self, workload, key):
        s = self._by_workload.get(workload, {}).get(key)
        return s if s and s.measured else None

    def workloads(self):
        return list(self._by_workload)

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
    e = default_key
    rows = []
    rows += _cached_reads(figures, e)
    rows += _async_path(figures, e)
    rows += _heartbeat(figures, e)
    rows += _nothing_slower(figures, e)
    rows += fs_bench.goals(results, default_key)
    return rows


def _cached_reads(figures, e):
    rows = []
    for workload in ("read-4k-d1", "read-4k-d8", "read-4k-d64"):
        goal = f"kiln pread, {workload} ({e}): >= 0.6x floor"
        kiln = figures.get(workload, f"kiln ({e})")
        rows.append(_row(goal, f"{median(kiln.to_floor):.2f}x floor", median(kiln.to_floor) >= 0.6)
                    if kiln and kiln.to_floor else _absent(goal, "kiln not measured"))
    goal = f"kiln pread, read-4k-d64 ({e}): >= 20x executor and >= 30x aiofiles"
    kiln = figures.get("read-4k-d64", f"kiln ({e})")
    executor, aiofiles = figures.get("read-4k-d64", "executor"), figures.get("read-4k-d64", "aiofiles")
    if kiln and executor and aiofiles:
        by_executor, by_aiofiles = _times(kiln, executor), _times(kiln, aiofiles)
        rows.append(_row(goal, f"{by_executor:.1f}x executor, {by_aiofiles:.1f}x aiofiles",
                         by_executor >= 20 and by_aiofiles >= 30))
    else:
        rows.append(_absent(goal, "kiln, executor or aiofiles not measured"))
    goal = f"kiln pread_many, groups of 64 ({e}): >= 0.85x floor"
    many = figures.get("read-4k-d64", f"kiln-many ({e})")
    rows.append(_row(goal, f"{median(many.to_floor):.2f}x floor", median(many.to_floor) >= 0.85)
                if many and many.to_floor else _absent(goal, "kiln-many not measured"))
    return rows


def _async_path(figures, e):
    rows = []
    goal = f"asynchronous path, depth-1 latency ({e}): at most half of the completion thread's"
    new, old = figures.get("read-4k-d1", f"kiln-async ({e})"), figures.get("read-4k-d1", f"kiln-thread ({e})")
    if new and old:
        rows.append(_row(goal, f"{new.us_per_op:.1f} us per read vs {old.us_per_op:.1f} us",
                         new.us_per_op <= old.us_per_op / 2))
    else:
        rows.append(_absent(goal, "kiln-async or kiln-thread not measured"))
    goal = f"asynchronous path, read-4k-d64 ({e}): >= 0.55x ceiling"
    new = figures.get("read-4k-d64", f"kiln-async ({e})")
    rows.append(_row(goal, f"{median(new.to_ceiling):.2f}x ceiling", median(new.to_ceiling) >= 0.55)
                if new and new.to_ceiling else _absent(goal, "kiln-async not measured"))
    goal = f"asynchronous path, read-1m-seq ({e}): >= 1.2x floor"
    new = figures.get("read-1m-seq", f"kiln-async ({e})")
    rows.append(_row(goal, f"{median(new.to_floor):.2f}x floor", median(new.to_floor) >= 1.2)
                if new and new.to_floor else _absent(goal, "kiln-async not measured"))
    goal = f"cold cache, read-4k-d64-cold ({e}): kiln >= 2x executor"
    kiln, executor = figures.get("read-4k-d64-cold", f"kiln ({e})"), figures.get("read-4k-d64-cold", "executor")
    rows.append(_row(goal, f"{_times(kiln, executor):.2f}x executor", _times(kiln, executor) >= 2)
                if kiln and executor else _absent(goal, "kiln or executor not measured"))
    return rows


def _heartbeat(figures, e):
    goal = f"heartbeat gap, kiln ({e}): at most idle + 3 ms in every round"
    kiln = figures.get("responsive", f"kiln ({e})")
    if not kiln or figures.idle_ms("responsive") is None:
        return [_absent(goal, "responsive workload not run")]
    others = [(key, figures.get("responsive", key)) for key in
              (f"kiln-thread ({e})", f"iocp ({e})", "aiofiles", "executor")]
    side = ", ".join(f"{key} {median(s.gap_ms):.1f}" for key, s in others if s)
    worst = max(kiln.above_idle_ms)
    parts = ""
    if kiln.worst_parts_ms:
        ran, waited = kiln.worst_parts_ms
        parts = f", in which the loop ran {ran:.1f} ms and waited {waited:.1f} ms for a core"
    figure = (f"{median(kiln.gap_ms):.1f} ms (worst round +{worst:.1f} over idle {figures.idle_ms('responsive'):.1f}"
              f"{parts}); {side}")
    return [_row(goal, figure, worst <= 3.0)]


def _nothing_slower(figures, e):
    """kiln on the loop against kiln on the completion thread, workload by workload."""
    slowest = None
    for workload in figures.workloads():
        if workload == "responsive":
            continue
        for new_key, old_key in ((f"kiln ({e})", f"kiln-thread ({e})"), (f"kiln-many ({e})", f"kiln-many-thread ({e})")):
            ratio = _times(figures.get(workload, new_key), figures.get(workload, old_key))
            if ratio is not None and (slowest is None or ratio < slowest[0]):
                slowest = (ratio, workload, new_key)
    goal = f"no workload slower on the loop than on the completion thread ({e})"
    if slowest is None:
        return [_absent(goal, "kiln and kiln-thread not measured together")]
    ratio, workload, key = slowest
    return [_row(goal, f"slowest: {key} on {workload} at {ratio:.2f}x the thread path's rate", ratio >= 1.0)]
