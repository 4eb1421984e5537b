#!/usr/bin/env python3
"""Benchmark runner: times orvane against a baseline revision of itself, a libvips
command-line pipeline and the machine's limits, with medians over alternating runs.

    python3 bench/run.py [--scenario NAME] [--baseline REV] [--runs N] [--scale] [--keep]

Scenarios: standard, standard_lzw, ome_zarr, seamless, single, resume, scaling, limits, align,
all (default).
Everything is built and written under build-bench/ (or --work DIR).
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import io
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE_FLAGS = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DORVANE_TESTS=OFF"]


def log(text):
    print(text, file=sys.stderr, flush=True)


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], check=True, capture_output=True,
                          text=True).stdout.strip()


# ---------------------------------------------------------------- geometry

class geometry:
    """The standard acquisition, or its scaled-down form for a smoke test: tile
    size, trim and shift shrink together so the mosaic keeps its shape."""

    def __init__(self, scale):
        self.columns = 4
        self.tile = 512 if scale else 2048
        self.slices = 8 if scale else 64
        factor = self.tile / 2048
        self.xoverlap = round(100 * factor)
        self.yoffset = round(20 * factor)
        self.downsample = 4

    def args(self):
        return ["-s", str(self.columns), "-x", str(self.xoverlap), "-y", str(self.yoffset),
                "-d", str(self.downsample)]

    def memory_limit_mb(self, workers, width, height):
        """workers x (canvas + tile) + 20 MB: what a slice may hold at once."""
        canvas = (width - 2 * self.xoverlap) * self.columns * height * 2
        tile = width * height * 2
        return (workers * (canvas + tile)) / 1e6 + 20


# ---------------------------------------------------------------- builds

def build_current(work):
    build = os.path.join(work, "current")
    sh(["cmake", "-S", ROOT, "-B", build, *CMAKE_FLAGS, "-DORVANE_BENCH=ON"],
       stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", build, "-j2", "--target", "orvane", "orvane_make_acquisition",
        "orvane_bench_limits", "orvane-align"], stdout=subprocess.DEVNULL)
    return build


def default_baseline():
    """The first commit on main that writes reduced copies, else the root commit."""
    for ref in ("main", "HEAD"):
        try:
            found = git("log", ref, "--reverse", "--format=%H", "-S", "write_reduced", "--", "src")
        except subprocess.CalledProcessError:
            continue
        if found:
            return found.splitlines()[0]
    return git("rev-list", "--max-parents=0", "HEAD").splitlines()[0]


def build_baseline(work, rev):
    """Exports REV with git archive and builds it with the same flags; cached by commit."""
    commit = git("rev-parse", rev + "^{commit}")
    base = os.path.join(work, "baseline-" + commit[:12])
    exe = os.path.join(base, "build", "orvane")
    if os.path.exists(exe):
        return exe, commit
    source = os.path.join(base, "src")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(source)
    archive = subprocess.run(["git", "-C", ROOT, "archive", commit], check=True,
                             capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(source)
    # The exported tree has no .deps: point it at this checkout's image library header.
    cimg = os.path.join(ROOT, ".deps", "cimg", "usr", "include")
    sh(["cmake", "-S", source, "-B", os.path.join(base, "build"), *CMAKE_FLAGS,
        "-DCIMG_INCLUDE_DIR=" + cimg], stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", os.path.join(base, "build"), "-j2", "--target", "orvane"],
       stdout=subprocess.DEVNULL)
    return exe, commit


# ---------------------------------------------------------------- data

def acquisition(work, build, geo, slices, width, height, lzw, cut=False):
    """Generates (once, seeded) an acquisition and returns its folder. With cut, the
    tiles share the geometry's overlap and shift, columns 10 % apart in brightness."""
    name = f"acq_{geo.columns}x{slices}_{width}x{height}_{'lzw' if lzw else 'raw'}"
    name += f"_cut{geo.xoverlap}_{geo.yoffset}" if cut else ""
    folder = os.path.join(work, "data", name)
    stamp = os.path.join(folder, "stats.txt")
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        cmd = [os.path.join(build, "orvane_make_acquisition"), "-o", folder,
               "-s", str(geo.columns), "-n", str(slices), "-w", str(width), "-h", str(height),
               "--seed", "7", "--stats"] + (["--lzw"] if lzw else [])
        if cut:
            cmd += ["--overlap", str(geo.xoverlap), "--shift", str(geo.yoffset),
                    "--brightness-step", "0.1"]
        log(f"generating {name}")
        stats = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        with open(stamp, "w") as f:
            f.write(stats)
    with open(stamp) as f:
        log(f"{name}: {f.read().strip()}")
    return folder


