"""The workloads on files by name: stat, listing, copying and deleting trees.

Every participant does the same work through its own library's calls, the
way its users would write it: ``floor`` the standard library on the loop's
thread (``os.stat``, ``shutil.copytree``, ``shutil.rmtree``), ``executor``
one ``run_in_executor`` call per operation, ``aiofiles`` its ``aiofiles.os``
functions and files, ``anyio`` its ``anyio.Path``, ``iocp`` the raw
``_kiln.Iocp`` calls, ``ceiling`` the same pipeline with every operation
resolved at once, ``kiln`` ``kiln.os`` and ``kiln.shutil`` (``copytree``,
``rmtree``), and ``kiln-many`` ``kiln.os.stat_many`` in groups of half the
depth, two in flight, for the stat and listing workloads. At most ``depth`` operations are in
flight.

Trees are made before the timing starts: the sources once per process, a
fresh tree for every deletion, an empty target for every copy. The copy is
timed with the loop's 1 ms heartbeat running, and the heartbeat of an idle
loop is taken just before it.
"""

import asyncio
import os
import random
import shutil
import stat
import time

from workloads import MIB, Workload

FS_KINDS = ("fs-stat", "fs-walk", "fs-copy", "fs-delete")
CHUNK = MIB  # what aiofiles and anyio copy per read and write


def workloads(quick):
    """The four workloads, at their full or --quick size."""
    files, per_dir, count = (200, 20, 20) if quick else (10_000, 100, 300)
    big, medium, small = _copy_mix(count)
    megabytes = (big * _BIG + medium * _MEDIUM + small * _SMALL) / MIB
    return [
        Workload("fs-stat", f"os.stat of {files:,} paths, 64 in flight", "fs-stat", 1, 64, files, files=files,
                 per_file=per_dir),
        Workload("fs-walk", f"a tree of {files:,} files listed and every entry stat-ed, 64 in flight", "fs-walk", 1,
                 64, files, files=files, per_file=per_dir),
        Workload("fs-copy", f"a tree of {count} files ({megabytes:.0f} MiB) copied, 64 in flight, heartbeat running",
                 "fs-copy", 1, 64, count, files=count, per_file=30),
        Workload("fs-delete", f"a tree of {files:,} files deleted, 64 in flight", "fs-delete", 1, 64, files,
                 files=files, per_file=per_dir),
    ]


# ---------------------------------------------------------------- the trees

_BIG, _MEDIUM, _SMALL = 8 * MIB, MIB, 80 * 1024


def _copy_mix(files):
    """How many big, medium and small files a copy source of ``files`` files has."""
    big = max(files // 30, 1)
    medium = files // 6
    return big, medium, files - big - medium


def _drivers():
    """The drivers module, which registers this one's workloads as it loads."""
    import drivers
    return drivers


def _scratch(context):
    return os.path.dirname(context.files_dir)


def make_tree(top, files, per_dir):
    """``files`` empty files, ``per_dir`` in each directory, two levels deep."""
    paths = []
    for index in range(files):
        directory = os.path.join(top, f"d{index // per_dir:03d}")
        if index % per_dir == 0:
            os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, f"f{index:05d}")
        with open(path, "wb"):
            pass
        paths.append(path)
    return paths


def _source_tree(context):
    """The tree the stat and listing workloads read, made once per process."""
    w = context.workload
    top = os.path.join(_scratch(context), f"fs-tree-{w.files}")
    marker = top + ".complete"
    if not os.path.exists(marker):
        shutil.rmtree(top, ignore_errors=True)
        make_tree(top, w.files, w.per_file)
        with open(marker, "wb"):
            pass
    paths = sorted(os.path.join(top, d, f) for d in os.listdir(top) if d.startswith("d")
                   for f in os.listdir(os.path.join(top, d)))
    return top, paths


