// Viewer textures: the input is a DirectDraw surface (".dds"), which the
// viewer decodes itself. A surface is refused, leaving no image, or decoded
// into an image of the sides its header gives.

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <cstring>

#include "clients/velkoeyedx/textureimage.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const QByteArray data(reinterpret_cast<const char*>(pData), static_cast<qsizetype>(nSize));
    QImage image(1, 1, QImage::Format_RGBA8888);
    if (!DecodeDDS(data, &image)) {
        velkofuzz::Check(image.isNull(), "a refused surface leaves no image");
        velkofuzz::Check(!DescribeDDS(data).empty(), "a refused surface has its format named");
        return 0;
    }
    uint32_t nHeight = 0;
    uint32_t nWidth = 0;
    std::memcpy(&nHeight, pData + 12, 4);
    std::memcpy(&nWidth, pData + 16, 4);
    velkofuzz::Check(
        image.width() == static_cast<int>(nWidth) && image.height() == static_cast<int>(nHeight),
        "a surface decodes to the sides its header gives");
    return 0;
}