def plan(orvane, cmd):
    """What orvane's plan says of a command's slices (asked of the given build, whatever
    binary the command runs): a list of (index, state, full path, reduced path or "")."""
    text = subprocess.run([orvane, *cmd[1:], "--plan"], check=True, capture_output=True,
                          text=True).stdout
    rows = [line.split("\t") for line in text.splitlines()[1:]]
    return [(int(r[0]), r[1], r[2], r[3]) for r in rows]


def tile_names(folder):
    with open(os.path.join(folder, "list.txt")) as f:
        return [line for line in f.read().splitlines() if line]


def input_bytes(folder, columns, slice_indices):
    names = tile_names(folder)
    count = len(names) // columns
    return sum(os.path.getsize(names[j * count + k]) for j in range(columns) for k in slice_indices)


def try_drop_caches():
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("1\n")
        return True
    except OSError:
        return False


def warm(folder):
    """Reads every tile once so all contenders start from the page cache."""
    for name in tile_names(folder):
        with open(name, "rb") as f:
            while f.read(1 << 22):
                pass


# ---------------------------------------------------------------- timing

def timed(cmd, env=None, allowed=(0,)):
    """Runs one child; returns wall s, user+sys CPU s and peak RSS MB of that
    child (and the children it waited for) from wait4. Another exit status
    than those allowed is an error."""
    # stderr goes to a file, not a pipe: a chatty child must never block on it.
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode not in allowed:
            err.seek(0)
            text = err.read().decode(errors="replace").strip()[-500:]
            raise RuntimeError(f"{cmd[0]} exited {child.returncode}: {text}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
            "rss": usage.ru_maxrss / 1024.0}


# Outputs are moved here before a run and removed after the runs of a
# scenario. ext4 without a journal will not reuse an inode freed in the last
# minute: it scans past every such inode for each file it creates, so removing
# thousands of a previous run's files just before a run would charge the run
# that writes many files (the volume's chunks) for the removal.
trash = None


def clear(folder):
    if not os.path.lexists(folder):
        return
    if trash is None:
        shutil.rmtree(folder, ignore_errors=True)
        return
    os.makedirs(trash, exist_ok=True)
    os.rename(folder, os.path.join(trash, f"{len(os.listdir(trash))}"))


def empty_trash():
    if trash is not None:
        shutil.rmtree(trash, ignore_errors=True)


class contender:
    """One command timed in a scenario. prepare() runs untimed before each run."""

    def __init__(self, label, cmd, out, env=None, prepare=None, bytes_read=0, allowed=(0,)):
        self.label, self.cmd, self.out, self.env = label, cmd, out, env
        self.prepare = prepare or (lambda: clear(out))
        self.bytes_read = bytes_read
        self.allowed = allowed
        self.samples = []


def measure(contenders, runs, cold=False):
    """Alternates the contenders run by run (A B C A B C ...)."""
    for run in range(runs):
        for c in contenders:
            c.prepare()
            if cold:
                try_drop_caches()
            # What the previous contender left for the device to write is
            # written now, untimed: a contender that syncs its outputs would
            # otherwise wait behind another's unsynced ones.
            os.sync()
            sample = timed(c.cmd, c.env, c.allowed)
            c.samples.append(sample)
            log(f"  run {run + 1}/{runs} {c.label}: {sample['wall']:.2f} s wall, "
                f"{sample['cpu']:.2f} s CPU, {sample['rss']:.0f} MB")
    empty_trash()
    for c in contenders:
        c.median = {key: statistics.median(s[key] for s in c.samples) for key in c.samples[0]}
        c.median["mbps"] = c.bytes_read / 1e6 / c.median["wall"] if c.bytes_read else 0.0


