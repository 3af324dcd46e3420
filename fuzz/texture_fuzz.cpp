// Viewer textures: the input is read both as a DirectDraw surface (".dds")
// and as a TGA file (".tga"), which the viewer decodes itself. Each reader
// refuses it, leaving no image and naming its format, or decodes it into an
// image of the sides its header gives.

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <cstring>

#include "clients/velkoeyedx/textureimage.h"
#include "fuzzinput.h"

namespace {

void CheckDds(const QByteArray& data, const uint8_t* pData) {
    QImage image(1, 1, QImage::Format_RGBA8888);
    if (!DecodeDDS(data, &image)) {
        velkofuzz::Check(image.isNull(), "a refused surface leaves no image");
        velkofuzz::Check(!DescribeDDS(data).empty(), "a refused surface has its format named");
        return;
    }
    uint32_t nHeight = 0;
    uint32_t nWidth = 0;
    std::memcpy(&nHeight, pData + 12, 4);
    std::memcpy(&nWidth, pData + 16, 4);
    velkofuzz::Check(
        image.width() == static_cast<int>(nWidth) && image.height() == static_cast<int>(nHeight),
        "a surface decodes to the sides its header gives");
}

void CheckTga(const QByteArray& data, const uint8_t* pData) {
    QImage image(1, 1, QImage::Format_RGBA8888);
    if (!DecodeTGA(data, &image)) {
        velkofuzz::Check(image.isNull(), "a refused TGA file leaves no image");
        velkofuzz::Check(!DescribeTGA(data).empty(), "a refused TGA file has its format named");
        return;
    }
    velkofuzz::Check(DescribeTGA(data).empty(), "a TGA file decoded is not described as refused");
    const int nWidth = pData[12] | (pData[13] << 8);
    const int nHeight = pData[14] | (pData[15] << 8);
    velkofuzz::Check(image.width() == nWidth && image.height() == nHeight,
                     "a TGA file decodes to the sides its header gives");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const QByteArray data(reinterpret_cast<const char*>(pData), static_cast<qsizetype>(nSize));
    CheckDds(data, pData);
    CheckTga(data, pData);
    return 0;
}
