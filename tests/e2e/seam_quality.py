#!/usr/bin/env python3
"""How far a stitched stack lies from the known truth it was cut from.

    seam_quality.py OUTDIR TRUTHDIR -x XOVERLAP -s SPLITNUMBER [--offset V]
                    [--max-rmse PCT] [--max-contrast RATIO] [--max-misalign PX] [--max-lost PCT]

OUTDIR is orvane's output folder (its full-resolution slices in OUTDIR/stack1/, or the
TIFFs in OUTDIR itself); TRUTHDIR holds truth_zNNNN.tif, the mosaic each slice should be,
and columns.csv (slice,column,dx,dy,gain), each column's true place against the nominal one.
The truth shows the specimen over the camera's offset, as a plain mosaic keeps it; for a run
that takes the dark field away, --offset V (100 for the generator's tiles) compares with the
truth less V.

Per slice and over all slices it prints:
  rmse %     root mean square error against the truth, in % of the truth's range, over the
             pixels both show;
  lost %     share of the pixels the truth shows that the output leaves uncovered: rows of a
             column's band all 0 where the truth is not;
  contrast   seam contrast: the median absolute step between the two pixel columns that meet
             at each seam, over the same step between ordinary neighbouring pixel columns
             beside the seam, outside the overlap (the mean steps instead where an image is
             so flat that the ordinary median is 0, marked *);
  specimen   the same of the truth: the specimen's own at those places, 1 only on average;
  relative   contrast / specimen, 1 for a perfect stitch whatever the specimen (--max-contrast
             bounds this one);
  misalign   the largest seam misalignment in px: how far apart the two columns' contents
             lie at a seam, measured in the image against the truth (each column's band is
             located in the truth to a tenth of a pixel), and, when OUTDIR/seams.csv exists,
             the error of the relative shift it reports against columns.csv.
Exit status 1 when a --max-* bound is exceeded, 2 on unusable input. Written for numpy and
tifffile alone, sharing nothing with the program it measures; tifffile decodes no LZW without
a codec package Debian lacks, so libtiff's tiffcp uncompresses a compressed TIFF first.
"""

import argparse
import csv
import glob
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
import tifffile

# Pixel columns on each side of a seam, beyond the overlap, whose steps make
# the ordinary steps a seam's step is compared with.
ORDINARY_COLUMNS = 16


def fail(text):
    print(f"seam_quality: {text}", file=sys.stderr)
    sys.exit(2)


def numbered(pattern):
    """{index: path} of the files matching pattern, the index being the last digits of the name."""
    found = {}
    for path in glob.glob(pattern):
        digits = re.findall(r"(\d+)\.tiff?$", os.path.basename(path))
        if digits:
            found[int(digits[0])] = path
    return found


def read_tiff(path):
    with tifffile.TiffFile(path) as tif:
        if tif.pages[0].compression == 1:
            return tif.asarray()
    with tempfile.TemporaryDirectory() as scratch:
        plain = os.path.join(scratch, "plain.tif")
        done = subprocess.run(["tiffcp", "-c", "none", path, plain], capture_output=True,
                              text=True)
        if done.returncode:
            fail(f"tiffcp cannot read {path}: {done.stderr.strip()}")
        return tifffile.imread(plain)


def read_places(path):
    """{(slice, column): (dx, dy, gain)} of columns.csv, or {} when it does not exist."""
    if not os.path.exists(path):
        return {}
    with open(path, newline="") as f:
        return {(int(r["slice"]), int(r["column"])): (int(r["dx"]), int(r["dy"]),
                                                      float(r["gain"]))
                for r in csv.DictReader(f)}


def read_seams(path):
    """{(slice, left column): (dx, dy)} of the program's seams.csv, or None when it does not
    exist. A first line naming the fields is a header; otherwise the fields are in the order
    slice, left_column, dx, dy, score, reliable, gain_left, gain_right."""
    if not os.path.exists(path):
        return None
    rows = {}
    with open(path, newline="") as f:
        lines = [r for r in csv.reader(f) if r]
    if lines and not lines[0][0].strip().lstrip("-").isdigit():
        names = [n.strip() for n in lines[0]]
        lines = [dict(zip(names, r)) for r in lines[1:]]
        lines = [[r["slice"], r["left_column"], r["dx"], r["dy"]] for r in lines]
    for r in lines:
        rows[(int(r[0]), int(r[1]))] = (int(float(r[2])), int(float(r[3])))
    return rows


