#!/usr/bin/env python3
"""Whole-process comparison of `plinthora frame` with ImageMagick's convert
and the vips command line on the same files, in one run.

The job: map a 1170 x 2532 screenshot into the sample shell's hole (1350 x
2750, perspective), draw the shell over it and a watermark at 0.6 alpha
over everything, write a PNG. Each tool is timed as a user runs it, process
start to exit, median of RUNS. vips gets its perspective map prebuilt (it
has no perspective operation), so only the resampling, the alpha scaling,
the composite and the PNG write are timed for it. Our own run is also taken
apart with the debug log: start-up, decode, compose, encode, write.

    frame_compare.py PLINTHORA_BINARY [WORK_DIR] [RUNS]

Prints a Markdown table (time, ratio, PNG size) and the split.
"""
import json
import os
import re
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import time

ALPHA = 0.6


CPU = {}  # tool -> CPU seconds (user + system) of its timed runs


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run(cmd, env=None, tool=None):
    c0, t0 = cpu_seconds(), time.perf_counter()
    r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    t = time.perf_counter() - t0
    if tool:
        CPU.setdefault(tool, []).append(cpu_seconds() - c0)
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr.decode(errors="replace")))
    return t, r


def median_time(cmd, runs, env=None, tool=None):
    run(cmd, env)  # warm the page cache and the dynamic loader
    return statistics.median(run(cmd, env, tool)[0] for _ in range(runs))


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


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    ours = os.path.abspath(sys.argv[1])
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/plinthora-frame-compare"
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    convert = "/usr/bin/convert"  # ImageMagick's own, whatever else PATH offers
    for tool in (convert, shutil.which("vips")):
        if not tool or not os.path.exists(tool):
            sys.exit("needs ImageMagick (/usr/bin/convert) and vips: apt-get install imagemagick libvips-tools")
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    subprocess.run([ours, "samples", work], env=env, check=True, stdout=subprocess.DEVNULL)
    shot, shell, wm = (os.path.join(work, n) for n in ("screenshot.png", "shell.png", "watermark.png"))
    cfg = json.load(open(os.path.join(work, "shell.cfg")))
    sw, sh = 1170, 2532
    W, H = cfg["template_width"], cfg["template_height"]
    quad = [(cfg["left_top_x"], cfg["left_top_y"]), (cfg["right_top_x"], cfg["right_top_y"]),
            (cfg["right_bottom_x"], cfg["right_bottom_y"]), (cfg["left_bottom_x"], cfg["left_bottom_y"])]
    corners = [(0, 0), (sw, 0), (sw, sh), (0, sh)]

    out_ours = os.path.join(work, "ours.png")
    out_im = os.path.join(work, "imagemagick.png")
    out_vips = os.path.join(work, "vips.png")

    # Ours: the whole command as a user types it. -o names a file that is
    # replaced on every run.
    cmd_ours = [ours, "frame", shot, "--shell", shell, "--watermark", wm, "--mode", "1", "--blend", "正常",
                "--opacity", str(ALPHA), "-o", out_ours]
    points = " ".join("%g,%g %g,%g" % (s[0], s[1], d[0], d[1]) for s, d in zip(corners, quad))
    cmd_im = [convert, shot, "-virtual-pixel", "transparent", "-define", "distort:viewport=%dx%d+0+0" % (W, H),
              "-distort", "Perspective", points, shell, "-composite",
              "(", wm, "-channel", "A", "-evaluate", "multiply", str(ALPHA), "+channel", ")", "-composite", out_im]
    vmap = os.path.join(work, "map.v")
    if not os.path.exists(vmap):
        write_vips_map(vmap, homography(quad, corners), W, H, sw, sh)
    warped, wma = os.path.join(work, "warped.v"), os.path.join(work, "wm-alpha.v")
    cmd_vips = [
        ["vips", "mapim", shot, warped, vmap, "--interpolate", "bilinear"],
        ["vips", "linear", wm, wma, "1 1 1 %g" % ALPHA, "0 0 0 0", "--uchar"],
        ["vips", "composite", "%s %s %s" % (warped, shell, wma), out_vips, "2 2"],
    ]

    def vips_once(tool=None):
        c0 = cpu_seconds()
        t = sum(run(c)[0] for c in cmd_vips)
        if tool:
            CPU.setdefault(tool, []).append(cpu_seconds() - c0)
        return t

    # Interleaved, so that a change in the machine's load falls on all three.
    run(cmd_ours, env), run(cmd_im), vips_once()
    times = {"ours": [], "im": [], "vips": []}
    for i in range(runs):
        times["ours"].append(run(cmd_ours, env, "ours")[0])
        if i < max(1, min(runs, 3)):
            times["im"].append(run(cmd_im, None, "im")[0])
        times["vips"].append(vips_once("vips"))
    t_ours, t_im, t_vips = (statistics.median(times[k]) for k in ("ours", "im", "vips"))
    cpu = {k: statistics.median(v) for k, v in CPU.items()}

    # Where our time goes: the debug log's split of one run, and the rest of
    # the process (loading, start-up, exit) from the wall time around it.
    splits = []
    for _ in range(runs):
        t, r = run(cmd_ours, dict(env, PLINTHORA_DEBUG="1"))
        log = r.stderr.decode(errors="replace")
        m = re.search(r"decode ([\d.]+) ms.*compose ([\d.]+) ms, encode ([\d.]+) ms, write ([\d.]+) ms", log)
        inside = re.search(r"input\(s\) in ([\d.]+) ms after start-up", log)
        if not m or not inside:
            sys.exit("no timing in the debug log:\n" + log)
        d, c, e, w = (float(x) for x in m.groups())
        splits.append((t * 1e3 - float(inside.group(1)), d, c, e, w, t * 1e3))
    split = [statistics.median(s[i] for s in splits) for i in range(6)]

    size = {k: os.path.getsize(p) for k, p in (("ours", out_ours), ("im", out_im), ("vips", out_vips))}
    print("| tool (whole process, median) | wall time | ImageMagick / tool | CPU time (user + sys) | PNG bytes "
          "| size / ImageMagick |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, t, k in (("`plinthora frame`", t_ours, "ours"), ("ImageMagick `convert`", t_im, "im"),
                       ("vips command line (prebuilt map)", t_vips, "vips")):
        print("| %s | %.0f ms | %.1fx | %.0f ms | %d | %.3f |" % (name, t * 1e3, t_im / t, cpu[k] * 1e3, size[k],
                                                                size[k] / size["im"]))
    print()
    print("ours vs ImageMagick: %.1fx faster (target >= 10x); vs vips: %.1fx faster (target >= 3.5x); "
          "PNG %.3f of ImageMagick's size (target <= 1.05)" % (t_im / t_ours, t_vips / t_ours,
                                                              size["ours"] / size["im"]))
    print("CPU time: ImageMagick / ours %.1fx, vips / ours %.1fx; load average while measuring: %.1f on %d cores"
          % (cpu["im"] / cpu["ours"], cpu["vips"] / cpu["ours"], os.getloadavg()[0], os.cpu_count()))
    print("our split (ms, median of %d debug runs of %.0f ms): start-up and exit %.0f, decode %.0f, "
          "compose %.0f, encode %.0f, write %.0f" % (runs, split[5], split[0], split[1], split[2], split[3], split[4]))


if __name__ == "__main__":
    main()
