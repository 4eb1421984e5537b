#!/usr/bin/env python3
# Reads an OME-Zarr volume the stitcher wrote with readers nobody here wrote:
# zarr-python opens every level, level 0 must equal the full-resolution TIFFs
# (read with tifffile) plane for plane, every chunk must be stored, and .zattrs
# must pass the NGFF 0.4 strict image schema. A volume whose attributes name
# the volumetric pyramid has the levels computed here from level 0 alone:
# y and x halve, z halves too while the level's spacing is under twice its
# pixel width (never without a unit, as without a voxel size), each voxel the
# mean of the 2 x 2 (x 2) it covers rounded half up, the levels ending once
# the largest side is at most 512; its chunks, scales and translations too,
# and no staged data left. Older (planar) volumes: each further level must be
# the rounded 2 x 2 mean of the one above, every level every slice. tifffile decodes no LZW without
# a codec package Debian lacks, so libtiff's tiffcp uncompresses each TIFF
# first. The schemas in ngff/ are copies
# of 0.4/schemas/image.schema and 0.4/schemas/strict_image.schema from the
# ome/ngff repository on GitHub.
# With --calibration X,Y,Z,D it also checks, with tifffile, that every TIFF
# under TIFF_DIR and its stackD/ sibling carries the ImageJ calibration of
# pixels X x Y (D times that in stackD/) and spacing Z.
# Usage: check_volume.py VOLUME TIFF_DIR [--calibration X,Y,Z,D]
#        check_volume.py --each VOLUME TIFF_DIR [VOLUME TIFF_DIR ...]
# (--each checks several volumes in one start of Python, without calibration.)
# Prints "ok" and exits 0, or prints what is wrong and exits 1.
import glob
import json
import os
import subprocess
import sys
import tempfile

import jsonschema
import numpy as np
import tifffile
import zarr


def fail(message):
    print(message)
    sys.exit(1)


