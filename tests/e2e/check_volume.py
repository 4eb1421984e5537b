#!/usr/bin/env python3
# Reads an OME-Zarr volume the stitcher wrote with readers nobody here wrote:
# zarr-python opens every level, level 0 must equal the full-resolution TIFFs
# (read with tifffile) plane for plane, each further level must be the
# rounded 2 x 2 mean of the one above, every chunk must be stored, and .zattrs
# must pass the NGFF 0.4 strict image schema. tifffile decodes no LZW without
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


def halved(level):
    """The rounded mean of each 2 x 2 block, of fewer pixels at odd far edges."""
    count, height, width = level.shape
    sums = np.zeros((count, height + height % 2, width + width % 2))
    ones = np.zeros_like(sums)
    sums[:, :height, :width] = level
    ones[:, :height, :width] = 1
    shape = (count, sums.shape[1] // 2, 2, sums.shape[2] // 2, 2)
    total = sums.reshape(shape).sum(axis=(2, 4))
    pixels = ones.reshape(shape).sum(axis=(2, 4))
    return np.floor(total / pixels + 0.5).astype(np.uint16)


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
    above = None
    for path in paths:
        array = group[path]
        if array.dtype != np.dtype("<u2") or array.fill_value != 0:
            fail("level %s: dtype %s, fill value %s" % (path, array.dtype, array.fill_value))
        if array.chunks[0] != 1 or max(array.chunks[1:]) > 1024:
            fail("level %s: chunks %s" % (path, array.chunks))
        stored = stored_chunks(os.path.join(volume, path))
        if stored != array.nchunks:
            fail("level %s: %d of %d chunks stored" % (path, stored, array.nchunks))
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