def _copy_source(context):
    """Mixed files, about 150 MiB in all at full size, cached after their first read."""
    w = context.workload
    top = os.path.join(_scratch(context), f"fs-copy-{w.files}")
    marker = top + ".complete"
    if not os.path.exists(marker):
        shutil.rmtree(top, ignore_errors=True)
        big, medium, _small = _copy_mix(w.files)
        rng = random.Random(w.files)
        for index in range(w.files):
            size = _BIG if index < big else _MEDIUM if index < big + medium else _SMALL
            directory = os.path.join(top, f"part{index % 10}", f"sub{index % 3}")
            os.makedirs(directory, exist_ok=True)
            with open(os.path.join(directory, f"file{index:04d}.bin"), "wb") as f:
                f.write(rng.randbytes(size))
        with open(marker, "wb"):
            pass
    for dirpath, _dirs, files in os.walk(top):
        for name in files:
            drivers_warm(os.path.join(dirpath, name))
    return top


def drivers_warm(path):
    with open(path, "rb", buffering=0) as f:
        while f.read(8 * MIB):
            pass


def _fresh_target(context, name):
    target = os.path.join(_scratch(context), name)
    shutil.rmtree(target, ignore_errors=True)
    return target


def _tree_bytes(top):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(top) for f in files)


# ---------------------------------------------------------------- the participants' calls


class _Executor:
    def __init__(self):
        self._loop = asyncio.get_running_loop()

    def _run(self, function, *args):
        return self._loop.run_in_executor(None, function, *args)

    async def stat(self, path):
        return await self._run(os.stat, path)

    async def listdir(self, path):
        return await self._run(os.listdir, path)

    async def makedirs(self, path):
        await self._run(lambda: os.makedirs(path, exist_ok=True))

    async def copyfile(self, src, dst):
        await self._run(shutil.copy2, src, dst)

    async def unlink(self, path):
        await self._run(os.unlink, path)

    async def rmdir(self, path):
        await self._run(os.rmdir, path)


class _Aiofiles:
    def __init__(self):
        import aiofiles
        import aiofiles.os
        self._aiofiles = aiofiles
        self._os = aiofiles.os

    async def stat(self, path):
        return await self._os.stat(path)

    async def listdir(self, path):
        return await self._os.listdir(path)

    async def makedirs(self, path):
        await self._os.makedirs(path, exist_ok=True)

    async def copyfile(self, src, dst):
        async with self._aiofiles.open(src, "rb") as source, self._aiofiles.open(dst, "wb") as target:
            while chunk := await source.read(CHUNK):
                await target.write(chunk)

    async def unlink(self, path):
        await self._os.unlink(path)

    async def rmdir(self, path):
        await self._os.rmdir(path)


class _Anyio:
    def __init__(self):
        import anyio
        self._anyio = anyio

    async def stat(self, path):
        return await self._anyio.Path(path).stat()

    async def listdir(self, path):
        return [entry.name async for entry in self._anyio.Path(path).iterdir()]

    async def makedirs(self, path):
        await self._anyio.Path(path).mkdir(parents=True, exist_ok=True)

    async def copyfile(self, src, dst):
        async with await self._anyio.open_file(src, "rb") as source, \
                await self._anyio.open_file(dst, "wb") as target:
            while chunk := await source.read(CHUNK):
                await target.write(chunk)

    async def unlink(self, path):
        await self._anyio.Path(path).unlink()

    async def rmdir(self, path):
        await self._anyio.Path(path).rmdir()


