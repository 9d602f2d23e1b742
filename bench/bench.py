#!/usr/bin/env python3
"""Benchmark of orvel against the floor program and its peers.

    python3 bench/bench.py --data DIR [--size full|tiny] [--runs N] [--cold]
                           [--also NAME=BINARY ...]

Generates the workloads deterministically from --seed under DIR (reused on
the next run when the parameters match), builds build/orvel and
build/bench-floor, checks that every program reports exactly the planted
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

# Taken in this order until the file count or the byte total is reached:
# headers and documents are many small files, the libraries some large ones.
MIXED_SOURCES = ["/usr/include", "/usr/share/doc", "/usr/lib",
                 "/usr/share/man", "/usr/share/locale"]
WORKLOADS = ["small", "large", "mixed", "early", "differ"]


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
    k = max(1, round(len(rels) / 100))
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


def generate(data, size, seed, names):
    p = SIZES[size]
    for name in names:
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


def parse_orvel(out, err, rc, a, b, nfiles):
    lines = out.decode("utf-8", "surrogateescape").split("\n")
    problems, found = [], set()
    if rc != 0:
        problems.append(f"exit status {rc}")
    if lines[-1] != "" or lines[-2] != f"{nfiles} files compared.":
        problems.append(f"summary line {lines[-2]!r}, want {nfiles}")
    for line in lines[3:-2]:
        for text, kind in ((": Differences encountered.", "content"),
                           (": Files have different sizes.", "size")):
            head = f"{a}/"
            if line.endswith(text) and line.startswith(head):
                rel = line[len(head):-len(text)].split(f", {b}/")[0]
                found.add((kind, rel))
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


def verify(cmds, a, b, expected, nfiles):
    want = set(tuple(e) for e in expected)
    ok = True
    for name, argv in cmds.items():
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if name == "orvel" or name.startswith("orvel "):
            found, problems = parse_orvel(r.stdout, r.stderr, r.returncode,
                                          a, b, nfiles)
        elif name == "floor --first-only":
            found, problems = parse_floor(r.stdout, r.stderr, r.returncode,
                                          nfiles)
            want_here = set()
        elif name == "floor":
            found, problems = parse_floor(r.stdout, r.stderr, r.returncode,
                                          nfiles)
        elif name == "diff -rq":
            found, problems = parse_diff(r.stdout, r.returncode, a, b,
                                         expected)
        elif name == "cmp":
            found, problems = parse_cmp(r.stdout + r.stderr, a, b)
        else:
            found, problems = parse_rsync(r.stdout, r.returncode, expected)
        target = want_here if name == "floor --first-only" else want
        if found != target:
            missing, extra = target - found, found - target
            problems.append(f"missing {sorted(missing)[:3]} ({len(missing)}),"
                            f" extra {sorted(extra)[:3]} ({len(extra)})")
        if problems:
            ok = False
            print(f"  {name}: WRONG: " + "; ".join(problems[:4]),
                  file=sys.stderr)
    return ok


# ---- Timing ---------------------------------------------------------------

def drop_caches():
    """Writes out dirty pages and drops the page cache, dentries and inodes,
    so that the next run reads both trees from the disk."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def run_once(spawn, argv, cold=False):
    """Wall seconds and peak resident set (KiB) of one run, output dropped."""
    if cold:
        drop_caches()
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


def time_workload(spawn, cmds, runs, cold=False, cache=None):
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
                if cache and not cache.cached():
                    cache.fill()
                wall, peak = run_once(spawn, cmds[name], cold)
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


