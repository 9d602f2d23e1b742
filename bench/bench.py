#!/usr/bin/env python3
"""Benchmark of orvel against the floor program and its peers.

    python3 bench/bench.py --data DIR [--size full|tiny] [--runs N] [--cold]
                           [--also NAME=BINARY ...]
    python3 bench/bench.py --data DIR --share DELAY_MS [--first-local]
                           [--wine EXE] [--size full|tiny] [--runs N]

Generates the workloads deterministically from --seed under DIR (reused on
the next run when the parameters match), builds build/orvel and the
benchmark's helpers, checks that every program reports exactly the planted
differences, then times every command in alternating rounds, warm-cache or,
with --cold, with the page cache dropped before each run, and prints one
table of median wall times, ratios and peak memory. --also times other builds
of orvel (another commit's) in the same rounds; cmp is timed on trees of few
files (large, early), one process per pair.

Workloads (full size):
  small  20,000 files of 0 to 64 KiB (log-uniform), 50 per directory; the
         second tree is an exact copy.
  large  6 files of 256 MiB of random data; exact copy.
  mixed  about 14,000 files / 270 MiB copied from real trees of this machine
         (/usr/include, /usr/share/doc, ...); in the second tree 1% of the
         files differ in one byte and 1% in size by one byte.
  early  6 files of 256 MiB whose copies differ in the first byte.
  differ the files of small, each copy different in its first byte (an
         empty file's copy one byte long): one line of output per file.

With --share (root only), both trees (with --first-local the second only)
are read through bench-share, a FUSE passthrough that waits DELAY_MS on
every lookup, attribute, open and read request, as a network share does; it
is mounted afresh, with the page cache dropped, before every run. The
commands are orvel, rsync and diff, with --wine EXE also the Windows program
under Wine, and the bound: 32 threads reading every file of both trees.
Share workloads (full size; also usable locally):
  share-small  3,000 files of 2 to 100 KiB (log-uniform), 50 per directory;
               in the second tree 1% differ in one byte, 1% in size.
  share-mixed  1,500 such files and six of 4 to 32 MiB, the last of which
               differs in its last byte; 1% of the small ones as above.
"""
import argparse
import hashlib
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
FORMAT_VERSION = 1

SIZES = {
    "full": dict(small_files=20000, small_max=64 * 1024, per_dir=50,
                 large_files=6, large_size=256 * MIB,
                 mixed_files=14000, mixed_bytes=270 * MIB,
                 early_files=6, early_size=256 * MIB),
    "tiny": dict(small_files=400, small_max=64 * 1024, per_dir=50,
                 large_files=2, large_size=4 * MIB,
                 mixed_files=300, mixed_bytes=6 * MIB,
                 early_files=2, early_size=4 * MIB),
}

# The workloads that a share serves in reasonable time.
SHARE_SIZES = {
    "full": dict(small_files=3000, mixed_small=1500, min=2 * 1024,
                 max=100 * 1024, per_dir=50, large_files=6,
                 large_min=4 * MIB, large_max=32 * MIB),
    "tiny": dict(small_files=200, mixed_small=100, min=2 * 1024,
                 max=100 * 1024, per_dir=50, large_files=2,
                 large_min=1 * MIB, large_max=2 * MIB),
}
READERS = 32  # threads of the share's bound

# Taken in this order until the file count or the byte total is reached:
# headers and documents are many small files, the libraries some large ones.
MIXED_SOURCES = ["/usr/include", "/usr/share/doc", "/usr/lib",
                 "/usr/share/man", "/usr/share/locale"]
WORKLOADS = ["small", "large", "mixed", "early", "differ"]
SHARE_WORKLOADS = ["share-small", "share-mixed"]


# ---- Workload generation -----------------------------------------------------