def env_threads(threads):
    env = dict(os.environ)
    env["OMP_NUM_THREADS"] = str(threads)
    return env


def compare_trees(a, b):
    """cmp of every file of tree a against the same name in b."""
    names = sorted(os.path.relpath(os.path.join(d, f), a)
                   for d, _, files in os.walk(a) for f in files)
    others = sorted(os.path.relpath(os.path.join(d, f), b)
                    for d, _, files in os.walk(b) for f in files)
    different = [n for n in names
                 if subprocess.run(["cmp", "-s", os.path.join(a, n), os.path.join(b, n)]).returncode]
    missing = sorted(set(names) ^ set(others))
    return len(names), different, missing


# ---------------------------------------------------------------- scenarios

class bench:
    def __init__(self, opts):
        self.opts = opts
        self.work = os.path.abspath(opts.work)
        self.geo = geometry(opts.scale)
        self.threads = opts.threads
        self.rows = []       # table rows
        self.notes = []      # checks and remarks printed under the table
        self.results = {}
        os.makedirs(self.work, exist_ok=True)
        log("building current tree")
        self.build = build_current(self.work)
        self.orvane = os.path.join(self.build, "orvane")
        self.baseline = None
        self.out = os.path.join(self.work, "out")
        global trash
        trash = os.path.join(self.work, "trash")
        empty_trash()
        # Dropping the page cache touches the whole machine: only on request.
        self.cold = opts.cold and try_drop_caches()
        if opts.cold and not self.cold:
            log("cannot drop the page cache: running warm")

    def baseline_exe(self):
        if self.baseline is None:
            rev = self.opts.baseline or default_baseline()
            log(f"building baseline {rev}")
            self.baseline = build_baseline(self.work, rev)
            self.notes.append(f"baseline revision {self.baseline[1][:12]}")
        return self.baseline[0]

    def standard_acquisition(self, lzw=False, slices=None, height=None):
        g = self.geo
        return acquisition(self.work, self.build, g, slices or g.slices, g.tile, height or g.tile,
                           lzw)

    def start(self, folder):
        if not self.cold:
            warm(folder)

    def orvane_cmd(self, exe, folder, out, extra=()):
        return [exe, "-i", os.path.join(folder, "list.txt"), *self.geo.args(), "-o", out, *extra]

    def add_rows(self, scenario, contenders, reference, note=""):
        ref = reference.median["wall"]
        for c in contenders:
            m = c.median
            self.rows.append([scenario, c.label, f"{m['wall']:.2f}", f"{m['cpu']:.2f}",
                              f"{m['rss']:.0f}", f"{m['mbps']:.3g}",
                              f"{m['wall'] / ref:.2f}"])
            self.results.setdefault(scenario, {})[c.label] = dict(m, runs=c.samples)
        if note:
            self.notes.append(f"{scenario}: {note}")

    def memory_note(self, scenario, c, workers, width, height):
        limit = self.geo.memory_limit_mb(workers, width, height)
        verdict = "within" if c.median["rss"] <= limit else "ABOVE"
        self.notes.append(f"{scenario}: {c.label} peak RSS {c.median['rss']:.0f} MB, {verdict} "
                          f"the {workers} x (canvas + tile) + 20 MB = {limit:.0f} MB bound")

    def standard(self, lzw=False):
        scenario = "standard_lzw" if lzw else "standard"
        log(f"scenario {scenario}")
        g = self.geo
        folder = self.standard_acquisition(lzw)
        total = input_bytes(folder, g.columns, range(g.slices))
        env = env_threads(self.threads)
        current = contender("orvane", self.orvane_cmd(self.orvane, folder,
                                                      os.path.join(self.out, "current")),
                            os.path.join(self.out, "current"), env, bytes_read=total)
        contenders = [current]
        if not self.opts.no_baseline:
            base_out = os.path.join(self.out, "baseline")
            contenders.append(contender("baseline", self.orvane_cmd(self.baseline_exe(), folder,
                                                                    base_out),
                                        base_out, env, bytes_read=total))
        if not self.opts.no_vips:
            vips_out = os.path.join(self.out, "vips")
            script = os.path.join(ROOT, "bench", "vips_pipeline.sh")
            sh(["bash", script, "--ensure-vips"])
            contenders.append(contender(
                "libvips CLI", ["bash", script, "-i", os.path.join(folder, "list.txt"),
                                *g.args(), "-o", vips_out, "-P", str(self.threads),
                                "-O", self.orvane],
                vips_out, bytes_read=total))
        self.start(folder)
        measure(contenders, self.opts.runs, self.cold)
        self.add_rows(scenario, contenders, current, "ratio = wall / orvane's wall")
        self.memory_note(scenario, current, self.threads, g.tile, g.tile)
        if not self.opts.no_baseline:
            count, different, missing = compare_trees(current.out, contenders[1].out)
            verdict = "identical" if not different and not missing else "DIFFERENT"
            self.notes.append(f"{scenario}: outputs vs baseline: {count} files, {verdict}"
                              + (f"; differing {different[:5]}" if different else "")
                              + (f"; missing on one side {missing[:5]}" if missing else ""))
            self.results[scenario]["identical_to_baseline"] = verdict == "identical"
        for c in contenders:
            if not self.opts.keep and c.label != "orvane":
                clear(c.out)

    def ome_zarr(self):
        """The run with the OME-Zarr volume against the TIFF-only one (and the
        baseline's), alternating; the volume lies inside the output folder, so
        every run starts from nothing."""
        log("scenario ome_zarr")
        g = self.geo
        folder = self.standard_acquisition()
        total = input_bytes(folder, g.columns, range(g.slices))
        env = env_threads(self.threads)
        tiff_out = os.path.join(self.out, "tiff_only")
        volume_out = os.path.join(self.out, "with_volume")
        tiff_only = contender("orvane, TIFFs", self.orvane_cmd(self.orvane, folder, tiff_out),
                              tiff_out, env, bytes_read=total)
        with_volume = contender(
            "orvane --ome-zarr", self.orvane_cmd(
                self.orvane, folder, volume_out,
                ["--ome-zarr", os.path.join(volume_out, "volume.ome.zarr"),
                 "--voxel-size", "0.5,0.5,2"]),
            volume_out, env, bytes_read=total)
        contenders = [tiff_only, with_volume]
        if not self.opts.no_baseline:
            base_out = os.path.join(self.out, "baseline")
            contenders.append(contender("baseline, TIFFs",
                                        self.orvane_cmd(self.baseline_exe(), folder, base_out),
                                        base_out, env, bytes_read=total))
        self.start(folder)
        measure(contenders, self.opts.runs, self.cold)
        ratio = with_volume.median["wall"] / tiff_only.median["wall"]
        self.add_rows("ome_zarr", contenders, tiff_only,
                      f"--ome-zarr costs {ratio:.2f}x the TIFF-only run "
                      f"({'within' if ratio <= 1.35 else 'ABOVE'} the 1.35x budget)")
        for c in contenders:
            if not self.opts.keep:
                clear(c.out)

    def seamless(self):
        """The run with --seamless against the plain one on the standard acquisition,
        alternating. Every run starts from an empty output folder, so the flat-field
        estimate, which later runs would read back, is timed with the rest."""
        log("scenario seamless")
        g = self.geo
        folder = self.standard_acquisition()
        total = input_bytes(folder, g.columns, range(g.slices))
        env = env_threads(self.threads)
        plain_out = os.path.join(self.out, "plain")
        seamless_out = os.path.join(self.out, "seamless")
        plain = contender("orvane", self.orvane_cmd(self.orvane, folder, plain_out), plain_out,
                          env, bytes_read=total)
        seamless = contender("orvane --seamless",
                             self.orvane_cmd(self.orvane, folder, seamless_out, ["--seamless"]),
                             seamless_out, env, bytes_read=total)
        self.start(folder)
        measure([plain, seamless], self.opts.runs, self.cold)
        ratio = seamless.median["wall"] / plain.median["wall"]
        self.add_rows("seamless", [plain, seamless], plain,
                      f"--seamless costs {ratio:.2f}x the plain run "
                      f"({'within' if ratio <= 1.2 else 'ABOVE'} the 1.2x budget)")
        self.memory_note("seamless", plain, self.threads, g.tile, g.tile)
        # A seamless slice holds every tile of the slice whole, and the flat
        # and dark fields (32-bit floats) are shared by all workers.
        canvas = (g.tile - 2 * g.xoverlap) * g.columns * g.tile * 2
        tile = g.tile * g.tile * 2
        limit = (self.threads * (canvas + g.columns * tile) + 4 * tile) / 1e6 + 20
        rss = seamless.median["rss"]
        self.notes.append(f"seamless: {seamless.label} peak RSS {rss:.0f} MB, "
                          f"{'within' if rss <= limit else 'ABOVE'} the {self.threads} x "
                          f"(canvas + {g.columns} tiles) + flat and dark fields + 20 MB = "
                          f"{limit:.0f} MB a slice of whole tiles needs")
        for c in (plain, seamless):
            if not self.opts.keep:
                clear(c.out)

    def single(self):
        log("scenario single")
        g = self.geo
        folder = self.standard_acquisition()
        k = g.slices // 2
        size = input_bytes(folder, g.columns, [k])
        out = os.path.join(self.out, "single")
        contenders = [contender(f"-j {k}, OMP_NUM_THREADS={n}",
                                self.orvane_cmd(self.orvane, folder, out, ["-j", str(k)]),
                                out, env_threads(n), bytes_read=size)
                      for n in (1, self.threads)]
        self.start(folder)
        measure(contenders, self.opts.runs, self.cold)
        speedup = contenders[0].median["wall"] / contenders[1].median["wall"]
        self.add_rows("single", contenders, contenders[0],
                      f"speedup of {self.threads} threads over 1: {speedup:.2f}x")
        # One slice is one worker, however many threads it has.
        self.memory_note("single", contenders[1], 1, g.tile, g.tile)

    def resume(self):
        log("scenario resume")
        g = self.geo
        folder = self.standard_acquisition()
        env = env_threads(self.threads)
        out = os.path.join(self.out, "resume")
        half = g.slices // 2
        full = contender("full run", self.orvane_cmd(self.orvane, folder, out), out, env,
                         bytes_read=input_bytes(folder, g.columns, range(g.slices)))

        def second_half_missing():
            # The first half comes from a real run; the second half's full and
            # reduced files go, as if the run had been stopped half-way.
            clear(out)
            subprocess.run(full.cmd, env=env, check=True, stdout=subprocess.DEVNULL)
            for _, _, *paths in plan(self.orvane, full.cmd)[half:]:
                for path in paths:
                    if path and os.path.exists(path):
                        os.remove(path)

        resumed = contender(f"resumed, slices 0-{half - 1} done", full.cmd, out, env,
                            prepare=second_half_missing,
                            bytes_read=input_bytes(folder, g.columns, range(half, g.slices)))
        self.start(folder)
        measure([full, resumed], self.opts.runs, self.cold)
        self.add_rows("resume", [full, resumed], full,
                      f"resumed / full wall = {resumed.median['wall'] / full.median['wall']:.2f}")

    def resume_done(self):
        """A rerun over 1000 slices that are all done: what looking at each
        final file costs, against the baseline, which only tests that it exists."""
        log("scenario resume_done")
        slices = 1000
        folder = os.path.join(self.work, "data", "acq_1x1000_64x64_raw")
        if not os.path.exists(os.path.join(folder, "list.txt")):
            shutil.rmtree(folder, ignore_errors=True)
            sh([os.path.join(self.build, "orvane_make_acquisition"), "-o", folder, "-s", "1",
                "-n", str(slices), "-w", "64", "-h", "64", "--seed", "7"],
               stdout=subprocess.DEVNULL)
        env = env_threads(self.threads)
        contenders = []
        for label, exe in [("orvane", self.orvane)] + (
                [] if self.opts.no_baseline else [("baseline", self.baseline_exe())]):
            out = os.path.join(self.out, "resume_done_" + label)
            cmd = [exe, "-i", os.path.join(folder, "list.txt"), "-s", "1", "-d", "2", "-o", out]

            def made(out=out, cmd=cmd):
                # The first run makes every slice; the timed ones find them done.
                if plan(self.orvane, cmd)[-1][1] != "done":
                    clear(out)
                    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL)

            contenders.append(contender(f"{label}, {slices} slices done", cmd, out, env,
                                        prepare=made))
        measure(contenders, self.opts.runs, self.cold)
        per_slice = ""
        if len(contenders) == 2:
            extra = contenders[0].median["wall"] - contenders[1].median["wall"]
            per_slice = f"; current - baseline = {extra * 1e3:.1f} ms, {extra * 1e6 / slices:.0f} us a slice"
        self.add_rows("resume_done", contenders, contenders[0],
                      "a rerun over finished slices" + per_slice)
        for c in contenders:
            if not self.opts.keep:
                clear(c.out)

    def scaling(self):
        log("scenario scaling")
        g = self.geo
        env = env_threads(self.threads)
        big = self.standard_acquisition(slices=4 * g.slices)
        contenders = []
        # Fewer slices are taken from the 4x acquisition through shorter lists,
        # so all three share tiles and content density.
        for factor in (1, 2, 4):
            n = factor * g.slices
            names = tile_names(big)
            count = len(names) // g.columns
            list_path = os.path.join(big, f"list_{n}.txt")
            with open(list_path, "w") as f:
                f.writelines(names[j * count + k] + "\n" for j in range(g.columns) for k in range(n))
            out = os.path.join(self.out, f"scaling_{n}")
            cmd = [self.orvane, "-i", list_path, *g.args(), "-o", out]
            contenders.append(contender(f"{n} slices", cmd, out, env,
                                        bytes_read=input_bytes(big, g.columns, range(n))))
        tall = self.standard_acquisition(height=2 * g.tile)
        out = os.path.join(self.out, "scaling_tall")
        contenders.append(contender(f"{g.slices} slices, {g.tile}x{2 * g.tile} tiles",
                                    self.orvane_cmd(self.orvane, tall, out), out, env,
                                    bytes_read=input_bytes(tall, g.columns, range(g.slices))))
        self.start(big)
        self.start(tall)
        measure(contenders, self.opts.runs, self.cold)
        base = contenders[0].median["wall"]
        linear = [f"{c.label}: {c.median['wall'] / (base * f):.2f}"
                  for c, f in zip(contenders[1:], (2, 4, 2))]
        self.add_rows("scaling", contenders, contenders[0],
                      "wall / (linear prediction from the 1x run): " + ", ".join(linear))
        self.memory_note("scaling", contenders[3], self.threads, g.tile, 2 * g.tile)
        for c in contenders:
            if not self.opts.keep:
                clear(c.out)

    def limits(self):
        log("scenario limits")
        g = self.geo
        raw = self.standard_acquisition()
        lzw = self.standard_acquisition(lzw=True)
        mosaic_out = os.path.join(self.out, "limits")
        clear(mosaic_out)
        one = self.orvane_cmd(self.orvane, raw, mosaic_out, ["-j", "0"])
        sh(one, stdout=subprocess.DEVNULL)
        mosaic = plan(self.orvane, one)[0][2]
        cmd = [os.path.join(self.build, "orvane_bench_limits"), "--tile", tile_names(raw)[0],
               "--lzw-tile", tile_names(lzw)[0], "--mosaic", mosaic, "--scratch", mosaic_out,
               "--runs", str(max(3, self.opts.runs))]
        lines = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
        rates = {lines[i]: float(lines[i + 1]) for i in range(0, len(lines), 3)}
        sizes = {lines[i]: int(lines[i + 2]) for i in range(0, len(lines), 3)}
        for name, rate in rates.items():
            self.rows.append(["limits", name + " (1 core)", "", "", "", f"{rate:.0f}", ""])
        # What the work of a run needs at these rates, spread over the workers.
        per_slice = (sizes["encode_lzw"] / 1e6 / rates["encode_lzw"]
                     + g.columns * sizes["decode_uncompressed"] / 1e6 / rates["decode_uncompressed"])
        floor = per_slice * g.slices / self.threads
        self.notes.append(f"limits: decode + LZW encode alone of the standard run on "
                          f"{self.threads} cores: {floor:.2f} s wall")
        if "encode_volume" in rates and "encode_lzw_orvane" in rates:
            self.notes.append(
                f"limits: compressing the volume's levels of a mosaic takes "
                f"{rates['encode_lzw_orvane'] / rates['encode_volume']:.2f}x the time the "
                f"program's own LZW encoder takes for the mosaic's TIFF")
        self.results["limits"] = dict(rates, floor_wall=floor)
        if not self.opts.keep:
            clear(mosaic_out)

    def align(self):
        """orvane-align on an acquisition of the standard size cut with the standard
        -x and -y (so there is something to find), and on the standard one itself,
        whose tiles abut unflipped and share nothing (it finds no estimate)."""
        log("scenario align")
        g = self.geo
        exe = os.path.join(self.build, "orvane-align")
        env = env_threads(self.threads)
        cut = acquisition(self.work, self.build, g, g.slices, g.tile, g.tile, False, cut=True)
        plain = self.standard_acquisition()
        # The slices it looks at by default: 8 spread through the stack.
        looked_at = [(2 * i + 1) * g.slices // 16 for i in range(8)]
        out = os.path.join(self.out, "align")
        contenders = [
            contender("orvane-align, cut acquisition", [exe, "-i", os.path.join(cut, "list.txt"),
                      "-s", str(g.columns)], out, env,
                      bytes_read=input_bytes(cut, g.columns, looked_at)),
            contender("orvane-align, standard (no overlap)",
                      [exe, "-i", os.path.join(plain, "list.txt"), "-s", str(g.columns)], out,
                      env, bytes_read=input_bytes(plain, g.columns, looked_at), allowed=(0, 3))]
        self.start(cut)
        self.start(plain)
        printed = subprocess.run(contenders[0].cmd, env=env, capture_output=True, text=True)
        wanted = f"-x {g.xoverlap} -y {g.yoffset} "
        found = next((line for line in printed.stdout.splitlines() if line.startswith("orvane ")),
                     "(no command printed)")
        self.notes.append(f"align: on the cut acquisition it printed `{found}`: "
                          + ("the cut's geometry" if wanted in found else "NOT the cut's "
                             f"geometry {wanted.strip()}"))
        measure(contenders, self.opts.runs, self.cold)
        self.add_rows("align", contenders, contenders[0], "target: at most 2 s wall on two cores")
        canvas_mb = (g.tile - 2 * g.xoverlap) * g.columns * g.tile * 2 / 1e6
        for c in contenders:
            self.notes.append(f"align: {c.label} peak RSS {c.median['rss']:.0f} MB against one "
                              f"canvas of {canvas_mb:.0f} MB")

    def windows(self):
        """The Windows orvane.exe under Wine against the Linux build, side by side on
        the standard acquisition; the outputs must be byte-identical."""
        log("scenario windows")
        g = self.geo
        exe = os.path.join(ROOT, "build-win64", "orvane.exe")
        sh(["bash", os.path.join(ROOT, "scripts", "build-windows.sh"), "--no-tests"],
           stdout=subprocess.DEVNULL)
        wine = os.path.join(ROOT, "scripts", "wine-run.sh")
        folder = self.standard_acquisition()
        total = input_bytes(folder, g.columns, range(g.slices))
        env = env_threads(self.threads)
        linux_out = os.path.join(self.out, "linux")
        windows_out = os.path.join(self.out, "windows")
        contenders = [
            contender("orvane, Linux", self.orvane_cmd(self.orvane, folder, linux_out), linux_out,
                      env, bytes_read=total),
            contender("orvane.exe under Wine", [wine] + self.orvane_cmd(exe, folder, windows_out),
                      windows_out, env, bytes_read=total)]
        # Wine's server is started once, untimed, so every timed run finds it up.
        subprocess.run([wine, exe], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.start(folder)
        measure(contenders, self.opts.runs, self.cold)
        self.add_rows("windows", contenders, contenders[0], "ratio = wall / the Linux build's")
        count, different, missing = compare_trees(linux_out, windows_out)
        verdict = "identical" if not different and not missing else "DIFFERENT"
        self.notes.append(f"windows: outputs, Windows build vs Linux build: {count} files, "
                          f"{verdict}" + (f"; differing {different[:5]}" if different else "")
                          + (f"; missing on one side {missing[:5]}" if missing else ""))
        for c in contenders:
            if not self.opts.keep:
                clear(c.out)

    def report(self):
        cpu = "unknown CPU"
        try:
            with open("/proc/cpuinfo") as f:
                cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
        except (OSError, StopIteration):
            pass
        g = self.geo
        print(f"machine: {cpu}, {os.cpu_count()} logical CPUs, {platform.system()} "
              f"{platform.release()}; {self.threads} worker threads")
        print(f"acquisition: {g.columns} columns x {g.slices} slices of {g.tile}x{g.tile} "
              f"16-bit tiles, {' '.join(g.args())}" + (" (--scale)" if self.opts.scale else ""))
        print("page cache: " + ("dropped before every run (cold)" if self.cold else
                                "warm: every input read once before the runs (--cold drops it where allowed)"))
        print(f"medians of {self.opts.runs} alternating runs\n")
        header = ["scenario", "contender", "wall s", "CPU s", "peak RSS MB", "input MB/s",
                  "ratio"]
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for row in self.rows:
            print("| " + " | ".join(row) + " |")
        print()
        for note in self.notes:
            print("- " + note)
        with open(os.path.join(self.work, "results.json"), "w") as f:
            json.dump(self.results, f, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scenario", default="all",
                        choices=["all", "standard", "standard_lzw", "ome_zarr", "seamless",
                                 "single", "resume", "resume_done", "scaling", "limits", "align",
                                 "windows"])
    parser.add_argument("--baseline", help="revision to compare with (default: the first "
                        "commit on main that writes reduced copies)")
    parser.add_argument("--runs", type=int, default=3, help="runs per contender (median)")
    parser.add_argument("--scale", action="store_true",
                        help="smoke test: 512x512 tiles, 8 slices, trim and shift scaled")
    parser.add_argument("--keep", action="store_true", help="keep outputs for inspection")
    parser.add_argument("--threads", type=int, default=os.cpu_count(),
                        help="workers for orvane and processes for vips (default: all CPUs)")
    parser.add_argument("--work", default=os.path.join(ROOT, "build-bench"),
                        help="builds, data and outputs (default build-bench/)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every run where allowed (affects "
                        "the whole machine); otherwise inputs are read once first")
    parser.add_argument("--no-baseline", action="store_true", help="skip the baseline")
    parser.add_argument("--no-vips", action="store_true", help="skip the libvips pipeline")
    opts = parser.parse_args()
    b = bench(opts)
    wanted = (["standard", "standard_lzw", "ome_zarr", "seamless", "single", "resume",
               "resume_done", "scaling", "limits", "align", "windows"]
              if opts.scenario == "all" else [opts.scenario])
    for name in wanted:
        if name == "standard_lzw":
            b.standard(lzw=True)
        else:
            getattr(b, name)()
    b.report()
    if not opts.keep:
        clear(b.out)
    empty_trash()


if __name__ == "__main__":
    main()
