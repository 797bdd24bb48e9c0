#!/usr/bin/python3
"""The same job done the way Python mockup generators do it with OpenCV:
read the screenshot, warp it into the shell's hole with warpPerspective,
lay the shell and the faded watermark over it (alpha over, in floats),
write the PNG with imwrite at OpenCV's default level. The shell and the
watermark are read once per process; every input is read, framed and
written in turn, so one input times the whole process for one still and
many time a loop in one process.

    opencv_frame.py SHELL.png SHELL.cfg WATERMARK.png ALPHA OUT_DIR INPUT...

Runs with Debian's python3-opencv (/usr/bin/python3, not a virtualenv's).
"""
import json
import os
import sys

import cv2
import numpy as np


def over(top, bottom):
    """Straight-alpha BGRA `top` over `bottom`, both float32 in 0..1."""
    ta, ba = top[..., 3:4], bottom[..., 3:4]
    out_a = ta + ba * (1.0 - ta)
    rgb = top[..., :3] * ta + bottom[..., :3] * ba * (1.0 - ta)
    rgb = np.divide(rgb, out_a, out=np.zeros_like(rgb), where=out_a > 0)
    return np.concatenate([rgb, out_a], axis=2)


def bgra(image):
    if image.ndim == 2:
        return cv2.cvtColor(image, cv2.COLOR_GRAY2BGRA)
    if image.shape[2] == 3:
        return cv2.cvtColor(image, cv2.COLOR_BGR2BGRA)
    return image


def main():
    if len(sys.argv) < 7:
        sys.exit(__doc__)
    shell_path, cfg_path, wm_path, alpha, out_dir = sys.argv[1:6]
    inputs = sys.argv[6:]
    cfg = json.load(open(cfg_path))
    hole = np.float32([[cfg["left_top_x"], cfg["left_top_y"]], [cfg["right_top_x"], cfg["right_top_y"]],
                       [cfg["right_bottom_x"], cfg["right_bottom_y"]], [cfg["left_bottom_x"], cfg["left_bottom_y"]]])
    shell = bgra(cv2.imread(shell_path, cv2.IMREAD_UNCHANGED)).astype(np.float32) / 255.0
    wm = bgra(cv2.imread(wm_path, cv2.IMREAD_UNCHANGED)).astype(np.float32) / 255.0
    wm[..., 3] *= float(alpha)
    height, width = shell.shape[:2]
    os.makedirs(out_dir, exist_ok=True)
    for path in inputs:
        shot = bgra(cv2.imread(path, cv2.IMREAD_UNCHANGED))
        h, w = shot.shape[:2]
        corners = np.float32([[0, 0], [w, 0], [w, h], [0, h]])
        m = cv2.getPerspectiveTransform(corners, hole)
        warped = cv2.warpPerspective(shot, m, (width, height), flags=cv2.INTER_LINEAR,
                                     borderMode=cv2.BORDER_CONSTANT, borderValue=(0, 0, 0, 0))
        canvas = over(wm, over(shell, warped.astype(np.float32) / 255.0))
        result = np.clip(canvas * 255.0 + 0.5, 0, 255).astype(np.uint8)
        name = os.path.splitext(os.path.basename(path))[0] + "-framed.png"
        if not cv2.imwrite(os.path.join(out_dir, name), result):
            sys.exit("cannot write " + name)


if __name__ == "__main__":
    main()
