"""The standard library and kiln over one generated tree, answer by answer.

``compare(base)`` builds a tree of files, directories, symbolic links (to
files, to directories, absolute, broken, a loop), a hard link, a FIFO, names
that are not UTF-8, and entries the caller may not read, list or enter;
then asks ``os``, ``os.path``, ``pathlib``, ``shutil`` and ``tempfile`` the
same questions as ``kiln.os``, ``kiln.os.path``, ``kiln.Path``,
``kiln.shutil`` and ``kiln.tempfile``, and returns where the answers
differ: values, or the exception's type, errno, message and file names.
Unreadable entries only refuse a process without root's overrides, so the
test runs this as an unprivileged user.
"""

import asyncio
import hashlib
import itertools
import os
import pathlib
import re
import shutil
import stat
import sys
import tempfile

import kiln

NEW_GLOB = sys.version_info >= (3, 13)


def describe(value):
    """A comparable form of a value: stat results by every field, paths by their text."""
    if isinstance(value, os.stat_result):
        return ("stat", tuple((name, getattr(value, name)) for name in dir(value) if name.startswith("st_")))
    if isinstance(value, pathlib.PurePath):
        return ("path", str(value))
    if isinstance(value, (list, tuple)):
        return type(value).__name__, tuple(describe(item) for item in value)
    return value


def describe_error(error):
    text = str(error)
    if isinstance(error, OSError):
        return (type(error).__name__, error.errno, error.strerror, str(error.filename), str(error.filename2), text)
    return type(error).__name__, text


class Comparison:
    def __init__(self):
        self.mismatches = []
        self.checked = 0

    def note(self, label, expected, got):
        self.checked += 1
        if expected != got:
            self.mismatches.append(f"{label}: expected {expected!r}, got {got!r}")

    async def check(self, label, sync, coroutine, shape=describe, errors=describe_error):
        try:
            expected = ("value", shape(sync()))
        except Exception as error:
            expected = ("error", errors(error))
        try:
            got = ("value", shape(await coroutine()))
        except Exception as error:
            got = ("error", errors(error))
        self.note(label, expected, got)


# ---------------------------------------------------------------- the tree

RAW_NAME = b"raw-\xff\xfe.bin"


