"""Where the time of one iocp read goes: its submit, the completion thread,
and the delivery on the loop's side, from one instrumented run and one run
under cProfile (which sees the loop thread only).

The loop thread's time is split by timing the submit calls and the batch
callback around the calls themselves; the completion thread's (and any
engine thread's) comes from the kernel's per-thread run time, so it costs the
measured run nothing.
"""

import asyncio
import cProfile
import json
import os
import pstats
import threading
import time

import _kiln
import workloads
from engines import Engines
from participants import IdFutures

DEPTH = 64
SIZE = 4 * workloads.KIB


def _thread_times():
    """{tid: (name, nanoseconds on a CPU)} of this process's threads; empty where
    the system does not tell."""
    times = {}
    try:
        tids = os.listdir("/proc/self/task")
    except OSError:
        return times
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
        except (OSError, ValueError, IndexError):
            continue
        times[int(tid)] = (name, ns)
    return times


def _timer_cost():
    """Seconds two perf_counter calls add to what they surround."""
    counter = time.perf_counter
    best = float("inf")
    for _ in range(5):
        started = counter()
        for _ in range(20000):
            before = counter()
            counter() - before
        best = min(best, (counter() - started) / 20000)
    return best


async def _reads(path, offsets, instrumented):
    loop = asyncio.get_running_loop()
    futures = IdFutures(loop)
    spent = {"submit": 0.0, "deliver": 0.0, "batches": 0, "completions": 0}
    counter = time.perf_counter

    def on_complete(batch):
        started = counter()
        futures.on_complete(batch)
        spent["deliver"] += counter() - started
        spent["batches"] += 1
        spent["completions"] += len(batch)

    iocp = _kiln.Iocp(loop, on_complete if instrumented else futures.on_complete)
    try:
        handle, _ = await futures.future(iocp.submit_open(path, False, False, False, False))
        submit, future = iocp.submit_read, futures.future
        pending = iter(offsets)

        async def plain():
            for offset in pending:
                await future(submit(handle, offset, SIZE))

        async def timed():
            for offset in pending:
                started = counter()
                op = submit(handle, offset, SIZE)
                spent["submit"] += counter() - started
                await future(op)

        worker = timed if instrumented else plain
        loop_tid = threading.get_native_id()
        before = _thread_times()
        started = counter()
        await asyncio.gather(*(worker() for _ in range(DEPTH)))
        spent["wall"] = counter() - started
        after = _thread_times()
        await futures.future(iocp.submit_close(handle))
    finally:
        iocp.shutdown()
    spent["loop_cpu"] = _ns_between(before, after, [loop_tid]) / 1e9 if after else None
    others = [tid for tid in after if tid != loop_tid]
    spent["other_cpu"] = _ns_between(before, after, others) / 1e9 if after else None
    spent["other_threads"] = sorted({after[tid][0] for tid in others if after[tid][1] > before.get(tid, ("", 0))[1]})
    return spent


def _ns_between(before, after, tids):
    return sum(after[tid][1] - before.get(tid, ("", 0))[1] for tid in tids if tid in after)


def _profiled(path, offsets):
    profile = cProfile.Profile()
    profile.enable()
    asyncio.run(_reads(path, offsets, instrumented=False))
    profile.disable()
    stats = pstats.Stats(profile)
    rows = []
    for (filename, line, name), (_, calls, tottime, _, _) in stats.stats.items():
        where = "built-in" if filename == "~" else f"{os.path.basename(filename)}:{line}"
        rows.append((tottime, calls, name, where))
    rows.sort(reverse=True)
    return [{"function": name, "where": where, "calls_per_op": calls / len(offsets),
             "us_per_op": tottime / len(offsets) * 1e6} for tottime, calls, name, where in rows[:10]]


