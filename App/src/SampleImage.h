// The built-in sample image the demo runs every filter on: no file needed.
#pragma once

#include "pictra/Image.h"

namespace pictra {

// A 256x256 8-bit RGB picture with smooth gradients, hard-edged shapes, fine
// stripes and a little noise, so blurs, sharpeners and tone filters all show.
Image MakeSampleImage(int16_t mode = kModeRGB);

}  // namespace pictra