def make_tree(root):
    """Every kind of entry; the unreadable ones last, once their contents exist."""
    os.makedirs(os.path.join(root, "sub", "deeper", "deepest"))
    files = {
        "alpha.txt": b"alpha\n" * 17,
        "beta.bin": bytes(range(256)) * 300,
        "empty": b"",
        "name with spaces.txt": b"spaces",
        "\u00fcn\u00efcode-\u00e9.txt": b"unicode",
        "sub/gamma.py": b"print('gamma')\n",
        "sub/delta.txt": b"delta",
        "sub/.hidden": b"hidden",
        "sub/deeper/epsilon.txt": b"epsilon" * 1000,
        "sub/deeper/zeta.tmp": b"zeta",
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
    with open(os.path.join(os.fsencode(root), RAW_NAME), "wb") as f:
        f.write(b"raw")
    os.utime(os.path.join(root, "sub", "delta.txt"), ns=(1_000_000_123, 2_000_000_456))
    os.chmod(os.path.join(root, "sub", "gamma.py"), 0o751)
    os.link(os.path.join(root, "alpha.txt"), os.path.join(root, "hard"))
    links = {"to-file": "alpha.txt", "to-dir": "sub", "broken": "nowhere", "loop": "loop", "chain": "to-file",
             "abs-link": os.path.join(root, "sub", "gamma.py"), "sub/up-file": "../alpha.txt"}
    for name, target in links.items():
        os.symlink(target, os.path.join(root, name))
    os.mkfifo(os.path.join(root, "fifo"))
    for name in ("locked", "sealed", "blind"):
        os.mkdir(os.path.join(root, name))
    for name in ("locked/secret.txt", "sealed/known.txt", "blind/hidden.txt"):
        with open(os.path.join(root, name), "wb") as f:
            f.write(b"secret")
    os.mkdir(os.path.join(root, "blind", "inner"))
    os.symlink("hidden.txt", os.path.join(root, "blind", "ln"))
    with open(os.path.join(root, "unreadable.txt"), "wb") as f:
        f.write(b"no")
    os.chmod(os.path.join(root, "unreadable.txt"), 0)
    os.chmod(os.path.join(root, "locked"), 0)
    os.chmod(os.path.join(root, "sealed"), 0o300)  # entered, not listed
    os.chmod(os.path.join(root, "blind"), 0o600)  # listed, not entered


PATHS = ["alpha.txt", "beta.bin", "empty", "name with spaces.txt", "\u00fcn\u00efcode-\u00e9.txt",
         os.fsdecode(RAW_NAME), "sub", "sub/gamma.py", "sub/delta.txt", "sub/.hidden", "sub/deeper",
         "sub/deeper/deepest", "sub/up-file", "hard", "to-file", "to-dir", "broken", "loop", "chain", "abs-link",
         "fifo", "locked", "locked/secret.txt", "sealed", "sealed/known.txt", "blind", "blind/hidden.txt",
         "blind/ln", "blind/inner", "unreadable.txt", "missing", "broken/x", "alpha.txt/x", "to-dir/gamma.py",
         "sub/../alpha.txt", ".", "", "/"]
DIRECTORIES = [".", "sub", "sub/deeper", "sub/deeper/deepest", "to-dir", "locked", "sealed", "blind",
               "alpha.txt", "missing", "broken", "loop"]


# ---------------------------------------------------------------- os and os.path


async def compare_status(c):
    for path in PATHS:
        await c.check(f"stat {path!r}", lambda: os.stat(path), lambda: kiln.os.stat(path))
        await c.check(f"lstat {path!r}", lambda: os.lstat(path), lambda: kiln.os.lstat(path))
        await c.check(f"stat nofollow {path!r}", lambda: os.stat(path, follow_symlinks=False),
                      lambda: kiln.os.stat(path, follow_symlinks=False))
        for query in ("exists", "lexists", "isfile", "isdir", "islink", "isjunction", "ismount", "getsize",
                      "getmtime", "getatime", "getctime", "realpath"):
            await c.check(f"os.path.{query} {path!r}", lambda: getattr(os.path, query)(path),
                          lambda: getattr(kiln.os.path, query)(path))
        await c.check(f"realpath strict {path!r}", lambda: os.path.realpath(path, strict=True),
                      lambda: kiln.os.path.realpath(path, strict=True))
        await c.check(f"readlink {path!r}", lambda: os.readlink(path), lambda: kiln.os.readlink(path))
        for mode in (os.F_OK, os.R_OK, os.W_OK, os.X_OK, os.R_OK | os.X_OK):
            await c.check(f"access {path!r} {mode}", lambda: os.access(path, mode),
                          lambda: kiln.os.access(path, mode))
    raw = os.fsencode(PATHS[5])
    await c.check("stat bytes", lambda: os.stat(raw), lambda: kiln.os.stat(raw))
    await c.check("readlink bytes", lambda: os.readlink(b"to-file"), lambda: kiln.os.readlink(b"to-file"))
    await c.check("stat path-like", lambda: os.stat(pathlib.Path("sub")), lambda: kiln.os.stat(kiln.Path("sub")))
    for pair in (("alpha.txt", "hard"), ("alpha.txt", "to-file"), ("alpha.txt", "beta.bin"), ("broken", "alpha.txt"),
                 ("to-dir", "sub"), ("alpha.txt", "missing")):
        await c.check(f"samefile {pair}", lambda: os.path.samefile(*pair), lambda: kiln.os.path.samefile(*pair))


def entry_facts(entry):
    facts = [entry.name, entry.path, os.fspath(entry), repr(entry), entry.inode(), entry.is_symlink(),
             entry.is_junction()]
    for follow in (True, False):
        for test in ("is_dir", "is_file"):
            try:
                facts.append(getattr(entry, test)(follow_symlinks=follow))
            except OSError as error:
                facts.append(describe_error(error))
    return facts


async def entry_facts_kiln(entry):
    facts = entry_facts(entry)
    for follow in (True, False):
        try:
            facts.append(describe(await entry.stat(follow_symlinks=follow)))
        except OSError as error:
            facts.append(describe_error(error))
    return facts


def entry_facts_os(entry):
    facts = entry_facts(entry)
    for follow in (True, False):
        try:
            facts.append(describe(entry.stat(follow_symlinks=follow)))
        except OSError as error:
            facts.append(describe_error(error))
    return facts


async def compare_listings(c):
    for directory in DIRECTORIES:
        await c.check(f"listdir {directory!r}", lambda: os.listdir(directory), lambda: kiln.os.listdir(directory))
        name = os.fsencode(directory)
        await c.check(f"listdir bytes {directory!r}", lambda: os.listdir(name), lambda: kiln.os.listdir(name))

        def scan_os():
            with os.scandir(directory) as entries:
                return [entry_facts_os(entry) for entry in entries]

        async def scan_kiln():
            return [await entry_facts_kiln(entry) async for entry in kiln.os.scandir(directory)]

        await c.check(f"scandir {directory!r}", scan_os, scan_kiln, shape=lambda facts: facts)
        await c.check(f"iterdir {directory!r}", lambda: list(pathlib.Path(directory).iterdir()),
                      lambda: collect(kiln.Path(directory).iterdir()))
    await c.check("listdir default", os.listdir, kiln.os.listdir)


async def collect(iterator):
    return [item async for item in iterator]


def walk_errors(walk):
    errors = []
    found = list(walk(errors.append))
    return found, [describe_error(error) for error in errors]


async def walk_errors_kiln(walk):
    errors = []
    found = [item async for item in walk(errors.append)]
    return found, [describe_error(error) for error in errors]


async def compare_walks(c):
    for top in (".", "sub", b".", "missing", "alpha.txt"):
        for topdown in (True, False):
            for followlinks in (False, True):
                await c.check(f"walk {top!r} {topdown} {followlinks}",
                              lambda: walk_errors(lambda on: os.walk(top, topdown, on, followlinks)),
                              lambda: walk_errors_kiln(lambda on: kiln.os.walk(top, topdown, on, followlinks)))
    for top in (".", "sub", "missing"):
        for top_down in (True, False):
            for follow in (False, True):
                await c.check(f"Path.walk {top!r} {top_down} {follow}",
                              lambda: walk_errors(lambda on: pathlib.Path(top).walk(top_down, on, follow)),
                              lambda: walk_errors_kiln(lambda on: kiln.Path(top).walk(top_down, on, follow)))

    # Pruning top down, as os.walk documents it.
    def pruned_os():
        found = []
        for top, dirs, files in os.walk("."):
            dirs[:] = [d for d in dirs if d != "deeper"]
            found.append((top, sorted(dirs), files))
        return found

    async def pruned_kiln():
        found = []
        async for top, dirs, files in kiln.os.walk("."):
            dirs[:] = [d for d in dirs if d != "deeper"]
            found.append((top, sorted(dirs), files))
        return found

    await c.check("walk pruned", pruned_os, pruned_kiln)


PATTERNS = ["*", "*.txt", "**", "**/*", "**/", "*/", "sub/**", "sub/**/*.txt", "s*/d*", "[a-c]*", "**/*.tmp",
            "sub/../*", "missing/*", "alpha.txt", "sub", ".hidden", "sub/.hidden", "**/.hidden", "*/*/*",
            "**/deep*/**", "to-dir/*", "blind/*", "sealed/*", "sealed/known.txt", "**/**/*.py", "sub/deeper/"]


async def compare_paths(c):
    for path in PATHS:
        sync, aio = pathlib.Path(path), kiln.Path(path)
        for query in ("exists", "is_dir", "is_file", "is_symlink", "is_fifo", "is_socket", "is_block_device",
                      "is_char_device", "is_mount", "is_junction", "stat", "lstat", "owner", "group", "absolute",
                      "readlink", "resolve", "expanduser"):
            await c.check(f"Path.{query} {path!r}", getattr(sync, query), getattr(aio, query))
        await c.check(f"Path.resolve strict {path!r}", lambda: sync.resolve(strict=True),
                      lambda: aio.resolve(strict=True))
        await c.check(f"Path.exists nofollow {path!r}", lambda: sync.exists(follow_symlinks=False),
                      lambda: aio.exists(follow_symlinks=False))
        await c.check(f"Path.samefile {path!r}", lambda: sync.samefile("alpha.txt"),
                      lambda: aio.samefile("alpha.txt"))
        if path != "fifo":  # a FIFO without a writer is read for ever
            await c.check(f"Path.read_bytes {path!r}", sync.read_bytes, aio.read_bytes)
    await c.check("Path.cwd", pathlib.Path.cwd, kiln.Path.cwd)
    await c.check("Path.home", pathlib.Path.home, kiln.Path.home)
    for base in (".", os.getcwd(), "sub"):
        for pattern in PATTERNS + (["ALPHA*"] if base == "." else []):
            await c.check(f"glob {base!r} {pattern!r}", lambda: list(pathlib.Path(base).glob(pattern)),
                          lambda: collect(kiln.Path(base).glob(pattern)))
        for pattern in ("*.txt", "*", "", "deep*", "*/"):
            await c.check(f"rglob {base!r} {pattern!r}", lambda: list(pathlib.Path(base).rglob(pattern)),
                          lambda: collect(kiln.Path(base).rglob(pattern)))
    await c.check("glob case-insensitive", lambda: list(pathlib.Path(".").glob("ALPHA*", case_sensitive=False)),
                  lambda: collect(kiln.Path(".").glob("ALPHA*", case_sensitive=False)))
    # The message names the path's class: the exception's type only.
    await c.check("glob empty", lambda: list(pathlib.Path(".").glob("")), lambda: collect(kiln.Path(".").glob("")),
                  shape=lambda value: value, errors=lambda error: type(error).__name__)
    if NEW_GLOB:
        for pattern in ("**/*.py", "**", "to-dir/**/*.txt"):
            await c.check(f"glob following {pattern!r}",
                          lambda: list(pathlib.Path(".").glob(pattern, recurse_symlinks=True)),
                          lambda: collect(kiln.Path(".").glob(pattern, recurse_symlinks=True)))


# ---------------------------------------------------------------- shutil


def snapshot(top, times=True):
    """What a tree holds, for comparing copies: names, kinds, bits, sizes, contents, links, and
    (with ``times``) modification times."""
    if not os.path.lexists(top):
        return None
    found = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            relative = os.path.relpath(path, top)
            try:
                info = os.lstat(path)
            except OSError as error:
                found[relative] = describe_error(error)[:2]
                continue
            fact = [stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode)]
            if stat.S_ISLNK(info.st_mode):
                fact.append(os.readlink(path))
            elif stat.S_ISREG(info.st_mode):
                fact += [info.st_size, info.st_mtime_ns if times else None]
                try:
                    with open(path, "rb") as f:
                        fact.append(hashlib.sha256(f.read()).hexdigest())
                except OSError as error:
                    fact.append(describe_error(error)[:2])
            else:
                fact.append(info.st_mtime_ns if times else None)
            found[relative] = fact
    return found