def measure(path, offsets):
    asyncio.run(_reads(path, offsets[:2000], instrumented=False))  # warm up
    plain = min((asyncio.run(_reads(path, offsets, instrumented=False)) for _ in range(3)),
                key=lambda spent: spent["wall"])
    timed = asyncio.run(_reads(path, offsets, instrumented=True))
    ops = len(offsets)
    cost = _timer_cost()
    submit = max(timed["submit"] - ops * cost, 0.0)
    deliver = max(timed["deliver"] - timed["batches"] * cost, 0.0)
    result = {
        "ops": ops,
        "wall_us": plain["wall"] / ops * 1e6,
        "instrumented_wall_us": timed["wall"] / ops * 1e6,
        "submit_us": submit / ops * 1e6,
        "deliver_us": deliver / ops * 1e6,
        "per_batch": timed["completions"] / max(timed["batches"], 1),
        "loop_us": plain["loop_cpu"] / ops * 1e6 if plain["loop_cpu"] is not None else None,
        "other_us": plain["other_cpu"] / ops * 1e6 if plain["other_cpu"] is not None else None,
        "other_threads": plain["other_threads"],
        "timed_loop_us": timed["loop_cpu"] / ops * 1e6 if timed["loop_cpu"] is not None else None,
        "profile": _profiled(path, offsets),
    }
    return result


def main(args):
    """The child: measure on the default engine, write the figures as JSON."""
    engines = Engines()
    engine = engines.default()
    engines.select(engine.mode)
    sizes = workloads.sizes(args.quick)
    ops = 4000 if args.quick else 40000
    workload = workloads.Workload("hotpath", "", "read", SIZE, DEPTH, ops)
    offsets = workloads.offsets(workload, sizes.data_file, args.seed)
    result = measure(os.path.join(args.scratch, "data.bin"), offsets)
    result["engine"] = engine.label
    with open(args.result, "w") as f:
        json.dump(result, f)
    return 0


def run(args, scratch, command):
    """The parent: run the child, return the report's section (None on failure)."""
    import subprocess
    import sys
    print("hotpath: one instrumented and one profiled run of iocp", file=sys.stderr, flush=True)
    result_path = command[command.index("--result") + 1]
    if subprocess.run(command).returncode != 0:
        return "## Where the time goes\n\nThe profiled run failed; see the terminal output."
    with open(result_path) as f:
        result = json.load(f)
    section = markdown(result)
    print(section)
    return section


def _us(value):
    return f"{value:.2f}" if value is not None else "-"


def markdown(r):
    wall = r["wall_us"]
    lines = [
        "## Where the time goes",
        "",
        f"`iocp`, 4 KiB random reads, {DEPTH} in flight, {r['ops']:,} reads on {r['engine']}: "
        f"{wall:.2f} us per read ({1e6 / wall:,.0f} reads/s) uninstrumented; "
        f"{r['per_batch']:.1f} completions per batch.",
        "",
        "| part | us per read | how measured |",
        "|---|---|---|",
        f"| submit (`Iocp.submit_read`, with the I/O itself where the engine does it in the call) | "
        f"{_us(r['submit_us'])} | timed around each call |",
        f"| loop-side delivery: `on_complete` resolving the batch's futures | {_us(r['deliver_us'])} | "
        "timed around each batch |",
    ]
    if r["loop_us"] is not None:
        rest = r["loop_us"] - r["submit_us"] - r["deliver_us"]
        lines += [
            f"| loop-side rest: waking tasks, resuming coroutines, the loop's own work | {_us(rest)} | "
            "the loop thread's run time less the two above |",
            f"| loop thread, all of it | {_us(r['loop_us'])} | kernel run time of the thread |",
            f"| completion thread and engine threads ({', '.join(r['other_threads']) or 'none ran'}) | "
            f"{_us(r['other_us'])} | kernel run time of every other thread |",
        ]
    lines += ["", "Loop thread under cProfile (its overhead inflates every figure; read them as shares):", "",
              "| function | where | calls per read | us per read |", "|---|---|---|---|"]
    lines += [f"| `{p['function']}` | {p['where']} | {p['calls_per_op']:.2f} | {p['us_per_op']:.2f} |"
              for p in r["profile"]]
    return "\n".join(lines)