def random_bytes(seed, name, size):
    """Deterministic pseudo-random content for one file."""
    return hashlib.shake_128(f"{seed}:{name}".encode()).digest(size)


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def write_random_file(path, seed, name, size):
    """Writes size pseudo-random bytes in chunks, to bound memory."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    chunk = 64 * MIB
    with open(path, "wb") as f:
        for i, off in enumerate(range(0, size, chunk)):
            f.write(random_bytes(seed, f"{name}#{i}", min(chunk, size - off)))


def gen_small(root, p, seed, differ=False):
    rng = random.Random(f"{seed}:small")
    expected = []
    n, per_dir = p["small_files"], p["per_dir"]
    leaves = (n + per_dir - 1) // per_dir
    top = max(1, int(leaves ** 0.5))
    for i in range(n):
        leaf = i // per_dir
        rel = f"d{leaf % top:03d}/e{leaf // top:03d}/f{i:05d}.bin"
        # Log-uniform over 0 .. small_max bytes.
        size = int(round((p["small_max"] + 1) ** rng.random())) - 1
        data = random_bytes(seed, rel, size)
        write_file(os.path.join(root, "a", rel), data)
        if differ:
            data = bytes([data[0] ^ 0xFF]) + data[1:] if data else b"\n"
            expected.append(("content" if size else "size", rel))
        write_file(os.path.join(root, "b", rel), data)
    return sorted(expected)


def gen_large(root, p, seed, flip_first=False, link_from=None):
    expected = []
    for i in range(p["large_files" if not flip_first else "early_files"]):
        rel = f"big{i}.img"
        size = p["large_size"] if not flip_first else p["early_size"]
        a = os.path.join(root, "a", rel)
        b = os.path.join(root, "b", rel)
        os.makedirs(os.path.dirname(a), exist_ok=True)
        src = os.path.join(link_from, "a", rel) if link_from else None
        if src and os.path.isfile(src) and os.path.getsize(src) == size:
            os.link(src, a)  # same content as large's first tree, no space
        else:
            write_random_file(a, seed, rel, size)
        os.makedirs(os.path.dirname(b), exist_ok=True)
        shutil.copyfile(a, b)
        if flip_first:
            with open(b, "r+b") as f:
                first = f.read(1)
                f.seek(0)
                f.write(bytes([first[0] ^ 0xFF]))
            expected.append(("content", rel))
    return expected


def real_files(limit_files, limit_bytes):
    """Regular files of the machine's own trees, in a fixed order."""
    picked, total, seen = [], 0, set()
    for src in MIXED_SOURCES:
        if not os.path.isdir(src):
            continue
        for dirpath, dirnames, filenames in os.walk(src):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                if (not (st.st_mode & 0o170000 == 0o100000) or
                        st.st_size > 16 * MIB or (st.st_dev, st.st_ino) in seen
                        or not os.access(path, os.R_OK)):
                    continue
                seen.add((st.st_dev, st.st_ino))
                picked.append((path, st.st_size))
                total += st.st_size
                if len(picked) >= limit_files or total >= limit_bytes:
                    return picked
    return picked