def halved(level, fz=1):
    """The rounded mean of each 2 x 2 (fz 1) or 2 x 2 x 2 (fz 2) block, of
    fewer voxels at odd far edges."""
    count, height, width = level.shape
    depth = count + count % fz
    sums = np.zeros((depth, height + height % 2, width + width % 2))
    ones = np.zeros_like(sums)
    sums[:count, :height, :width] = level
    ones[:count, :height, :width] = 1
    shape = (depth // fz, fz, sums.shape[1] // 2, 2, sums.shape[2] // 2, 2)
    total = sums.reshape(shape).sum(axis=(1, 3, 5))
    voxels = ones.reshape(shape).sum(axis=(1, 3, 5))
    return np.floor(total / voxels + 0.5).astype(np.uint16)


def check_volumetric(volume, group, attributes, paths, level0):
    """The levels below level 0, computed from it, with their metadata."""
    datasets = attributes["multiscales"][0]["datasets"]
    with_unit = "unit" in attributes["multiscales"][0]["axes"][0]
    z, y, x = datasets[0]["coordinateTransformations"][0]["scale"]
    if not with_unit and [z, y, x] != [1, 1, 1]:
        fail("level 0 scale %s without a unit" % [z, y, x])
    want = [level0]
    halvings = [0]
    while True:
        last = want[-1]
        sides = last.shape if with_unit else last.shape[1:]
        if max(sides) <= 512:
            break
        level = len(want) - 1
        halves = with_unit and z * 2 ** halvings[-1] < 2 * x * 2 ** level
        below = halved(last, 2 if halves else 1)
        if below.shape == last.shape:
            break
        want.append(below)
        halvings.append(halvings[-1] + (1 if halves else 0))
    if len(paths) != len(want):
        fail("%d levels where %d are computed" % (len(paths), len(want)))
    for level, path in enumerate(paths):
        array = group[path]
        if level > 0 and not np.array_equal(array[:], want[level]):
            fail("level %s is not the rounded mean of the one above" % path)
        depth, height, width = want[level].shape
        chunks = ((1, min(height, 1024), min(width, 1024)) if level == 0 else
                  (min(depth, 16), min(height, 512), min(width, 512)))
        if tuple(array.chunks) != chunks:
            fail("level %s: chunks %s where %s" % (path, array.chunks, chunks))
        kz, f = halvings[level], 2 ** level
        scale = [z * 2 ** kz, y * f, x * f]
        transforms = datasets[level]["coordinateTransformations"]
        if transforms[0]["scale"] != scale:
            fail("level %s: scale %s where %s" % (path, transforms[0]["scale"], scale))
        if level > 0:
            shift = [(2 ** kz - 1) / 2 * z, (f - 1) / 2 * y, (f - 1) / 2 * x]
            if transforms[1]["translation"] != shift:
                fail("level %s: translation %s where %s"
                     % (path, transforms[1]["translation"], shift))
    if group[paths[-1]].nchunks > 64:
        fail("the coarsest level has %d chunks" % group[paths[-1]].nchunks)
    if os.path.exists(os.path.join(volume, ".staging")):
        fail("staged data is left in the volume")


def read_tiff(name):
    with tempfile.TemporaryDirectory() as scratch:
        plain = os.path.join(scratch, "plain.tif")
        subprocess.run(["tiffcp", "-c", "none", name, plain], check=True)
        return tifffile.imread(plain)


def stored_chunks(level_dir):
    """Chunk files under nested keys z/y/x, and nothing else."""
    count = 0
    for root, _, files in os.walk(level_dir):
        for name in files:
            key = os.path.relpath(os.path.join(root, name), level_dir).split(os.sep)
            if name != ".zarray":
                if len(key) != 3 or not all(part.isdigit() for part in key):
                    fail("%s holds %s" % (level_dir, "/".join(key)))
                count += 1
    return count


def check_schema(attributes):
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ngff")
    with open(os.path.join(here, "image.schema")) as f:
        image = json.load(f)
    with open(os.path.join(here, "strict_image.schema")) as f:
        strict = json.load(f)
    resolver = jsonschema.RefResolver.from_schema(strict, store={image["$id"]: image})
    jsonschema.Draft202012Validator(strict, resolver=resolver).validate(attributes)


def check_calibration(tiff_dir, text):
    x, y, z, factor = (float(v) for v in text.split(","))
    reduced_dir = os.path.join(os.path.dirname(os.path.normpath(tiff_dir)), "stack%d" % factor)
    for directory, scale in ((tiff_dir, 1), (reduced_dir, factor)):
        names = sorted(glob.glob(os.path.join(directory, "zstackds_*.tif")))
        if not names:
            fail("no TIFF in " + directory)
        for name in names:
            with tifffile.TiffFile(name) as tif:
                tags = tif.pages[0].tags
                meta = tif.imagej_metadata or {}
                size = [tags[t].value[1] / tags[t].value[0] for t in ("XResolution", "YResolution")]
                if (meta.get("unit") != "micron" or meta.get("spacing") != z
                        or tags["ResolutionUnit"].value != 1
                        or abs(size[0] - x * scale) > 1e-6 * x * scale
                        or abs(size[1] - y * scale) > 1e-6 * y * scale):
                    fail("%s: ImageJ metadata %s, pixel %s" % (name, meta, size))


def check(volume, tiff_dir):
    group = zarr.open_group(volume, mode="r")
    attributes = group.attrs.asdict()
    try:
        check_schema(attributes)
    except jsonschema.ValidationError as e:
        fail(".zattrs fails the strict schema: " + e.message)
    paths = [d["path"] for d in attributes["multiscales"][0]["datasets"]]
    if paths != [str(k) for k in range(len(paths))] or sorted(group.array_keys()) != sorted(paths):
        fail("levels %s, arrays %s" % (paths, sorted(group.array_keys())))
    tiffs = sorted(glob.glob(os.path.join(tiff_dir, "zstackds_1_*.tif")))
    volumetric = attributes.get("orvane", {}).get("pyramid") == "volumetric"
    above = None
    for path in paths:
        array = group[path]
        if array.dtype != np.dtype("<u2") or array.fill_value != 0:
            fail("level %s: dtype %s, fill value %s" % (path, array.dtype, array.fill_value))
        if not volumetric and (array.chunks[0] != 1 or max(array.chunks[1:]) > 1024):
            fail("level %s: chunks %s" % (path, array.chunks))
        stored = stored_chunks(os.path.join(volume, path))
        if stored != array.nchunks:
            fail("level %s: %d of %d chunks stored" % (path, stored, array.nchunks))
        if volumetric and above is not None:
            continue
        level = array[:]
        if above is None:
            if len(tiffs) != level.shape[0]:
                fail("%d TIFFs for %d planes" % (len(tiffs), level.shape[0]))
            for k, name in enumerate(tiffs):
                if not np.array_equal(read_tiff(name), level[k]):
                    fail("plane %d differs from %s" % (k, name))
        elif not np.array_equal(halved(above), level):
            fail("level %s is not the rounded 2 x 2 mean of the one above" % path)
        above = level
    if volumetric:
        check_volumetric(volume, group, attributes, paths, above)
        return
    if max(above.shape[1:]) > 1024 or (len(paths) > 1 and max(group[paths[-2]].shape[1:]) <= 1024):
        fail("levels end at %s" % (above.shape,))


def main():
    if sys.argv[1] == "--each":
        pairs = sys.argv[2:]
        for k in range(0, len(pairs), 2):
            try:
                check(pairs[k], pairs[k + 1])
            except SystemExit:
                print("in " + pairs[k])
                raise
            except Exception as e:
                fail("%s: %r" % (pairs[k], e))
    else:
        volume, tiff_dir = sys.argv[1:3]
        if len(sys.argv) == 5 and sys.argv[3] == "--calibration":
            check_calibration(tiff_dir, sys.argv[4])
        check(volume, tiff_dir)
    print("ok")


main()