def shutil_outcome(action, *outs, times=True):
    """The tree each action left and what it raised."""
    try:
        action()
        result = ("ok",)
    except shutil.Error as error:
        result = ("Error", sorted(tuple(str(part) for part in item) for item in error.args[0]))
    except Exception as error:
        result = ("error", describe_error(error))
    return result, [snapshot(out, times) for out in outs]


async def shutil_outcome_kiln(action, *outs, times=True):
    try:
        await action()
        result = ("ok",)
    except shutil.Error as error:
        result = ("Error", sorted(tuple(str(part) for part in item) for item in error.args[0]))
    except Exception as error:
        result = ("error", describe_error(error))
    return result, [snapshot(out, times) for out in outs]


def alike(outcome, mine, theirs):
    return repr(outcome).replace(mine, "OUT").replace(theirs, "OUT")


class Outputs:
    """A fresh pair of output names per question: one for the library, one for kiln."""

    numbers = itertools.count(1)

    def __init__(self, base):
        self.base = base
        for side in ("lib", "kiln"):
            os.makedirs(os.path.join(base, side), exist_ok=True)

    def pair(self):
        number = str(next(self.numbers))
        return os.path.join(self.base, "lib", number), os.path.join(self.base, "kiln", number)


async def compare_copies(c, outputs):
    async def same(label, sync_action, kiln_action, prepare=None, times=True):
        mine, theirs = outputs.pair()
        if prepare:
            prepare(mine)
            prepare(theirs)
        expected = shutil_outcome(lambda: sync_action(mine), mine, times=times)
        got = await shutil_outcome_kiln(lambda: kiln_action(theirs), theirs, times=times)
        c.note(label, alike(expected, mine, "OUT"), alike(got, theirs, "OUT"))

    root = os.getcwd()
    for symlinks in (False, True):
        for ignore in (None, shutil.ignore_patterns("*.tmp", ".hidden")):
            for dangling in (False, True):
                await same(f"copytree symlinks={symlinks} ignore={ignore is not None} dangling={dangling}",
                           lambda out: shutil.copytree(root, out, symlinks, ignore,
                                                       ignore_dangling_symlinks=dangling),
                           lambda out: kiln.shutil.copytree(root, out, symlinks, ignore,
                                                            ignore_dangling_symlinks=dangling))
    await same("copytree sub", lambda out: shutil.copytree("sub", out), lambda out: kiln.shutil.copytree("sub", out))
    await same("copytree into existing", lambda out: shutil.copytree("sub", out),
               lambda out: kiln.shutil.copytree("sub", out), prepare=os.mkdir)
    await same("copytree dirs_exist_ok", lambda out: shutil.copytree("sub", out, dirs_exist_ok=True),
               lambda out: kiln.shutil.copytree("sub", out, dirs_exist_ok=True), prepare=os.mkdir)
    # shutil.copy leaves the copies' times at the time of copying.
    await same("copytree copy", lambda out: shutil.copytree("sub", out, copy_function=shutil.copy),
               lambda out: kiln.shutil.copytree("sub", out, copy_function=kiln.shutil.copy), times=False)
    await same("copytree of a file", lambda out: shutil.copytree("alpha.txt", out),
               lambda out: kiln.shutil.copytree("alpha.txt", out))
    for function in ("copyfile", "copy", "copy2"):
        for source in ("alpha.txt", "sub/gamma.py", "sub/delta.txt", "to-file", "broken", "loop", "sub", "missing",
                       "fifo", "unreadable.txt", "empty", "beta.bin"):
            for follow in (True, False):
                await same(f"{function} {source} follow={follow}",
                           lambda out: getattr(shutil, function)(source, out, follow_symlinks=follow),
                           lambda out: getattr(kiln.shutil, function)(source, out, follow_symlinks=follow),
                           times=function == "copy2")
        await same(f"{function} into a directory", lambda out: getattr(shutil, function)("alpha.txt", out),
                   lambda out: getattr(kiln.shutil, function)("alpha.txt", out), prepare=os.mkdir, times=False)
        await same(f"{function} to a missing directory",
                   lambda out: getattr(shutil, function)("alpha.txt", out + "/"),
                   lambda out: getattr(kiln.shutil, function)("alpha.txt", out + "/"))
        await c.check(f"{function} onto itself", lambda: getattr(shutil, function)("alpha.txt", "hard"),
                      lambda: getattr(kiln.shutil, function)("alpha.txt", "hard"))
    for function in ("copymode", "copystat"):
        for source in ("sub/gamma.py", "sub/delta.txt", "to-file", "missing"):
            def prepare(out):
                with open(out, "wb"):
                    pass
            await same(f"{function} {source}",
                       lambda out: getattr(shutil, function)(source, out),
                       lambda out: getattr(kiln.shutil, function)(source, out), prepare=prepare,
                       times=function == "copystat")