def gen_mixed(root, p, seed):
    files = real_files(p["mixed_files"], p["mixed_bytes"])
    rels = []
    for path, _ in files:
        rel = path.lstrip("/")
        for side in ("a", "b"):
            dst = os.path.join(root, side, rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copyfile(path, dst)
        rels.append(rel)
    rng = random.Random(f"{seed}:mixed")
    eligible = [r for r, (_, size) in zip(rels, files) if size >= 2]
    return plant(root, eligible, max(1, round(len(rels) / 100)), rng)


def plant(root, eligible, k, rng):
    """Changes one byte in k files of the second tree and the size of k
    others by one byte; returns the differences planted."""
    chosen = rng.sample(eligible, 2 * k)
    expected = []
    for rel in chosen[:k]:  # one byte changed
        path = os.path.join(root, "b", rel)
        with open(path, "r+b") as f:
            size = os.fstat(f.fileno()).st_size
            pos = rng.randrange(size)
            f.seek(pos)
            byte = f.read(1)[0]
            f.seek(pos)
            f.write(bytes([(byte + 1) & 0xFF]))
        expected.append(("content", rel))
    for rel in chosen[k:]:  # one byte more or one byte less
        path = os.path.join(root, "b", rel)
        if rng.random() < 0.5:
            os.truncate(path, os.path.getsize(path) - 1)
        else:
            with open(path, "ab") as f:
                f.write(b"\n")
        expected.append(("size", rel))
    return sorted(expected)


def gen_share(root, p, seed, mixed):
    """share-small, or with mixed share-mixed (see the top of this file)."""
    rng = random.Random(f"{seed}:share")
    n, per_dir = p["mixed_small" if mixed else "small_files"], p["per_dir"]
    leaves = (n + per_dir - 1) // per_dir
    top = max(1, int(leaves ** 0.5))
    rels = []
    for i in range(n):
        leaf = i // per_dir
        rel = f"d{leaf % top:03d}/e{leaf // top:03d}/f{i:05d}.bin"
        size = int(p["min"] * (p["max"] / p["min"]) ** rng.random())
        data = random_bytes(seed, rel, size)
        for side in ("a", "b"):
            write_file(os.path.join(root, side, rel), data)
        rels.append(rel)
    expected = plant(root, rels, max(1, round(n / 100)), rng)
    for i in range(p["large_files"] if mixed else 0):
        rel = f"large/big{i}.img"
        size = int(p["large_min"] *
                   (p["large_max"] / p["large_min"]) ** rng.random())
        a, b = os.path.join(root, "a", rel), os.path.join(root, "b", rel)
        write_random_file(a, seed, rel, size)
        os.makedirs(os.path.dirname(b), exist_ok=True)
        shutil.copyfile(a, b)
    if mixed and p["large_files"]:  # the last large file, in its last byte
        with open(b, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 0xFF]))
        expected.append(("content", rel))
    return sorted(expected)


def generate(data, size, seed, names):
    for name in names:
        p = (SHARE_SIZES if name in SHARE_WORKLOADS else SIZES)[size]
        root = os.path.join(data, name)
        stamp_path = os.path.join(root, "stamp.json")
        stamp = dict(version=FORMAT_VERSION, size=size, seed=seed, params=p,
                     sources=MIXED_SOURCES if name == "mixed" else None)
        try:
            with open(stamp_path) as f:
                if json.load(f) == stamp:
                    continue
        except (OSError, ValueError):
            pass
        if os.path.exists(root):
            shutil.rmtree(root)
        os.makedirs(root)
        t0 = time.time()
        print(f"generating {name} in {root} ...", file=sys.stderr, flush=True)
        if name == "small":
            expected = gen_small(root, p, seed)
        elif name == "large":
            expected = gen_large(root, p, seed)
        elif name == "mixed":
            expected = gen_mixed(root, p, seed)
        elif name == "differ":
            expected = gen_small(root, p, seed, differ=True)
        elif name in SHARE_WORKLOADS:
            expected = gen_share(root, p, seed, name == "share-mixed")
        else:
            large = os.path.join(data, "large")
            expected = gen_large(root, p, seed, flip_first=True,
                                 link_from=large if p["large_size"] ==
                                 p["early_size"] else None)
        with open(os.path.join(root, "expected.json"), "w") as f:
            json.dump(expected, f)
        with open(stamp_path, "w") as f:
            json.dump(stamp, f)
        print(f"  done in {time.time() - t0:.1f} s", file=sys.stderr)


def tree_stats(tree):
    files = total = 0
    for dirpath, _, filenames in os.walk(tree):
        for name in filenames:
            files += 1
            total += os.path.getsize(os.path.join(dirpath, name))
    return files, total


# ---- Commands and their verification -------------------------------------

# cmp compares one pair per process: it is timed on trees of few files only,
# where starting it costs nothing beside the reading.
CMP_MAX_FILES = 100


