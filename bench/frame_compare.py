#!/usr/bin/env python3
"""Whole-process comparison of `plinthora frame` with OpenCV as Python
mockup generators use it, ImageMagick's convert and the vips command line
on the same files, in one run.

The job: map a 1170 x 2532 screenshot into a 1350 x 2750 shell's hole
(perspective), draw the shell over it and a watermark at 0.6 alpha over
everything, write a PNG. It is done on two stills: the sample screenshot
(flat UI: gradients and icons) in the sample shell, and the imaging
benchmark's noisy, photo-like screenshot in its shell (a folder holding
shot.png, shell.png, shell.cfg and wm.png). Each tool is timed as a user
runs it, process start to exit, median of RUNS, interleaved so that a
change in the machine's load falls on all; CPU time and peak RSS are each
process's own (wait4). vips gets its perspective map prebuilt (it has no
perspective operation), so only the resampling, the alpha scaling, the
composite and the PNG write are timed for it. OpenCV runs from Debian's
python3-opencv under /usr/bin/python3 (bench/opencv_frame.py).

Then a batch: BATCH copies of the noisy screenshot framed by one
`plinthora frame` call, by one OpenCV process looping over them, and by
as many ImageMagick processes; one run each (BATCH_RUNS to change it).
Our own single run is also taken apart with the debug log: start-up,
decode, compose, encode, write.

    frame_compare.py PLINTHORA_BINARY [WORK_DIR] [RUNS] [NOISY_DIR]
"""
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time

ALPHA = 0.6
PYTHON = "/usr/bin/python3"  # Debian's, where python3-opencv lives
OPENCV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "opencv_frame.py")


class Run:
    def __init__(self, wall=0.0, cpu=0.0, peak_kb=0):
        self.wall, self.cpu, self.peak_kb = wall, cpu, peak_kb

    def __add__(self, o):
        return Run(self.wall + o.wall, self.cpu + o.cpu, max(self.peak_kb, o.peak_kb))


def run(cmd, env=None):
    """One process to its end: wall, CPU (user + sys) and peak RSS of its own."""
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = p.stderr.read()
    p.stderr.close()
    _, status, use = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    t = time.perf_counter() - t0
    if p.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), err.decode(errors="replace")))
    return Run(t, use.ru_utime + use.ru_stime, use.ru_maxrss), err.decode(errors="replace")


def run_all(cmds, env=None):
    total = Run()
    for c in cmds:
        total = total + run(c, env)[0]
    return total


def med(runs, key):
    return statistics.median(getattr(r, key) for r in runs)