class _Raw:
    """``_kiln.Iocp`` (or the ceiling's stand-in), ids mapped to futures."""

    def __init__(self, make_backend):
        from participants import IdFutures
        loop = asyncio.get_running_loop()
        self._futures = IdFutures(loop)
        self._io = make_backend(loop, self._futures.on_complete)

    async def _call(self, op_id):
        _result, data = await self._futures.future(op_id)
        return data

    async def stat(self, path):
        return await self._call(self._io.submit_stat(path, True))

    async def listdir(self, path):
        return [entry[0] for entry in await self._call(self._io.submit_listdir(path))]

    async def makedirs(self, path):
        await self._call(self._io.submit_mkdir(path, 0o777))

    async def copyfile(self, src, dst):
        await self._call(self._io.submit_copyfile(src, dst, True, True))

    async def unlink(self, path):
        await self._call(self._io.submit_unlink(path))

    async def rmdir(self, path):
        await self._call(self._io.submit_rmdir(path))

    def finish(self):
        self._io.shutdown()


def _resolved_fs(snapshot):
    """The ceiling's stand-in: every call resolved in the loop's next batch, from a
    snapshot of the tree taken before the timing."""
    from participants import ResolvedAtOnce

    file_status, directory_status = snapshot["file"], snapshot["directory"]

    class ResolvedFs(ResolvedAtOnce):
        def submit_stat(self, path, _follow):
            return self._post(0, 0, directory_status if path in snapshot["listing"] else file_status)

        def submit_listdir(self, path):
            return self._post(0, 0, snapshot["listing"][path])

        def submit_mkdir(self, _path, _mode):
            return self._post(0, 0, None)

        def submit_copyfile(self, _src, _dst, _mode, _times):
            return self._post(0, 0, None)

        def submit_unlink(self, _path):
            return self._post(0, 0, None)

        submit_rmdir = submit_unlink

    return ResolvedFs


def _snapshot(top):
    listing = {}
    for dirpath, dirs, files in os.walk(top):
        listing[dirpath] = [(name, 0, 0, 0, 0) for name in dirs + files]
    any_file = next(os.path.join(d, names[0][0]) for d, names in listing.items() if names and
                    os.path.isfile(os.path.join(d, names[0][0])))
    return {"listing": listing, "file": os.stat(any_file), "directory": os.stat(top)}


def _calls(participant, top):
    name = participant.name
    if name == "executor":
        return _Executor()
    if name == "aiofiles":
        return _Aiofiles()
    if name == "anyio":
        return _Anyio()
    if name == "iocp":
        import _kiln
        return _Raw(_kiln.Iocp)
    if name == "ceiling":
        return _Raw(_resolved_fs(_snapshot(top)))
    return _Kiln()


class _Kiln:
    def __init__(self):
        import kiln
        self._os = kiln.os
        self._shutil = kiln.shutil

    async def stat(self, path):
        return await self._os.stat(path)

    async def listdir(self, path):
        return await self._os.listdir(path)


# ---------------------------------------------------------------- the work


async def _pooled(action, items, depth):
    """``action`` on every item, ``depth`` at a time; the results in the items' order."""
    results = [None] * len(items)
    numbered = iter(enumerate(items))

    async def worker():
        for index, item in numbered:
            results[index] = await action(item)

    await asyncio.gather(*(worker() for _ in range(min(depth, len(items)))))
    return results


async def _discover(calls, top, depth):
    """Every directory (level by level) and file of the tree, by listing and stat-ing each entry."""
    levels, files = [], []
    level = [top]
    while level:
        levels.append(level)
        listings = await _pooled(calls.listdir, level, depth)
        entries = [os.path.join(d, name) for d, names in zip(level, listings) for name in names]
        statuses = await _pooled(calls.stat, entries, depth)
        level = [e for e, s in zip(entries, statuses) if stat.S_ISDIR(s.st_mode)]
        files += [e for e, s in zip(entries, statuses) if not stat.S_ISDIR(s.st_mode)]
    return levels, files


def _finish(calls):
    if hasattr(calls, "finish"):
        calls.finish()