def commands(orvel, floor, a, b, nfiles, others=()):
    cmds = {"orvel": [orvel, a, b]}
    for name, binary in others:
        cmds[f"orvel {name}"] = [binary, a, b]
    cmds.update({
        "floor": [floor, a, b],
        "floor --first-only": [floor, "--first-only", a],
        "diff -rq": ["diff", "-rq", a, b],
        "rsync -rcn": ["rsync", "-rcn", "--out-format=%n", a + "/", b + "/"],
    })
    if nfiles <= CMP_MAX_FILES:
        # Each pair of the first tree, in the order find gives them.
        cmds["cmp"] = ["sh", "-c", 'cd "$1" && find . -type f -print0 | '
                       'xargs -0 -I{} cmp -- "$1/{}" "$2/{}"; exit 0',
                       "cmp", a, b]
    return cmds


def share_commands(orvel, readers, exe, a, b, others=()):
    """The commands timed on a share; exe, the Windows program, or None."""
    cmds = {"orvel": [orvel, a, b]}
    for name, binary in others:
        cmds[f"orvel {name}"] = [binary, a, b]
    if exe:
        cmds["orvel.exe (Wine)"] = ["wine", exe, win_path(a), win_path(b)]
    cmds["diff -rq"] = ["diff", "-rq", a, b]
    cmds["rsync -rcn"] = ["rsync", "-rcn", "--out-format=%n", a + "/", b + "/"]
    cmds["bound"] = [readers, "--threads", str(READERS), a, b]
    return cmds


def win_path(path):
    """The name a Windows program under Wine knows a path by: Z: is /."""
    return "Z:" + path.replace("/", "\\")


def parse_orvel(out, err, rc, a, b, nfiles, win=False):
    """The Windows program (win) ends its lines with CR LF and names files
    by Windows paths; the relative paths found are given with "/"."""
    text, sep = out.decode("utf-8", "surrogateescape"), "/"
    problems, found = [], set()
    if win:
        if text.count("\n") != text.count("\r\n"):
            problems.append("a line not ended by CR LF")
        text, a, b, sep = text.replace("\r\n", "\n"), win_path(a), \
            win_path(b), "\\"
    lines = text.split("\n")
    if rc != 0:
        problems.append(f"exit status {rc}")
    if lines[-1] != "" or lines[-2] != f"{nfiles} files compared.":
        problems.append(f"summary line {lines[-2]!r}, want {nfiles}")
    for line in lines[3:-2]:
        for tail, kind in ((": Differences encountered.", "content"),
                           (": Files have different sizes.", "size")):
            head = f"{a}{sep}"
            if line.endswith(tail) and line.startswith(head):
                rel = line[len(head):-len(tail)].split(f", {b}{sep}")[0]
                found.add((kind, rel.replace(sep, "/")))
                break
        else:
            problems.append(f"unexpected line {line!r}")
    want = "".join(f"Comparing file {i}.\r" for i in range(1, nfiles + 1))
    if err.decode() != want:
        problems.append("progress lines are not 1..N in order")
    return found, problems


def parse_floor(out, err, rc, nfiles):
    lines = out.decode("utf-8", "surrogateescape").splitlines()
    problems, found = [], set()
    if rc != 0:
        problems.append(f"exit status {rc}")
    if not lines or lines[-1] != f"{nfiles} files":
        problems.append(f"count line {lines[-1:]}, want {nfiles}")
    for line in lines[:-1]:
        kind, _, rel = line.partition(" ")
        if kind in ("content", "size"):
            found.add((kind, rel))
        else:
            problems.append(f"unexpected line {line!r}")
    return found, problems


def parse_diff(out, rc, a, b, expected):
    problems, found = [], set()
    if rc != (1 if expected else 0):
        problems.append(f"exit status {rc}")
    kinds = dict((rel, kind) for kind, rel in expected)
    for line in out.decode("utf-8", "surrogateescape").splitlines():
        head, tail = f"Files {a}/", " differ"
        if line.startswith(head) and line.endswith(tail):
            rel = line[len(head):-len(tail)].split(f" and {b}/")[0]
            found.add((kinds.get(rel, "?"), rel))  # diff -q names no kind
        else:
            problems.append(f"unexpected line {line!r}")
    return found, problems


