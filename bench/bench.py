"""File I/O from asyncio: every workload against every participant, as tables,
build/bench/report.md and build/bench/report.png.

Each workload runs in a process of its own, in interleaved rounds (every
participant once per round, in shuffled order, on the same offsets); the
module's participants run once per engine the platform offers. Figures are
medians, ratios are taken per round against `floor` (a synchronous loop of
system calls) and `ceiling` (the same asyncio pipeline as `iocp`, its
futures resolved at once with no I/O).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import goals  # noqa: E402
import report  # noqa: E402
import workloads  # noqa: E402
from engines import Engines  # noqa: E402
from participants import all_participants  # noqa: E402

ROOT = os.path.dirname(HERE)
HOTPATH = "hotpath"


def parse_args(argv=None):
    names = [w.name for w in workloads.sizes(False).workloads] + [HOTPATH]
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes and one round: proves every path works")
    parser.add_argument("--only", action="append", choices=names, metavar="WORKLOAD",
                        help=f"run only this workload (repeatable): {', '.join(names)}")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per workload (default 3, 1 with --quick)")
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"),
                        help="where report.md and report.png go (default build/bench)")
    parser.add_argument("--seed", type=int, default=20261208, help="seed of the offsets and the round order")
    parser.add_argument("--no-profile", action="store_true", help="skip the profiled run of iocp")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rounds is None:
        args.rounds = 1 if args.quick else 3
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    return args


def child(args, name, scratch, result_path):
    command = [sys.executable, os.path.abspath(__file__), "--worker", name, "--scratch", scratch,
               "--result", result_path, "--rounds", str(args.rounds), "--seed", str(args.seed)]
    if args.quick:
        command.append("--quick")
    return command


def run_children(args, names, scratch):
    results = []
    for index, name in enumerate(names):
        result_path = os.path.join(scratch, f"{name}.json")
        print(f"[{index + 1}/{len(names)}] {name}", file=sys.stderr, flush=True)
        started = time.perf_counter()
        done = subprocess.run(child(args, name, scratch, result_path))
        if done.returncode != 0:
            print(f"  {name}: its process failed (exit {done.returncode}); no figures", file=sys.stderr)
            continue
        with open(result_path) as f:
            result = json.load(f)
        print(report.terminal_table(result))
        print(f"  ({time.perf_counter() - started:.1f} s)\n", flush=True)
        results.append(result)
    return results


def prepare(scratch, quick):
    sizes = workloads.sizes(quick)
    print(f"preparing a {sizes.data_file // workloads.MIB} MiB data file", file=sys.stderr, flush=True)
    workloads.make_data_file(os.path.join(scratch, "data.bin"), sizes.data_file)
    with open(os.path.join(scratch, "write.bin"), "wb") as f:
        f.truncate(sizes.data_file)


def main():
    args = parse_args()
    if args.worker == HOTPATH:
        import hotpath
        return hotpath.main(args)
    if args.worker:
        import runner
        return runner.main(args)

    engines = Engines()
    offered, absent = engines.available()
    default = engines.default()
    others = ", ".join(e.key for e in offered if e.key != default.key)
    absent_text = "".join(f"; {key}: {why}" for key, why in absent.items())
    print(f"engine: {default.label} (also measured: {others or 'none'}{absent_text})", flush=True)

    selected = args.only or [w.name for w in workloads.sizes(args.quick).workloads] + [HOTPATH]
    if args.no_profile and HOTPATH in selected:
        selected.remove(HOTPATH)
    names = [name for name in selected if name != HOTPATH]
    os.makedirs(args.out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=args.out)
    try:
        prepare(scratch, args.quick)
        results = run_children(args, names, scratch)
        hot = run_hotpath(args, scratch) if HOTPATH in selected else None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    chart = os.path.join(args.out, "report.png")
    chart_note = report.write_chart(chart, results) if results else "Not drawn: no workload ran."
    context = {
        "rounds": args.rounds,
        "machine": report.machine(default.label),
        "engines": [{"key": e.key, "label": e.label} for e in offered],
        "engines_absent": absent,
        "participants": _participant_lines(offered),
        "goals": goals.check(results, [{"key": e.key} for e in offered], default.key),
        "hotpath": hot,
        "chart_note": chart_note,
    }
    markdown = os.path.join(args.out, "report.md")
    report.write_markdown(markdown, results, context)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"results": results, "goals": context["goals"]}, f, indent=1)
    print(f"report: {os.path.relpath(markdown)}; chart: {chart_note}")
    return 0 if len(results) == len(names) else 1


def _participant_lines(engines):
    seen = {}
    for p in all_participants(engines):
        seen.setdefault(p.name, [p.name, p.describe + (" (on each engine)" if p.engine else "")])
    return list(seen.values())


def run_hotpath(args, scratch):
    import hotpath
    return hotpath.run(args, scratch, child(args, HOTPATH, scratch, os.path.join(scratch, "hotpath.json")))


if __name__ == "__main__":
    sys.exit(main())
