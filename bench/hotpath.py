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
# Tells the child, run under perf, the control and acknowledgement FIFOs.
PERF_CONTROL = "KILN_BENCH_PERF_CONTROL"


class _Sampling:
    """perf's control FIFOs: sampling starts and stops around the reads."""

    def __init__(self, control, ack):
        self._control = control
        self._ack = ack

    def send(self, command):
        # Without a reader (perf gone) this fails at once instead of waiting.
        control = os.open(self._control, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(control, (command + "\n").encode())
        finally:
            os.close(control)
        with open(self._ack) as ack:
            ack.readline()


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


async def _reads(path, offsets, instrumented, sampling=None):
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
        if sampling:
            sampling.send("enable")
        before = _thread_times()
        started = counter()
        await asyncio.gather(*(worker() for _ in range(DEPTH)))
        spent["wall"] = counter() - started
        after = _thread_times()
        if sampling:
            sampling.send("disable")
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
    asyncio.run(_reads(path, offsets[:1000], instrumented=False))  # warm up
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
    """The child: measure on the default engine, write the figures as JSON;
    under perf, one plain run with sampling on around the reads alone."""
    engines = Engines()
    engine = engines.default()
    engines.select(engine.mode)
    sizes = workloads.sizes(args.quick)
    ops = 2000 if args.quick else 40000
    workload = workloads.Workload("hotpath", "", "read", SIZE, DEPTH, ops)
    offsets = workloads.offsets(workload, sizes.data_file, args.seed)
    path = os.path.join(args.scratch, "data.bin")
    control = os.environ.get(PERF_CONTROL)
    if control:
        asyncio.run(_reads(path, offsets[:1000], instrumented=False))
        spent = asyncio.run(_reads(path, offsets, instrumented=False, sampling=_Sampling(*control.split(","))))
        result = {"ops": ops, "loop_tid": threading.get_native_id(), "wall_us": spent["wall"] / ops * 1e6}
    else:
        result = measure(path, offsets)
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
    section = markdown(result) + "\n\n" + perf_split(scratch, command, result_path)
    print(section)
    return section


def perf_split(scratch, command, result_path):
    """The same reads sampled by perf: each thread's time per read by where
    it runs (the module, the interpreter, the kernel, the C library)."""
    import shutil
    import subprocess
    perf = shutil.which("perf")
    heading = "Sampled by perf (cpu-clock, only while the reads run):"
    if not perf:
        return f"{heading} not available, perf is not installed (Debian: linux-perf)."
    if os.environ.get("LD_PRELOAD"):
        return f"{heading} skipped, the interpreter runs with a preloaded runtime ({os.environ['LD_PRELOAD']})."
    control, ack = os.path.join(scratch, "perf-control"), os.path.join(scratch, "perf-ack")
    for fifo in (control, ack):
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
    data = os.path.join(scratch, "perf.data")
    record = [perf, "record", "-q", "-e", "cpu-clock", "-F", "4999", "-D", "-1",
              "--control", f"fifo:{control},{ack}", "-o", data, "--"] + command
    try:
        done = subprocess.run(record, env=dict(os.environ, **{PERF_CONTROL: f"{control},{ack}"}),
                              capture_output=True, text=True, timeout=300)
        if done.returncode == 0:
            done = subprocess.run([perf, "report", "-i", data, "--stdio", "--sort", "pid,dso"],
                                  capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return f"{heading} not available, perf did not finish in time."
    if done.returncode != 0:
        why = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return f"{heading} not available here ({why})."
    with open(result_path) as f:
        result = json.load(f)
    return heading + "\n\n" + _perf_table(done.stdout, result)


_PLACES = [("module", ("_kiln",)), ("interpreter", ("python", "_asyncio", "select.", "_socket", "_contextvars")),
           ("kernel", ("[kernel",)), ("C library", ("libc", "ld-linux", "libstdc++", "libgcc", "libm"))]


def _place(dso):
    return next((name for name, marks in _PLACES if any(mark in dso for mark in marks)), "other")


def _perf_table(text, result):
    import re
    total_ns = None
    shares = {}
    for line in text.splitlines():
        found = re.match(r"# Event count \(approx\.\): (\d+)", line)
        if found:
            total_ns = int(found.group(1))
        found = re.match(r"\s*([\d.]+)%\s+(\d+):\S*\s+(.+?)\s*$", line)
        if found:
            thread = "loop thread" if int(found.group(2)) == result["loop_tid"] else "other threads"
            key = (thread, _place(found.group(3)))
            shares[key] = shares.get(key, 0.0) + float(found.group(1)) / 100
    if not total_ns or not shares:
        return "perf recorded no samples."
    per_op = total_ns / 1e3 / result["ops"]
    columns = [name for name, _ in _PLACES] + ["other"]
    lines = ["| thread | " + " | ".join(columns) + " | all |", "|---" * (len(columns) + 2) + "|"]
    for thread in ("loop thread", "other threads"):
        cells = [shares.get((thread, column), 0.0) for column in columns]
        lines.append(f"| {thread} | " + " | ".join(f"{cell:.0%}" for cell in cells) + f" | {sum(cells):.0%} |")
    lines += ["", f"Shares of all samples: {per_op:.2f} us of CPU time per read under perf, "
              f"{result['wall_us']:.2f} us of wall time ({result['ops']:,} reads; sampling slows the run, "
              "so read the shares, not the times). The kernel's share holds the reads themselves where the "
              "engine does them in the submitting call, the completion thread's wake-ups and the loop's "
              "self-pipe."]
    return "\n".join(lines)


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