def parse_cmp(out, a, b):
    problems, found = [], set()
    for line in out.decode("utf-8", "surrogateescape").splitlines():
        head = f"{a}/./"
        if line.startswith(head) and " differ: " in line:
            found.add(("content", line[len(head):].split(f" {b}/./")[0]))
        elif line.startswith(f"cmp: EOF on {head}"):
            found.add(("size", line[len(f"cmp: EOF on {head}"):].split()[0]))
        elif line.startswith(f"cmp: EOF on {b}/./"):
            found.add(("size", line[len(f"cmp: EOF on {b}/./"):].split()[0]))
        else:
            problems.append(f"unexpected line {line!r}")
    return found, problems


def parse_rsync(out, rc, expected):
    problems, found = [], set()
    if rc != 0:
        problems.append(f"exit status {rc}")
    kinds = dict((rel, kind) for kind, rel in expected)
    for line in out.decode("utf-8", "surrogateescape").splitlines():
        if line.endswith("/"):
            continue  # a directory rsync would only touch up
        found.add((kinds.get(line, "?"), line))
    return found, problems


def parse_bound(out, rc, files, nbytes):
    """The bound names no difference: it must have read every file of both
    trees, every byte of them, without an error."""
    lines = out.decode("utf-8", "surrogateescape").splitlines()
    problems = [] if rc == 0 else [f"exit status {rc}"]
    if lines != [f"{files} files {nbytes} bytes"]:
        problems.append(f"output {lines[:3]}, want {files} files {nbytes} "
                        "bytes")
    return set(), problems


def verify(cmds, a, b, expected, nfiles, both):
    """Runs every command once and checks its report; both is the count of
    files and of bytes of the two trees together."""
    want = set(tuple(e) for e in expected)
    ok = True
    for name, argv in cmds.items():
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        target = want
        if name.startswith("orvel"):
            found, problems = parse_orvel(r.stdout, r.stderr, r.returncode,
                                          a, b, nfiles,
                                          win=name == "orvel.exe (Wine)")
        elif name == "floor --first-only":
            found, problems = parse_floor(r.stdout, r.stderr, r.returncode,
                                          nfiles)
            target = set()
        elif name == "floor":
            found, problems = parse_floor(r.stdout, r.stderr, r.returncode,
                                          nfiles)
        elif name == "diff -rq":
            found, problems = parse_diff(r.stdout, r.returncode, a, b,
                                         expected)
        elif name == "cmp":
            found, problems = parse_cmp(r.stdout + r.stderr, a, b)
        elif name == "rsync -rcn":
            found, problems = parse_rsync(r.stdout, r.returncode, expected)
        else:
            found, problems = parse_bound(r.stdout, r.returncode, *both)
            target = set()
        if found != target:
            missing, extra = target - found, found - target
            problems.append(f"missing {sorted(missing)[:3]} ({len(missing)}),"
                            f" extra {sorted(extra)[:3]} ({len(extra)})")
        if problems:
            ok = False
            print(f"  {name}: WRONG: " + "; ".join(problems[:4]),
                  file=sys.stderr)
    return ok


# ---- The share and Wine -----------------------------------------------------

class Share:
    """bench-share serving the directory source at mountpoint."""

    def __init__(self, program, source, mountpoint, delay_ms):
        self.argv = [program, "--delay-us", str(round(delay_ms * 1000)),
                     source, mountpoint]
        self.mountpoint = mountpoint
        self.proc = None
        # A share left mounted by a run that was killed.
        subprocess.run(["umount", "-l", mountpoint], stderr=subprocess.DEVNULL)

    def stop(self):
        if self.proc is None:
            return
        # A share still in use is detached instead, when bench-share ends.
        if subprocess.run(["umount", self.mountpoint]).returncode != 0:
            self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc = None

    def remount(self):
        """Unmounts, drops the page cache, mounts again: a cold share (and
        a cold first tree, where that one is local)."""
        self.stop()
        drop_caches()
        self.proc = subprocess.Popen(self.argv, stdout=subprocess.PIPE)
        if self.proc.stdout.readline() != b"mounted\n":
            self.proc.wait()
            self.proc = None
            sys.exit("bench-share could not mount the share")


