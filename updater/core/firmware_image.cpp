#include "firmware_image.h"

namespace mirovane {

void FirmwareImage::ResetImage() {
    FWImage.fill(kErasedByte);
    FWHighAddr = kApplicationStart;
    FWConfig.fill(kErasedByte);
}

}  // namespace mirovane