async def compare_removal(c, outputs):
    makers = {"tree": make_tree, "link": lambda out: os.symlink(os.path.abspath("sub"), out),
              "file": lambda out: shutil.copy("alpha.txt", out), "missing": lambda out: None}
    for name, make in makers.items():
        mine, theirs = outputs.pair()
        make(mine)
        make(theirs)
        for ignore_errors in (False,) if name == "tree" else (False, True):
            failures = {"lib": [], "kiln": []}

            def collecting(side, top):
                def onexc(function, path, error):
                    failures[side].append((os.path.relpath(path, top), type(error).__name__, error.errno))
                return onexc

            # The trees were made at different times: their times differ.
            expected = shutil_outcome(lambda: shutil.rmtree(mine, ignore_errors, onexc=collecting("lib", mine)),
                                      mine, times=False)
            got = await shutil_outcome_kiln(
                lambda: kiln.shutil.rmtree(theirs, ignore_errors, onexc=collecting("kiln", theirs)), theirs,
                times=False)
            c.note(f"rmtree {name} ignore_errors={ignore_errors}", alike(expected, mine, "OUT"),
                   alike(got, theirs, "OUT"))
            c.note(f"rmtree {name} failures", sorted(failures["lib"]), sorted(failures["kiln"]))
        for out in (mine, theirs):
            if os.path.islink(out):
                os.unlink(out)
    # The first failure is raised; which one comes first is the order of the work.
    mine, theirs = outputs.pair()
    make_tree(mine)
    make_tree(theirs)
    expected = shutil_outcome(lambda: shutil.rmtree(mine), mine)[0]
    got = (await shutil_outcome_kiln(lambda: kiln.shutil.rmtree(theirs), theirs))[0]
    c.note("rmtree raising", (expected[0], expected[1][:2]), (got[0], got[1][:2]))