def wine_up(data):
    """Makes the Wine prefix under data on first use (half a minute), then
    keeps one wineserver up, so that no run pays for starting Wine."""
    prefix = os.path.join(data, "wine")
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        print(f"making the Wine prefix {prefix} ...", file=sys.stderr)
        os.makedirs(prefix, exist_ok=True)
        # No Mono or Gecko: their installers would ask.
        subprocess.run(["wineboot", "--init"], check=True, **quiet,
                       env=dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml="))
        subprocess.run(["wineserver", "-w"], check=True)
    subprocess.run(["wineserver", "-k"], **quiet)
    subprocess.run(["wineserver", "-w"])
    subprocess.run(["wineserver", "-p"], check=True, **quiet)
    subprocess.run(["wine", "cmd", "/c", "exit", "0"], check=True, **quiet)


def wine_down():
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)


# ---- Timing ---------------------------------------------------------------

def drop_caches():
    """Writes out dirty pages and drops the page cache, dentries and inodes,
    so that the next run reads both trees from the disk."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def run_once(spawn, argv):
    """Wall seconds and peak resident set (KiB) of one run, output dropped."""
    r = subprocess.run([spawn] + argv, stdout=subprocess.PIPE, check=True)
    wall, peak, _ = r.stdout.split()
    return float(wall), int(peak)


class Cache:
    """Whether a workload's trees are in the page cache, judged by a fixed
    sample of their files (fincore), and reading them in again. On a machine
    shared with others, who may drop the page cache at any time, a warm run
    is timed only on cached trees, and one after which they are not cached
    is run again (up to four times)."""

    def __init__(self, trees):
        self.files = []
        for tree in trees:
            for dirpath, _, filenames in os.walk(tree):
                self.files += [os.path.join(dirpath, n) for n in filenames]
        self.files.sort()
        sample = random.Random(0).sample(self.files, min(400, len(self.files)))
        self.pages = {f: os.path.getsize(f) // 4096 * 4096 for f in sample}

    def cached(self):
        r = subprocess.run(["fincore", "--bytes", "--json", "--output",
                            "RES,FILE", "--"] + list(self.pages),
                           stdout=subprocess.PIPE, text=True)
        res = {e["file"]: int(e["res"])
               for e in json.loads(r.stdout or '{"fincore": []}')["fincore"]}
        # Nearly all: the kernel may keep a few pages out of the cache.
        return sum(min(res.get(f, 0), n) for f, n in self.pages.items()) >= \
            0.99 * sum(self.pages.values())

    def fill(self):
        for f in self.files:
            with open(f, "rb") as h:
                while h.read(MIB):
                    pass


def time_workload(spawn, cmds, runs, prepare=None, cache=None):
    """Times every command runs times; prepare(name), where given, readies
    each run (drops caches, mounts the share afresh); with cache, each warm
    run is timed on cached trees. Gives the walls, the peaks and the runs
    timed again."""
    walls = {name: [] for name in cmds}
    peaks = {name: 0 for name in cmds}
    names = list(cmds)
    redone = 0
    for r in range(runs):
        # Each round starts with a different command, so that no command
        # always runs right after the same neighbour.
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            for attempt in range(5):
                if prepare:
                    prepare(name)
                if cache and not cache.cached():
                    cache.fill()
                wall, peak = run_once(spawn, cmds[name])
                if not cache or cache.cached():
                    break
                redone += 1
            walls[name].append(wall)
            peaks[name] = max(peaks[name], peak)
    return walls, peaks, redone


def machine_line():
    mem = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = int(line.split()[1]) // 1024
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
            f"{os.cpu_count()} cores ({model}), {mem} MiB memory, "
            f"Linux {platform.release()}")


def print_table(results, runs, how, yardsticks):
    """One row per workload and command: the median, the spread, the
    ratios to each yardstick and the peak memory."""
    sys.stderr.flush()
    print(f"\n{machine_line()}; median of {runs} {how} per command,"
          " commands alternating.\n")
    print("| workload | command | median s | min-max s | " +
          "".join(f"x {y.replace('floor --', '')} | " for y in yardsticks) +
          "peak MiB |")
    print("|---|---|---:|---:|" + "---:|" * len(yardsticks) + "---:|")
    for wl, (walls, peaks, info) in results.items():
        med = {n: statistics.median(v) for n, v in walls.items()}
        for name in walls:
            ratios = "".join(f"{med[name] / med[y]:.2f} | "
                             if med.get(y, 0) > 0 else "- | "
                             for y in yardsticks)
            print(f"| {wl} ({info}) | {name} | {med[name]:.3f} | "
                  f"{min(walls[name]):.3f}-{max(walls[name]):.3f} | "
                  f"{ratios}{peaks[name] / 1024:.1f} |")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--data", required=True,
                    help="directory for the workloads (outside any git tree)")
    ap.add_argument("--size", choices=SIZES, default="full")
    ap.add_argument("--runs", type=int, default=5,
                    help="timed runs of every command (default 5)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", default=os.path.join(here, "..", "build"),
                    help="CMake build directory (default: build)")
    ap.add_argument("--workloads",
                    help="comma-separated subset of " +
                    ",".join(WORKLOADS + SHARE_WORKLOADS) + " (default: " +
                    ",".join(WORKLOADS) + "; with --share " +
                    ",".join(SHARE_WORKLOADS) + ")")
    ap.add_argument("--clean", action="store_true",
                    help="delete the generated workloads afterwards")
    ap.add_argument("--cold", action="store_true",
                    help="drop the page cache before every timed run "
                    "(root only)")
    ap.add_argument("--share", type=float, metavar="DELAY_MS",
                    help="read the trees through a share that waits "
                    "DELAY_MS on every lookup, attribute, open and read, "
                    "mounted cold before every run (root only)")
    ap.add_argument("--first-local", action="store_true",
                    help="with --share: the first tree local and cold, "
                    "only the second on the share")
    ap.add_argument("--wine", metavar="EXE",
                    help="with --share: time the Windows program EXE "
                    "(build-win32/orvel.exe) under Wine too")
    ap.add_argument("--also", action="append", default=[],
                    metavar="NAME=BINARY",
                    help="also time this build of orvel, as 'orvel NAME', "
                    "in the same rounds (another commit's, say)")
    args = ap.parse_args()
    if (args.cold or args.share is not None) and os.geteuid() != 0:
        ap.error("--cold and --share drop the page cache before every run, "
                 "which only root may do (and --share mounts): run it as "
                 "root, or without them")
    if args.share is None and (args.first_local or args.wine):
        ap.error("--first-local and --wine go with --share")
    if args.share is not None and args.share < 0:
        ap.error("bad --share")
    others = [tuple(o.split("=", 1)) for o in args.also]
    if any(len(o) != 2 or not os.access(o[1], os.X_OK) for o in others):
        ap.error("--also takes NAME=BINARY, an executable orvel")
    names = [w for w in (args.workloads or ",".join(
        WORKLOADS if args.share is None else SHARE_WORKLOADS)).split(",") if w]
    if (any(w not in WORKLOADS + SHARE_WORKLOADS for w in names) or
            args.runs < 1):
        ap.error("bad --workloads or --runs")
    data = os.path.abspath(args.data)
    build = os.path.abspath(args.build)
    source = os.path.abspath(os.path.join(here, ".."))
    if os.path.commonpath([data, source]) == source:
        ap.error("--data must lie outside the source tree")
    exe = os.path.abspath(args.wine) if args.wine else None
    if exe and not os.path.isfile(exe):
        ap.error(f"{exe} does not exist (cmake --preset win32 && "
                 "cmake --build --preset win32)")

    if subprocess.run(["cmake", "--build", build, "--target", "orvel",
                       "bench-floor", "bench-spawn", "bench-readers",
                       "bench-share"]).returncode != 0:
        sys.exit("build failed (configure first: cmake --preset default)")
    orvel = os.path.join(build, "orvel")
    floor = os.path.join(build, "bench-floor")
    spawn = os.path.join(build, "bench-spawn")
    readers = os.path.join(build, "bench-readers")
    # Early reuses large's first tree through hard links, so build it first.
    generate(data, args.size, args.seed,
             [w for w in WORKLOADS + SHARE_WORKLOADS if w in names or
              (w == "large" and "early" in names)])

    results, all_ok, share = {}, True, None
    if args.share is not None:
        mountpoint = os.path.join(data, "share")
        os.makedirs(mountpoint, exist_ok=True)
        where = ("the second tree on it, the first local" if
                 args.first_local else "both trees on it")
        how = (f"runs on a share waiting {args.share:g} ms a request ({where};"
               " mounted afresh, page cache dropped, before each)")
        yardsticks = ["bound", "orvel", "rsync -rcn", "diff -rq"]
        if exe:
            wine_up(data)
    else:
        how = ("cold-cache runs (page cache dropped before each)" if args.cold
               else "warm-cache runs")
        yardsticks = ["floor", "floor --first-only", "diff -rq", "rsync -rcn"]
    try:
        for wl in names:
            root = os.path.join(data, wl)
            a, b = os.path.join(root, "a"), os.path.join(root, "b")
            with open(os.path.join(root, "expected.json")) as f:
                expected = json.load(f)
            nfiles, nbytes = tree_stats(a)
            both = [x + y for x, y in zip((nfiles, nbytes), tree_stats(b))]
            prepare = (lambda name: drop_caches()) if args.cold else None
            if args.share is not None:
                share = Share(os.path.join(build, "bench-share"), root,
                              mountpoint, args.share)
                if not args.first_local:
                    a = os.path.join(mountpoint, "a")
                b = os.path.join(mountpoint, "b")
                cmds = share_commands(orvel, readers, exe, a, b, others)

                def prepare(name):
                    share.remount()
                    if name != "orvel.exe (Wine)":
                        return
                    # Wine's own files, which the drop took from the cache.
                    subprocess.run(["wine", exe], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
                share.remount()  # checked once, cold for the first command
            else:
                cmds = commands(orvel, floor, a, b, nfiles, others)
            print(f"{wl}: {nfiles} files, {nbytes / MIB:.0f} MiB, "
                  f"{len(expected)} planted differences; checking ...",
                  file=sys.stderr, flush=True)
            if verify(cmds, a, b, expected, nfiles, both):
                print(f"{wl}: timing {args.runs} rounds ...", file=sys.stderr,
                      flush=True)
                cache = None if args.cold or share else Cache([a, b])
                walls, peaks, redone = time_workload(spawn, cmds, args.runs,
                                                     prepare, cache)
                if redone:
                    print(f"{wl}: {redone} runs timed again: the page cache "
                          "was dropped while they ran", file=sys.stderr)
                results[wl] = (walls, peaks,
                               f"{nfiles} files, {nbytes / MIB:.0f} MiB")
            else:
                all_ok = False
            if share:
                share.stop()
    finally:
        if share:
            share.stop()
        if exe:
            wine_down()
    if results:
        print_table(results, args.runs, how, yardsticks)
    if args.clean:
        shutil.rmtree(data, ignore_errors=True)
    if not all_ok:
        sys.exit("some program did not report exactly the planted differences")


if __name__ == "__main__":
    main()
