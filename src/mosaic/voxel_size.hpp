// The acquisition's calibration: how large a pixel is and how far apart the slices are.
#pragma once

namespace orvane {

// Pixel width, pixel height and slice spacing in micrometres.
struct voxel_size {
    double x = 0, y = 0, z = 0;
};

}  // namespace orvane