def steps(image, covered, left_columns):
    """|image[:, c] - image[:, c - 1]| for each c in left_columns + 1, where both are covered."""
    found = []
    for c in left_columns:
        both = covered[:, c] & covered[:, c + 1]
        found.append(np.abs(image[both, c + 1] - image[both, c]))
    return np.concatenate(found) if found else np.zeros(0)


def seam_steps(image, covered, seams, xoverlap, width):
    """The steps across the seams, and ordinary steps beside them outside the overlap."""
    at_seam = steps(image, covered, [c - 1 for c in seams])
    pitch = seams[0] if seams else width
    near = max(2, xoverlap + 2)
    far = min(near + ORDINARY_COLUMNS, max(near + 1, pitch // 2))
    ordinary = []
    for c in seams:
        for k in range(near, far):
            for left in (c + k, c - k - 1):
                if 0 <= left and left + 1 < width:
                    ordinary.append(left)
    return at_seam, steps(image, covered, ordinary)


def contrasts(seam, ordinary, truth_seam, truth_ordinary):
    """(output's, specimen's, marked): both by medians where neither image's ordinary steps
    have a median of 0, else both by means."""
    if min(seam.size, ordinary.size, truth_seam.size, truth_ordinary.size) == 0:
        return float("nan"), float("nan"), False
    marked = not (np.median(ordinary) > 0 and np.median(truth_ordinary) > 0)
    statistic = np.mean if marked else np.median

    def ratio(a, b):
        below = float(statistic(b))
        return float(statistic(a)) / below if below > 0 else float("nan")

    return ratio(seam, ordinary), ratio(truth_seam, truth_ordinary), marked


def locate(out, truth, covered, x0, x1, reach):
    """Where the content of out's columns x0..x1 lies against the truth: (dx, dy) with
    out(x, y) ~ truth(x - dx, y - dy), from the peak of their normalised cross-correlation
    within +-reach, refined by a parabola through its neighbours. None where the band has too
    little structure to tell."""
    rows = np.flatnonzero(covered[:, x0:x1].all(axis=1))
    if rows.size < 4 * reach + 8 or x1 - x0 < 2 * reach + 8:
        return None
    y0, y1 = rows[0] + reach, rows[-1] + 1 - reach
    a = out[y0:y1, x0 + reach:x1 - reach]
    b = truth[y0 - reach:y1 + reach, x0:x1]
    a = a - a.mean()
    if a.std() == 0 or b.std() == 0:
        return None
    h, w = a.shape
    # Correlation of a with every window of b at offsets 0..2*reach, by FFT.
    shape = (b.shape[0] + h, b.shape[1] + w)
    spectrum = np.fft.rfft2(b - b.mean(), shape) * np.conj(np.fft.rfft2(a, shape))
    corr = np.fft.irfft2(spectrum, shape)[:2 * reach + 1, :2 * reach + 1]
    # Each window's own energy, from summed-area tables, so brighter windows do not win.
    b2 = np.pad(np.cumsum(np.cumsum((b - b.mean()) ** 2, 0), 1), ((1, 0), (1, 0)))
    b1 = np.pad(np.cumsum(np.cumsum(b - b.mean(), 0), 1), ((1, 0), (1, 0)))
    n = h * w

    def window(t, i, j):
        return t[i + h, j + w] - t[i, j + w] - t[i + h, j] + t[i, j]

    i, j = np.mgrid[:2 * reach + 1, :2 * reach + 1]
    energy = window(b2, i, j) - window(b1, i, j) ** 2 / n
    ncc = corr / np.sqrt(np.maximum(energy, 1e-9) * float((a * a).sum()))
    pi, pj = np.unravel_index(np.argmax(ncc), ncc.shape)
    if ncc[pi, pj] < 0.3:
        return None

    def refine(m, p):
        if 0 < p < len(m) - 1:
            den = m[p - 1] - 2 * m[p] + m[p + 1]
            if den < 0:
                return p + 0.5 * (m[p - 1] - m[p + 1]) / den
        return float(p)

    # Window offset (i, j) matches truth(x - reach + j, y - reach + i): dx = reach - j.
    return reach - refine(ncc[pi, :], pj), reach - refine(ncc[:, pj], pi)


def measure_slice(out, truth, columns, xoverlap, reach, offset):
    height, width = truth.shape
    pitch = width // columns
    seams = [pitch * j for j in range(1, columns)]
    # 0 in the truth is where no tile reaches; the specimen itself is at least the offset.
    shown = truth > 0
    truth = np.where(shown, np.maximum(truth - offset, 0), 0)
    # A corrected output may be 0 where the specimen is dark; a tile that does not reach a
    # row leaves that row of its column's band 0 all across.
    uncovered = np.zeros_like(shown)
    for j in range(columns):
        band = slice(pitch * j, pitch * (j + 1))
        uncovered[:, band] = ((out[:, band] == 0).all(axis=1) &
                              (truth[:, band] > 0).any(axis=1))[:, None]
    covered = shown & ~uncovered
    err = out[covered] - truth[covered]
    result = {"sq": float((err * err).sum()), "n": int(covered.sum()),
              "lo": float(truth[shown].min()) if shown.any() else 0.0,
              "hi": float(truth[shown].max()) if shown.any() else 0.0,
              "lost": int((shown & uncovered).sum()), "shown": int(shown.sum())}
    result["seam"], result["ordinary"] = seam_steps(out, covered, seams, xoverlap, width)
    result["truth_seam"], result["truth_ordinary"] = seam_steps(truth, shown, seams, xoverlap,
                                                                width)
    inner = min(xoverlap, pitch // 4)
    result["bands"] = [locate(out, truth, covered, pitch * j + inner, pitch * (j + 1) - inner,
                              reach) for j in range(columns)]
    return result


def misalignment(bands):
    """Per seam, how far the right band's content lies from the left one's; None where a band
    could not be located."""
    found = []
    for left, right in zip(bands, bands[1:]):
        found.append(None if left is None or right is None
                     else float(np.hypot(right[0] - left[0], right[1] - left[1])))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir")
    parser.add_argument("truthdir")
    parser.add_argument("-x", dest="xoverlap", type=int, required=True)
    parser.add_argument("-s", dest="columns", type=int, required=True)
    parser.add_argument("--offset", type=float, default=0.0,
                        help="the camera's offset the output has lost against the truth")
    parser.add_argument("--reach", type=int, default=8,
                        help="how far, in px, a column's content is looked for (default 8)")
    parser.add_argument("--max-rmse", type=float, help="bound on the overall RMSE, %% of range")
    parser.add_argument("--max-contrast", type=float,
                        help="bound on the overall seam contrast relative to the specimen's own")
    parser.add_argument("--max-misalign", type=float, help="bound on every seam's misalignment")
    parser.add_argument("--max-lost", type=float, help="bound on the overall lost share, %%")
    opts = parser.parse_args()
    if opts.columns < 1 or opts.xoverlap < 0:
        fail("-s must be at least 1 and -x at least 0")

    stack = os.path.join(opts.outdir, "stack1")
    outputs = numbered(os.path.join(stack if os.path.isdir(stack) else opts.outdir, "*.tif"))
    truths = numbered(os.path.join(opts.truthdir, "truth_z*.tif"))
    if not truths:
        fail(f"no truth_z*.tif in {opts.truthdir}")
    missing = sorted(set(truths) - set(outputs))
    if missing:
        fail(f"no output for slices {missing[:10]} in {opts.outdir}")
    places = read_places(os.path.join(opts.truthdir, "columns.csv"))
    seams_csv = read_seams(os.path.join(opts.outdir, "seams.csv"))

    print("slice  rmse %  lost %  contrast specimen relative  misalign px: image  seams.csv")
    total = {"sq": 0.0, "n": 0, "lo": np.inf, "hi": -np.inf, "lost": 0, "shown": 0}
    pooled = {k: [] for k in ("seam", "ordinary", "truth_seam", "truth_ordinary")}
    worst_image, worst_csv, unlocated, unreported = 0.0, 0.0, 0, 0
    located = []
    any_marked = False
    for k in sorted(truths):
        truth = read_tiff(truths[k]).astype(np.float64)
        out = read_tiff(outputs[k]).astype(np.float64)
        if out.shape != truth.shape:
            fail(f"slice {k}: output is {out.shape[::-1]}, the truth {truth.shape[::-1]}")
        if truth.shape[1] % opts.columns:
            fail(f"the truth's width {truth.shape[1]} is no multiple of {opts.columns} columns")
        r = measure_slice(out, truth, opts.columns, opts.xoverlap, opts.reach, opts.offset)
        for key in ("sq", "n", "lost", "shown"):
            total[key] += r[key]
        total["lo"], total["hi"] = min(total["lo"], r["lo"]), max(total["hi"], r["hi"])
        for key in pooled:
            pooled[key].append(r[key])
        span = r["hi"] - r["lo"]
        rmse = 100.0 * np.sqrt(r["sq"] / r["n"]) / span if r["n"] and span > 0 else float("nan")
        contrast, own, marked = contrasts(r["seam"], r["ordinary"], r["truth_seam"],
                                          r["truth_ordinary"])
        any_marked = any_marked or marked
        apart = misalignment(r["bands"])
        unlocated += sum(a is None for a in apart)
        located += [a for a in apart if a is not None]
        image_worst = max((a for a in apart if a is not None), default=float("nan"))
        if apart and all(a is not None for a in apart):
            worst_image = max(worst_image, image_worst)
        csv_text = "-"
        if seams_csv is not None and places:
            errors = []
            for j in range(opts.columns - 1):
                reported = seams_csv.get((k, j))
                if reported is None or (k, j) not in places or (k, j + 1) not in places:
                    unreported += 1
                    continue
                true_dx = places[(k, j + 1)][0] - places[(k, j)][0]
                true_dy = places[(k, j + 1)][1] - places[(k, j)][1]
                errors.append(float(np.hypot(reported[0] - true_dx, reported[1] - true_dy)))
            if errors:
                worst_csv = max(worst_csv, max(errors))
                csv_text = f"{max(errors):.2f}"
        lost = 100.0 * r["lost"] / r["shown"] if r["shown"] else 0.0
        print(f"{k:5d}  {rmse:6.3f}  {lost:6.3f}  {contrast:7.2f}{'*' if marked else ' '} "
              f"{own:7.2f}  {contrast / own:8.3f}  {image_worst:18.2f}  {csv_text:>9}")

    span = total["hi"] - total["lo"]
    rmse = 100.0 * np.sqrt(total["sq"] / total["n"]) / span if total["n"] and span > 0 else \
        float("nan")
    joined = {k: np.concatenate(v) for k, v in pooled.items()}
    contrast, own, marked = contrasts(joined["seam"], joined["ordinary"], joined["truth_seam"],
                                      joined["truth_ordinary"])
    relative = contrast / own
    lost = 100.0 * total["lost"] / total["shown"] if total["shown"] else 0.0
    csv_text = f"{worst_csv:.2f}" if seams_csv is not None and places else "-"
    print(f"  all  {rmse:6.3f}  {lost:6.3f}  {contrast:7.2f}{'*' if marked else ' '} "
          f"{own:7.2f}  {relative:8.3f}  {worst_image:18.2f}  {csv_text:>9}")
    if located:
        print(f"mean seam misalignment in the image {np.mean(located):.2f} px over "
              f"{len(located)} seams")
    if marked or any_marked:
        print("* mean steps: the image is so flat beside the seams that the median step is 0")
    if unlocated:
        print(f"{unlocated} seam(s) with a band too plain to locate in the image")
    if seams_csv is not None and unreported:
        print(f"{unreported} seam(s) missing from seams.csv or columns.csv")

    exceeded = []
    if opts.max_rmse is not None and not rmse <= opts.max_rmse:
        exceeded.append(f"RMSE {rmse:.3f} % > {opts.max_rmse} %")
    if opts.max_contrast is not None and not relative <= opts.max_contrast:
        exceeded.append(f"seam contrast {contrast:.3f}, {relative:.3f} times the specimen's "
                        f"own, > {opts.max_contrast}")
    if opts.max_misalign is not None:
        if unlocated:
            exceeded.append(f"{unlocated} seam(s) not located")
        if not worst_image <= opts.max_misalign:
            exceeded.append(f"misalignment in the image {worst_image:.2f} px > "
                            f"{opts.max_misalign} px")
        if seams_csv is not None and places and (unreported or worst_csv > opts.max_misalign):
            exceeded.append(f"seams.csv off by {worst_csv:.2f} px, {unreported} seam(s) "
                            "missing")
    if opts.max_lost is not None and not lost <= opts.max_lost:
        exceeded.append(f"lost {lost:.3f} % > {opts.max_lost} %")
    for text in exceeded:
        print(f"seam_quality: exceeded: {text}", file=sys.stderr)
    return 1 if exceeded else 0


if __name__ == "__main__":
    sys.exit(main())