async def compare_moves(c, outputs):
    def file_at(path):
        with open(path, "wb") as f:
            f.write(b"moved")

    cases = {
        "file": (file_at, None),
        "file into directory": (file_at, os.mkdir),
        "tree": (lambda p: shutil.copytree("sub", p, symlinks=True), None),
        "link": (lambda p: os.symlink("alpha.txt", p), None),
    }
    for label, (make_source, make_target) in cases.items():
        (src_lib, src_kiln), (dst_lib, dst_kiln) = outputs.pair(), outputs.pair()
        make_source(src_lib)
        make_source(src_kiln)
        if make_target:
            make_target(dst_lib)
            make_target(dst_kiln)
        expected = shutil_outcome(lambda: shutil.move(src_lib, dst_lib), src_lib, dst_lib, times=False)
        got = await shutil_outcome_kiln(lambda: kiln.shutil.move(src_kiln, dst_kiln), src_kiln, dst_kiln,
                                        times=False)
        c.note(f"move {label}", alike(alike(expected, src_lib, "SRC"), dst_lib, "DST"),
               alike(alike(got, src_kiln, "SRC"), dst_kiln, "DST"))


# ---------------------------------------------------------------- tempfile


def temp_shape(path, directory, prefix, suffix):
    name = os.path.basename(path)
    pattern = re.escape(prefix) + "[a-z0-9_]{8}" + re.escape(suffix)
    return (os.path.isabs(path), os.path.dirname(path) == os.path.abspath(directory), bool(re.fullmatch(pattern, name)),
            stat.S_IMODE(os.lstat(path).st_mode), stat.S_IFMT(os.lstat(path).st_mode))