def solve(a, b):
    """Gaussian elimination with partial pivoting, a: n x n, b: n."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(m[r][c]))
        m[c], m[p] = m[p], m[c]
        for r in range(n):
            if r != c:
                f = m[r][c] / m[c][c]
                for k in range(c, n + 1):
                    m[r][k] -= f * m[c][k]
    return [m[i][n] / m[i][i] for i in range(n)]


def homography(src, dst):
    """3x3 map (row-major, h33 = 1) sending each src point to its dst point."""
    a, b = [], []
    for (x, y), (u, v) in zip(src, dst):
        a.append([x, y, 1, 0, 0, 0, -x * u, -y * u]); b.append(u)
        a.append([0, 0, 0, x, y, 1, -x * v, -y * v]); b.append(v)
    return solve(a, b) + [1.0]


def write_vips_map(path, h, width, height, sw, sh):
    """A 2-band float image: for each destination pixel, the source pixel
    (centre-based) it samples; points off the source fall on the background."""
    raw = path + ".raw"
    with open(raw, "wb") as f:
        for y in range(height):
            py = y + 0.5
            row = []
            bx, by, bw = h[1] * py + h[2], h[4] * py + h[5], h[7] * py + h[8]
            for x in range(width):
                px = x + 0.5
                w = h[6] * px + bw
                u = (h[0] * px + bx) / w
                v = (h[3] * px + by) / w
                if not (0 <= u < sw and 0 <= v < sh):
                    u, v = -10.0, -10.0
                row.append(u - 0.5)
                row.append(v - 0.5)
            f.write(struct.pack("<%df" % len(row), *row))
    subprocess.run(["vips", "rawload", raw, path + ".bytes.v", str(width), str(height), "8"], check=True)
    subprocess.run(["vips", "copy", path + ".bytes.v", path, "--format", "float", "--bands", "2",
                    "--interpretation", "multiband"], check=True)
    os.remove(raw)
    os.remove(path + ".bytes.v")


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


class Still:
    """One still's files and every tool's command for it."""

    def __init__(self, name, ours, work, shot, shell, cfg_path, wm):
        self.name, self.ours, self.work = name, ours, work
        self.shot, self.shell, self.cfg_path, self.wm = shot, shell, cfg_path, wm
        cfg = json.load(open(cfg_path))
        sw, sh = png_size(shot)
        W, H = cfg["template_width"], cfg["template_height"]
        quad = [(cfg["left_top_x"], cfg["left_top_y"]), (cfg["right_top_x"], cfg["right_top_y"]),
                (cfg["right_bottom_x"], cfg["right_bottom_y"]), (cfg["left_bottom_x"], cfg["left_bottom_y"])]
        corners = [(0, 0), (sw, 0), (sw, sh), (0, sh)]
        self.points = " ".join("%g,%g %g,%g" % (s[0], s[1], d[0], d[1]) for s, d in zip(corners, quad))
        self.size = (W, H)
        self.out = {k: os.path.join(work, k + ".png") for k in ("ours", "im", "vips")}
        self.out["opencv"] = os.path.join(work, "opencv", os.path.splitext(os.path.basename(shot))[0] + "-framed.png")
        vmap = os.path.join(work, "map.v")
        if not os.path.exists(vmap):
            write_vips_map(vmap, homography(quad, corners), W, H, sw, sh)
        warped, wma = os.path.join(work, "warped.v"), os.path.join(work, "wm-alpha.v")
        self.vips = [
            ["vips", "mapim", shot, warped, vmap, "--interpolate", "bilinear"],
            ["vips", "linear", wm, wma, "1 1 1 %g" % ALPHA, "0 0 0 0", "--uchar"],
            ["vips", "composite", "%s %s %s" % (warped, shell, wma), self.out["vips"], "2 2"],
        ]

    def ours_cmd(self, inputs, out):
        return [self.ours, "frame", *inputs, "--shell", self.shell, "--watermark", self.wm, "--mode", "1",
                "--blend", "正常", "--opacity", str(ALPHA), "-o", out]

    def opencv_cmd(self, inputs, out_dir):
        return [PYTHON, OPENCV, self.shell, self.cfg_path, self.wm, str(ALPHA), out_dir, *inputs]

    def im_cmd(self, shot, out):
        W, H = self.size
        return ["/usr/bin/convert", shot, "-virtual-pixel", "transparent", "-define",
                "distort:viewport=%dx%d+0+0" % (W, H), "-distort", "Perspective", self.points, self.shell,
                "-composite", "(", self.wm, "-channel", "A", "-evaluate", "multiply", str(ALPHA), "+channel", ")",
                "-composite", out]


def singles(still, env, runs):
    """Each tool on the one still, interleaved; the median of each figure."""
    cmds = {
        "ours": lambda: run(still.ours_cmd([still.shot], still.out["ours"]), env)[0],
        "opencv": lambda: run(still.opencv_cmd([still.shot], os.path.dirname(still.out["opencv"])))[0],
        "im": lambda: run(still.im_cmd(still.shot, still.out["im"]))[0],
        "vips": lambda: run_all(still.vips),
    }
    for f in cmds.values():  # warm the page cache and the dynamic loader
        f()
    got = {k: [] for k in cmds}
    for i in range(runs):
        for k, f in cmds.items():
            if k != "im" or i < max(1, min(runs, 3)):
                got[k].append(f())
    return {k: Run(med(v, "wall"), med(v, "cpu"), max(r.peak_kb for r in v)) for k, v in got.items()}


def split_of(still, env, runs):
    """Where our time goes: the debug log's split, and the rest of the
    process (loading, start-up, exit) from the wall time around it."""
    splits = []
    for _ in range(runs):
        r, log = run(still.ours_cmd([still.shot], still.out["ours"]), dict(env, PLINTHORA_DEBUG="1"))
        m = re.search(r"decode ([\d.]+) ms.*compose ([\d.]+) ms, encode ([\d.]+) ms, write ([\d.]+) ms", log)
        inside = re.search(r"input\(s\) in ([\d.]+) ms after start-up", log)
        if not m or not inside:
            sys.exit("no timing in the debug log:\n" + log)
        d, c, e, w = (float(x) for x in m.groups())
        splits.append((r.wall * 1e3 - float(inside.group(1)), d, c, e, w, r.wall * 1e3))
    return [statistics.median(s[i] for s in splits) for i in range(6)]


def batch(still, env, count, runs, with_im):
    """`count` copies of the still: one call of ours, one OpenCV process, and
    one ImageMagick process each."""
    src = os.path.join(still.work, "batch")
    os.makedirs(src, exist_ok=True)
    inputs = []
    for i in range(count):
        p = os.path.join(src, "shot-%02d.png" % i)
        if not os.path.exists(p):
            shutil.copyfile(still.shot, p)
        inputs.append(p)
    outs = {k: os.path.join(still.work, "batch-" + k) for k in ("ours", "opencv", "im")}

    def fresh(k):
        shutil.rmtree(outs[k], ignore_errors=True)
        os.makedirs(outs[k])
        return outs[k]

    got = {"ours": [], "opencv": [], "im": []}
    for _ in range(runs):
        got["ours"].append(run(still.ours_cmd(inputs, fresh("ours")), env)[0])
        got["opencv"].append(run(still.opencv_cmd(inputs, fresh("opencv")))[0])
    if with_im:
        fresh("im")
        got["im"].append(run_all([still.im_cmd(p, os.path.join(outs["im"], os.path.basename(p))) for p in inputs]))
    return {k: Run(med(v, "wall"), med(v, "cpu"), max(r.peak_kb for r in v)) for k, v in got.items() if v}


NAMES = {"ours": "`plinthora frame`", "opencv": "OpenCV (Python script)", "im": "ImageMagick `convert`",
         "vips": "vips command line (prebuilt map)"}


def report_singles(still, res, split, runs):
    size = {k: os.path.getsize(p) for k, p in still.out.items()}
    o = res["ours"]
    print("one still, %s: whole process, median of %d" % (still.name, runs))
    print()
    print("| tool | wall | CPU (user + sys) | peak RSS | tool / ours wall | tool / ours CPU | PNG bytes "
          "| size / ImageMagick |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for k in ("ours", "opencv", "im", "vips"):
        r = res[k]
        print("| %s | %.0f ms | %.0f ms | %.0f MB | %.1fx | %.1fx | %d | %.3f |" % (
            NAMES[k], r.wall * 1e3, r.cpu * 1e3, r.peak_kb / 1024, r.wall / o.wall, r.cpu / o.cpu, size[k],
            size[k] / size["im"]))
    print()
    print("%s: OpenCV / ours %.1fx wall, %.1fx CPU (target >= 10x); ImageMagick / ours %.1fx (target >= 10x); "
          "vips / ours %.1fx (target >= 3.5x); PNG %.3f of ImageMagick's size (target <= 1.05)" % (
              still.name, res["opencv"].wall / o.wall, res["opencv"].cpu / o.cpu, res["im"].wall / o.wall,
              res["vips"].wall / o.wall, size["ours"] / size["im"]))
    print("%s, our split (ms, median of %d debug runs of %.0f ms): start-up and exit %.0f, decode %.0f, "
          "compose %.0f, encode %.0f, write %.0f" % (still.name, runs, split[5], split[0], split[1], split[2],
                                                      split[3], split[4]))
    print()


def report_batch(still, res, count):
    o = res["ours"]
    print("%d stills (%s) in one call / one process, one run each" % (count, still.name))
    print()
    print("| tool | wall | CPU (user + sys) | peak RSS | tool / ours wall | tool / ours CPU |")
    print("|---|---:|---:|---:|---:|---:|")
    for k in ("ours", "opencv", "im"):
        if k in res:
            r = res[k]
            print("| %s | %.2f s | %.2f s | %.0f MB | %.1fx | %.1fx |" % (
                NAMES[k] + (" (a process each)" if k == "im" else ""), r.wall, r.cpu, r.peak_kb / 1024,
                r.wall / o.wall, r.cpu / o.cpu))
    print()
    print("batch: OpenCV / ours %.1fx wall, %.1fx CPU (target >= 10x)" % (res["opencv"].wall / o.wall,
                                                                           res["opencv"].cpu / o.cpu))
    print()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    ours = os.path.abspath(sys.argv[1])
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/plinthora-frame-compare"
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    noisy_dir = sys.argv[4] if len(sys.argv) > 4 else None
    count = int(os.environ.get("BATCH", "20"))
    batch_runs = int(os.environ.get("BATCH_RUNS", "1"))
    for tool in ("/usr/bin/convert", shutil.which("vips"), PYTHON):
        if not tool or not os.path.exists(tool):
            sys.exit("needs ImageMagick (/usr/bin/convert), vips and python3-opencv: "
                     "apt-get install imagemagick libvips-tools python3-opencv")
    if subprocess.run([PYTHON, "-c", "import cv2"], stderr=subprocess.DEVNULL).returncode != 0:
        sys.exit("needs python3-opencv under %s: apt-get install python3-opencv" % PYTHON)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    flat_dir = os.path.join(work, "flat")
    os.makedirs(flat_dir, exist_ok=True)
    subprocess.run([ours, "samples", flat_dir], env=env, check=True, stdout=subprocess.DEVNULL)
    stills = [Still("flat UI", ours, flat_dir, *(os.path.join(flat_dir, n) for n in
                                                 ("screenshot.png", "shell.png", "shell.cfg", "watermark.png")))]
    if noisy_dir:
        nd = os.path.join(work, "noisy")
        os.makedirs(nd, exist_ok=True)
        for n in ("shot.png", "shell.png", "shell.cfg", "wm.png"):
            shutil.copyfile(os.path.join(noisy_dir, n), os.path.join(nd, n))
        stills.append(Still("noisy", ours, nd, *(os.path.join(nd, n) for n in
                                                  ("shot.png", "shell.png", "shell.cfg", "wm.png"))))
    for still in stills:
        res = singles(still, env, runs)
        report_singles(still, res, split_of(still, env, runs), runs)
    b = stills[-1]
    report_batch(b, batch(b, env, count, batch_runs, os.environ.get("BATCH_IMAGEMAGICK", "1") != "0"), count)
    print("load average while measuring: %.1f on %d cores" % (os.getloadavg()[0], os.cpu_count()))


if __name__ == "__main__":
    main()