async def _stat_groups(paths, depth):
    """``kiln.os.stat_many`` of groups of half the depth, two groups in flight; the results in order."""
    import kiln
    size = max(depth // 2, 1)
    results = [None] * len(paths)
    starts = iter(range(0, len(paths), size))

    async def worker():
        for start in starts:
            results[start:start + size] = await kiln.os.stat_many(paths[start:start + size])

    await asyncio.gather(worker(), worker())
    return results


async def _walk_many(top, depth):
    """kiln-many: a level's directories listed, up to the depth at once, then its entries stat-ed
    in groups."""
    import kiln
    levels, files = [], []
    level = [top]
    while level:
        levels.append(level)
        listings = await _pooled(kiln.os.listdir, level, depth)
        entries = [os.path.join(d, name) for d, names in zip(level, listings) for name in names]
        statuses = await _stat_groups(entries, depth)
        level = [e for e, s in zip(entries, statuses) if stat.S_ISDIR(s.st_mode)]
        files += [e for e, s in zip(entries, statuses) if not stat.S_ISDIR(s.st_mode)]
    return levels, files


async def _stat_paths(participant, context):
    top, paths = _source_tree(context)
    calls = _calls(participant, top)
    try:
        started = time.perf_counter()
        if participant.batched:
            await _stat_groups(paths, context.workload.depth)
        else:
            await _pooled(calls.stat, paths, context.workload.depth)
        seconds = time.perf_counter() - started
    finally:
        _finish(calls)
    return {"seconds": seconds, "ops": len(paths)}


async def _walk(participant, context):
    top, _paths = _source_tree(context)
    calls = _calls(participant, top)
    try:
        started = time.perf_counter()
        if participant.batched:
            levels, files = await _walk_many(top, context.workload.depth)
        else:
            levels, files = await _discover(calls, top, context.workload.depth)
        seconds = time.perf_counter() - started
    finally:
        _finish(calls)
    entries = sum(len(level) for level in levels) - 1 + len(files)
    _drivers()._check(len(files) == context.workload.files, f"found {len(files)} files")
    return {"seconds": seconds, "ops": entries}


async def _copy_tree(calls, participant, source, target, depth):
    if participant.name == "kiln":
        await calls._shutil.copytree(source, target)
        return
    levels, files = await _discover(calls, source, depth)
    for level in levels:
        await _pooled(calls.makedirs, [target + d[len(source):] for d in level], depth)

    async def copy(path):
        await calls.copyfile(path, target + path[len(source):])

    await _pooled(copy, files, depth)


async def _copy(participant, context):
    source = _copy_source(context)
    target = _fresh_target(context, "fs-copy-target")
    calls = _calls(participant, source)
    try:
        _idle_seconds, idle_gap = await _drivers()._with_heartbeat(lambda: asyncio.sleep(context.idle_seconds))

        async def copy():
            await _copy_tree(calls, participant, source, target, context.workload.depth)

        seconds, gap = await _drivers()._with_heartbeat(copy)
    finally:
        _finish(calls)
    copied = _tree_bytes(target) if participant.name != "ceiling" else _tree_bytes(source)
    _drivers()._check(copied == _tree_bytes(source), "the copy is incomplete")
    shutil.rmtree(target, ignore_errors=True)
    return {"seconds": seconds, "ops": context.workload.files, "gap": gap, "idle_gap": idle_gap,
            "bytes": copied}


async def _delete(participant, context):
    w = context.workload
    top = _fresh_target(context, "fs-delete-tree")
    make_tree(top, w.files, w.per_file)
    calls = _calls(participant, top)
    try:
        started = time.perf_counter()
        if participant.name == "kiln":
            await calls._shutil.rmtree(top)
        else:
            levels, files = await _discover(calls, top, w.depth)
            await _pooled(calls.unlink, files, w.depth)
            for level in reversed(levels):
                await _pooled(calls.rmdir, level, w.depth)
        seconds = time.perf_counter() - started
    finally:
        _finish(calls)
    _drivers()._check(participant.name == "ceiling" or not os.path.exists(top), "the tree is still there")
    shutil.rmtree(top, ignore_errors=True)
    return {"seconds": seconds, "ops": w.files}


# ---------------------------------------------------------------- the floor: the standard library, no loop


def _floor_stat(context):
    _top, paths = _source_tree(context)
    started = time.perf_counter()
    for path in paths:
        os.stat(path)
    return {"seconds": time.perf_counter() - started, "ops": len(paths)}


def _floor_walk(context):
    top, _paths = _source_tree(context)
    started = time.perf_counter()
    entries = 0
    for dirpath, dirs, files in os.walk(top):
        for name in dirs + files:
            os.stat(os.path.join(dirpath, name))
            entries += 1
    return {"seconds": time.perf_counter() - started, "ops": entries}


def _floor_copy(context):
    source = _copy_source(context)
    target = _fresh_target(context, "fs-copy-target")
    started = time.perf_counter()
    shutil.copytree(source, target)
    seconds = time.perf_counter() - started
    shutil.rmtree(target)
    return {"seconds": seconds, "ops": context.workload.files, "gap": seconds, "idle_gap": 0.0}


def _floor_delete(context):
    w = context.workload
    top = _fresh_target(context, "fs-delete-tree")
    make_tree(top, w.files, w.per_file)
    started = time.perf_counter()
    shutil.rmtree(top)
    return {"seconds": time.perf_counter() - started, "ops": w.files}


FLOOR = {"fs-stat": _floor_stat, "fs-walk": _floor_walk, "fs-copy": _floor_copy, "fs-delete": _floor_delete}
ASYNC = {"fs-stat": _stat_paths, "fs-walk": _walk, "fs-copy": _copy, "fs-delete": _delete}


# ---------------------------------------------------------------- goals


def goals(results, engine):
    """Per workload: kiln on the default engine at least 5x run_in_executor and 10x aiofiles
    and anyio; and the heartbeat during the copy at most the idle loop's + 3 ms."""
    from goals import _absent, _row
    from stats import median, summarise

    rows = []
    by_workload = {r["workload"]: r for r in results}
    for name in FS_KINDS:
        for kind in ("kiln", "kiln-many"):
            if kind == "kiln-many" and name in ("fs-copy", "fs-delete"):
                continue
            goal = f"{name}: {kind} ({engine}) >= 5x executor, >= 10x aiofiles and anyio"
            result = by_workload.get(name)
            if result is None:
                rows.append(_absent(goal, "workload not run"))
                continue
            rates = {s.key: s.rate for s in summarise(result) if s.measured}
            kiln_rate = rates.get(f"{kind} ({engine})")
            peers = {key: rates.get(key) for key in ("executor", "aiofiles", "anyio")}
            if not kiln_rate or not all(peers.values()):
                rows.append(_absent(goal, f"{kind} or a peer not measured"))
                continue
            times = {key: kiln_rate / rate for key, rate in peers.items()}
            figure = f"{kiln_rate:,.0f}/s: " + ", ".join(f"{times[key]:.1f}x {key}" for key in peers)
            rows.append(_row(goal, figure,
                             times["executor"] >= 5 and times["aiofiles"] >= 10 and times["anyio"] >= 10))
    copy = by_workload.get("fs-copy")
    goal = f"fs-copy: heartbeat gap, kiln ({engine}), at most idle + 3 ms"
    row = next((r for r in copy["rows"] if r["key"] == f"kiln ({engine})"), None) if copy else None
    figures = [f for f in (row or {}).get("figures", []) if f]
    if not figures:
        rows.append(_absent(goal, "workload not run"))
    else:
        gaps = [f["gap"] * 1e3 for f in figures]
        above = [(f["gap"] - f["idle_gap"]) * 1e3 for f in figures]
        idle = median([f["idle_gap"] * 1e3 for f in figures])
        rows.append(_row(goal, f"{median(gaps):.1f} ms, idle {idle:.1f} ms (+{median(above):.1f})",
                         median(above) <= 3.0))
    return rows
