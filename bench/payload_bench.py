#!/usr/bin/env python3
"""A payload update against the plain copy it replaces, side by side.

    payload_bench.py BUILD_DIR [--sizes 64,256,1024] [--runs 5] [--cgroup-mib 64]

For each size (MiB) a random image is packed as a payload beside a bundle
(setup, untimed). Then, run by run and alternating:
  update     the launcher runs the procedure, which streams the payload into
             a loop-file slot with dev:write (written, read back from the
             medium, hash compared, slot marked verified), inside a memory
             cgroup of --cgroup-mib;
  reference  dd bs=4M conv=fsync of the image into a slot file, then
             sha256sum of the image.
Prints per size the median (min-max) seconds of both, of their ratio, the
peak RSS of the launcher and everything it ran (wait4), and the cgroup's
peak charge; then the exponent of the update's time over the sizes.
Exits 1 when a run fails or does not finish verified.
"""
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CGROUP = "/sys/fs/cgroup/memory/zor-payload-bench"

PROCEDURE = """local ab = require("zor_ab")
local args = ...
local work = args[1]
local dev = assert(ab.open{ backend = "file", state = work .. "/state", booted = "A",
                           slots = { A = work .. "/slot-A", B = work .. "/slot-B" } })
local fw = assert(ab.payload(args, "fw"))
return assert(dev:write("B", fw))
"""


def arg(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def make_file(path, size, random):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 4 << 20)
            f.write(os.urandom(n) if random else bytes(n))
            left -= n


def run_measured(cmd, cgroup, work):
    """Seconds, exit status and peak RSS (KiB) of the process and all it
    waited for, as GNU time's child reports it (a child of this Python
    would carry Python's own pages into its peak)."""
    def enter():
        if cgroup:
            with open(CGROUP + "/cgroup.procs", "w") as f:
                f.write(str(os.getpid()))
    rss_file = os.path.join(work, "rss")
    start = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd, preexec_fn=enter,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - start
    with open(rss_file) as f:
        rss = int(f.read().split()[-1])
    return seconds, p.returncode, rss, p.stderr.decode(errors="replace")


def cgroup_setup(mib):
    if not os.path.isdir(CGROUP):
        os.mkdir(CGROUP)
    with open(CGROUP + "/memory.limit_in_bytes", "w") as f:
        f.write(str(mib << 20))


def cgroup_peak_and_reset():
    with open(CGROUP + "/memory.max_usage_in_bytes") as f:
        peak = int(f.read())
    with open(CGROUP + "/memory.max_usage_in_bytes", "w") as f:
        f.write("0")
    return peak


def spread(values, fmt):
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def main():
    build = os.path.abspath(sys.argv[1])
    sizes = [int(s) for s in arg("--sizes", "64,256,1024").split(",")]
    runs = int(arg("--runs", "5"))
    limit = int(arg("--cgroup-mib", "64"))
    cgroup_setup(limit)
    failed = False
    medians = []
    print(f"payload update (launcher + dev:write, in a {limit} MiB memory cgroup) vs dd bs=4M conv=fsync + sha256sum;"
          f" median (min-max) of {runs}")
    print(f"{'size':>8}  {'update s':>22}  {'reference s':>22}  {'ratio':>20}  {'peak RSS KiB':>22}  cgroup peak MiB")
    for mib in sizes:
        work = tempfile.mkdtemp(prefix="zor-payload-bench.", dir="/var/tmp")
        try:
            size = mib << 20
            image = os.path.join(work, "image")
            make_file(image, size, True)
            launcher = os.path.join(work, "launcher")
            config = os.path.join(launcher, "zor_update_whole_package_config")
            os.makedirs(config)
            for program in ("zor_update_whole_package", "zor_stream"):  # as the device package lays them out
                shutil.copy(os.path.join(build, program), launcher)
            with open(os.path.join(work, "zor_update_whole_package.lua"), "w") as f:
                f.write(PROCEDURE)
            subprocess.run([os.path.join(build, "zor_pack"), "pack", "-o", os.path.join(config, "nuvex.zor"),
                            "--payload", "fw=" + image, os.path.join(work, "zor_update_whole_package.lua"),
                            os.path.join(SRC, "lua", "zor_ab.lua")], check=True, stdout=subprocess.DEVNULL)
            for slot in ("slot-A", "slot-B", "slot-ref"):
                make_file(os.path.join(work, slot), size, False)
            os.sync()
            update_t, ref_t, ratios, rss, peaks = [], [], [], [], []
            for _ in range(runs):
                if os.path.exists(os.path.join(work, "state")):
                    os.unlink(os.path.join(work, "state"))
                t, rc, maxrss, err = run_measured([os.path.join(launcher, "zor_update_whole_package"), work], True, work)
                peaks.append(cgroup_peak_and_reset() / (1 << 20))
                with open(os.path.join(work, "state")) as f:
                    verified = "B_verified=1" in f.read()
                if rc != 0 or not verified:
                    print(f"FAIL {mib} MiB: the update exited {rc}, slot B verified: {verified}\n{err}")
                    failed = True
                r, rrc, _, rerr = run_measured(["sh", "-c", 'dd if="$1" of="$2" bs=4M conv=fsync,notrunc status=none'
                                                " && sha256sum \"$1\" >/dev/null", "ref", image,
                                                os.path.join(work, "slot-ref")], False, work)
                if rrc != 0:
                    print(f"FAIL {mib} MiB: the reference exited {rrc}\n{rerr}")
                    failed = True
                update_t.append(t)
                ref_t.append(r)
                ratios.append(t / r)
                rss.append(maxrss)
            medians.append((size, statistics.median(update_t)))
            print(f"{mib:>5}MiB  {spread(update_t, '{:.2f}'):>22}  {spread(ref_t, '{:.2f}'):>22}  "
                  f"{spread(ratios, '{:.2f}'):>20}  {spread(rss, '{:.0f}'):>22}  {spread(peaks, '{:.1f}')}")
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if len(medians) >= 2:
        xs = [math.log(s) for s, _ in medians]
        ys = [math.log(t) for _, t in medians]
        mx, my = statistics.mean(xs), statistics.mean(ys)
        slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
        print(f"exponent of the update's time over {sizes[0]}-{sizes[-1]} MiB: {slope:.3f}")
    os.rmdir(CGROUP)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