async def compare_temporaries(c, outputs):
    directory = outputs.base
    for prefix, suffix in (("pre-", ".suf"), ("", ""), (None, None)):
        fd, name = tempfile.mkstemp(suffix, prefix, directory)
        os.close(fd)
        file, kiln_name = await kiln.tempfile.mkstemp(suffix, prefix, directory)
        await file.close()
        shown = (prefix if prefix is not None else tempfile.template, suffix or "")
        c.note(f"mkstemp {prefix}", temp_shape(name, directory, *shown), temp_shape(kiln_name, directory, *shown))
        made = tempfile.mkdtemp(suffix, prefix, directory)
        kiln_made = await kiln.tempfile.mkdtemp(suffix, prefix, directory)
        c.note(f"mkdtemp {prefix}", temp_shape(made, directory, *shown), temp_shape(kiln_made, directory, *shown))
    await c.check("mkdtemp mixed types", lambda: tempfile.mkdtemp(b"x", "y"),
                  lambda: kiln.tempfile.mkdtemp(b"x", "y"))
    # The failure names the random file name tried: type and errno only.
    missing = os.path.join(directory, "no")
    try:
        tempfile.mkstemp(dir=missing)
    except OSError as error:
        expected = (type(error).__name__, error.errno)
    try:
        await kiln.tempfile.mkstemp(dir=missing)
    except OSError as error:
        got = (type(error).__name__, error.errno)
    c.note("mkstemp in a missing directory", expected, got)

    for delete in (True, False):
        for delete_on_close in (True, False):
            seen = []
            with tempfile.NamedTemporaryFile(dir=directory, delete=delete, delete_on_close=delete_on_close) as f:
                f.write(b"x")
                f.close()
                seen.append(os.path.exists(f.name))
            seen.append(os.path.exists(f.name))
            mine = []
            async with kiln.tempfile.NamedTemporaryFile(dir=directory, delete=delete,
                                                        delete_on_close=delete_on_close) as k:
                await k.write(b"x")
                await k.close()
                mine.append(os.path.exists(k.name))
            mine.append(os.path.exists(k.name))
            c.note(f"NamedTemporaryFile delete={delete} on_close={delete_on_close}", seen, mine)

    before = sorted(os.listdir(directory))
    with tempfile.TemporaryFile(dir=directory) as f:
        f.write(b"gone")
        during = sorted(os.listdir(directory))
    async with kiln.tempfile.TemporaryFile(dir=directory) as k:
        await k.write(b"gone")
        await k.seek(0)
        kiln_during = sorted(os.listdir(directory))
        c.note("TemporaryFile reads back", b"gone", await k.read())
    c.note("TemporaryFile leaves no name", (before, before), (during, kiln_during))

    for delete in (True, False):
        with tempfile.TemporaryDirectory(dir=directory, delete=delete) as made:
            make_tree(os.path.join(made, "t"))
        async with kiln.tempfile.TemporaryDirectory(dir=directory, delete=delete) as kiln_made:
            make_tree(os.path.join(kiln_made, "t"))
        c.note(f"TemporaryDirectory delete={delete}", os.path.exists(made), os.path.exists(kiln_made))


async def compare(base):
    """Builds the tree under ``base`` and compares; (mismatches, questions asked)."""
    root = os.path.join(base, "tree")
    outputs = os.path.join(base, "out")
    os.mkdir(outputs)
    make_tree(root)
    os.chdir(root)
    c = Comparison()
    await compare_status(c)
    await compare_listings(c)
    await compare_walks(c)
    await compare_paths(c)
    await compare_copies(c, Outputs(outputs))
    await compare_removal(c, Outputs(outputs))
    await compare_moves(c, Outputs(outputs))
    await compare_temporaries(c, Outputs(outputs))
    return c.mismatches, c.checked
