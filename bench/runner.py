"""One workload in one process: interleaved rounds of every participant."""

import json
import os
import random
import sys
import time

import drivers
import workloads
from engines import Engines
from participants import all_participants, unsupported


class Progress:
    """One line on the terminal that each step rewrites; silent elsewhere."""

    def __init__(self, stream=sys.stderr):
        self._stream = stream
        self._live = stream.isatty()
        self._width = 0

    def show(self, text):
        if self._live:
            padding = max(self._width - len(text), 0)
            self._stream.write("\r" + text + " " * padding)
            self._stream.flush()
            self._width = len(text)

    def clear(self):
        self.show("")
        if self._live:
            self._stream.write("\r")
            self._stream.flush()


def _failure(error):
    text = str(error).splitlines()[0] if str(error) else ""
    return f"failed: {type(error).__name__}{': ' + text if text else ''}"


def run_workload(name, quick, rounds, seed, scratch, progress, names=None):
    """The workload's result; `names` limits the participants that run."""
    sizes = workloads.sizes(quick)
    workload = next(w for w in sizes.workloads if w.name == name)
    engines = Engines()
    offered, engine_absent = engines.available()
    default = engines.default()
    participants = [p for p in all_participants(offered) if names is None or p.name in names]
    context = drivers.Context(
        workload,
        data_path=os.path.join(scratch, "data.bin"),
        write_path=os.path.join(scratch, "write.bin"),
        files_dir=os.path.join(scratch, "files"),
        offsets=workloads.offsets(workload, sizes.data_file, seed),
        payloads=workloads.small_file_payloads(workload, seed) if workload.kind == "files" else [],
        idle_seconds=0.05 if quick else 0.25,
        least_seconds=0.0 if quick else 0.3)
    os.makedirs(context.files_dir, exist_ok=True)

    figures = {p.key: [] for p in participants}
    reasons = {p.key: p.reason or unsupported(p, workload.kind) for p in participants}
    idle = []
    shuffler = random.Random(seed)
    runnable = [p for p in participants if not reasons[p.key]]
    for number in range(rounds):
        order = list(runnable)
        shuffler.shuffle(order)
        if workload.kind == "responsive":
            progress.show(f"{workload.name}: round {number + 1}/{rounds}, idle loop")
            idle.append(drivers.idle(context))
        for step, participant in enumerate(order):
            if reasons[participant.key]:
                figures[participant.key].append(None)  # failed in an earlier round
                continue
            progress.show(f"{workload.name}: round {number + 1}/{rounds}, "
                          f"{step + 1}/{len(order)} {participant.key}")
            engines.select((participant.engine or default).mode)
            try:
                figures[participant.key].append(drivers.run(participant, context))
            except Exception as error:  # a participant's failure is its figure's reason
                reasons[participant.key] = _failure(error)
                figures[participant.key].append(None)
    engines.select(default.mode)
    progress.clear()
    return {
        "workload": workload.name,
        "title": workload.title,
        "kind": workload.kind,
        "ops": workload.ops,
        "least_seconds": context.least_seconds,
        "block": workload.block,
        "depth": workload.depth,
        "rounds": rounds,
        "engines": [{"key": e.key, "label": e.label} for e in offered],
        "engines_absent": engine_absent,
        "default_engine": default.key,
        "idle": idle,
        "rows": [{"key": p.key, "name": p.name, "engine": p.engine.key if p.engine else None,
                  "describe": p.describe, "figures": figures[p.key], "reason": reasons[p.key]}
                 for p in participants],
    }


def main(args):
    started = time.perf_counter()
    result = run_workload(args.worker, args.quick, args.rounds, args.seed, args.scratch, Progress())
    result["wall_seconds"] = time.perf_counter() - started
    with open(args.result, "w") as f:
        json.dump(result, f)