def print_table(results, runs, cold=False):
    sys.stderr.flush()
    cache = ("cold-cache runs (page cache dropped before each)" if cold
             else "warm-cache runs")
    print(f"\n{machine_line()}; median of {runs} {cache} per command,"
          " commands alternating.\n")
    print("| workload | command | median s | min-max s | x floor | "
          "x first-only | x diff -rq | x rsync -rcn | peak MiB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for wl, (walls, peaks, info) in results.items():
        med = {n: statistics.median(v) for n, v in walls.items()}
        for name in walls:
            def ratio(ref):
                return f"{med[name] / med[ref]:.2f}" if med[ref] > 0 else "-"
            print(f"| {wl} ({info}) | {name} | {med[name]:.3f} | "
                  f"{min(walls[name]):.3f}-{max(walls[name]):.3f} | "
                  f"{ratio('floor')} | {ratio('floor --first-only')} | "
                  f"{ratio('diff -rq')} | {ratio('rsync -rcn')} | "
                  f"{peaks[name] / 1024:.1f} |")


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
    ap.add_argument("--workloads", default=",".join(WORKLOADS),
                    help="comma-separated subset of " + ",".join(WORKLOADS))
    ap.add_argument("--clean", action="store_true",
                    help="delete the generated workloads afterwards")
    ap.add_argument("--cold", action="store_true",
                    help="drop the page cache before every timed run "
                    "(root only)")
    ap.add_argument("--also", action="append", default=[],
                    metavar="NAME=BINARY",
                    help="also time this build of orvel, as 'orvel NAME', "
                    "in the same rounds (another commit's, say)")
    args = ap.parse_args()
    if args.cold and os.geteuid() != 0:
        ap.error("--cold drops the page cache before every run, which only "
                 "root may do: run it as root, or without --cold")
    others = [tuple(o.split("=", 1)) for o in args.also]
    if any(len(o) != 2 or not os.access(o[1], os.X_OK) for o in others):
        ap.error("--also takes NAME=BINARY, an executable orvel")
    names = [w for w in args.workloads.split(",") if w]
    if any(w not in WORKLOADS for w in names) or args.runs < 1:
        ap.error("bad --workloads or --runs")
    data = os.path.abspath(args.data)
    build = os.path.abspath(args.build)
    source = os.path.abspath(os.path.join(here, ".."))
    if os.path.commonpath([data, source]) == source:
        ap.error("--data must lie outside the source tree")

    if subprocess.run(["cmake", "--build", build, "--target", "orvel",
                       "bench-floor", "bench-spawn"]).returncode != 0:
        sys.exit("build failed (configure first: cmake --preset default)")
    orvel = os.path.join(build, "orvel")
    floor = os.path.join(build, "bench-floor")
    spawn = os.path.join(build, "bench-spawn")
    # Early reuses large's first tree through hard links, so build it first.
    generate(data, args.size, args.seed,
             [w for w in WORKLOADS if w in names or
              (w == "large" and "early" in names)])

    results, all_ok = {}, True
    for wl in names:
        root = os.path.join(data, wl)
        a, b = os.path.join(root, "a"), os.path.join(root, "b")
        with open(os.path.join(root, "expected.json")) as f:
            expected = json.load(f)
        nfiles, nbytes = tree_stats(a)
        cmds = commands(orvel, floor, a, b, nfiles, others)
        print(f"{wl}: {nfiles} files, {nbytes / MIB:.0f} MiB, "
              f"{len(expected)} planted differences; checking ...",
              file=sys.stderr, flush=True)
        if not verify(cmds, a, b, expected, nfiles):
            all_ok = False
            continue
        print(f"{wl}: timing {args.runs} rounds ...", file=sys.stderr,
              flush=True)
        cache = None if args.cold else Cache([a, b])
        walls, peaks, redone = time_workload(spawn, cmds, args.runs,
                                             args.cold, cache)
        if redone:
            print(f"{wl}: {redone} runs timed again: the page cache was "
                  "dropped while they ran", file=sys.stderr)
        results[wl] = (walls, peaks, f"{nfiles} files, {nbytes / MIB:.0f} MiB")
    if results:
        print_table(results, args.runs, args.cold)
    if args.clean:
        shutil.rmtree(data, ignore_errors=True)
    if not all_ok:
        sys.exit("some program did not report exactly the planted differences")


if __name__ == "__main__":
    main()
