#include "clients/velkoeyedx/textureimage.h"

#include <QFile>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kHeaderSize = 128;  // "DDS " and the 124-byte surface description
constexpr uint32_t kPixelAlpha = 0x1;
constexpr uint32_t kPixelFourCC = 0x4;
constexpr uint32_t kPixelRGB = 0x40;
// Larger surfaces are refused rather than trusted: their sizes come from the file.
constexpr uint32_t kMaxSide = 16384;

constexpr uint32_t FourCC(const char (&sz)[5]) {
    return static_cast<uint32_t>(sz[0]) | (static_cast<uint32_t>(sz[1]) << 8) |
           (static_cast<uint32_t>(sz[2]) << 16) | (static_cast<uint32_t>(sz[3]) << 24);
}

uint32_t Read32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Read16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

using Rgba = std::array<unsigned char, 4>;

Rgba Expand565(uint16_t nColour) {
    const int r = (nColour >> 11) & 31;
    const int g = (nColour >> 5) & 63;
    const int b = nColour & 31;
    return {static_cast<unsigned char>((r << 3) | (r >> 2)),
            static_cast<unsigned char>((g << 2) | (g >> 4)),
            static_cast<unsigned char>((b << 3) | (b >> 2)), 255};
}

// The 16 pixels (row by row) of an 8-byte colour block. Only DXT1 knows the
// three-colour mode with its transparent fourth colour.
void DecodeColourBlock(const unsigned char* p, bool bDxt1, std::array<Rgba, 16>& pixels) {
    const uint16_t c0 = Read16(p);
    const uint16_t c1 = Read16(p + 2);
    std::array<Rgba, 4> palette{Expand565(c0), Expand565(c1), Rgba{}, Rgba{}};
    for (int k = 0; k < 3; ++k) {
        const int a = palette[0][k];
        const int b = palette[1][k];
        if (c0 > c1 || !bDxt1) {
            palette[2][k] = static_cast<unsigned char>((2 * a + b) / 3);
            palette[3][k] = static_cast<unsigned char>((a + 2 * b) / 3);
        } else {
            palette[2][k] = static_cast<unsigned char>((a + b) / 2);
        }
    }
    palette[2][3] = 255;
    palette[3][3] = (c0 > c1 || !bDxt1) ? 255 : 0;
    const uint32_t nIndices = Read32(p + 4);
    for (int i = 0; i < 16; ++i) {
        pixels[i] = palette[(nIndices >> (2 * i)) & 3];
    }
}

void DecodeExplicitAlpha(const unsigned char* p, std::array<Rgba, 16>& pixels) {
    for (int i = 0; i < 16; ++i) {
        const int nNibble = (p[i / 2] >> (4 * (i % 2))) & 15;
        pixels[i][3] = static_cast<unsigned char>(nNibble * 17);
    }
}

void DecodeInterpolatedAlpha(const unsigned char* p, std::array<Rgba, 16>& pixels) {
    const int a0 = p[0];
    const int a1 = p[1];
    std::array<int, 8> alphas{a0, a1};
    if (a0 > a1) {
        for (int k = 2; k < 8; ++k) {
            alphas[k] = ((8 - k) * a0 + (k - 1) * a1) / 7;
        }
    } else {
        for (int k = 2; k < 6; ++k) {
            alphas[k] = ((6 - k) * a0 + (k - 1) * a1) / 5;
        }
        alphas[6] = 0;
        alphas[7] = 255;
    }
    uint64_t nIndices = 0;
    for (int i = 0; i < 6; ++i) {
        nIndices |= static_cast<uint64_t>(p[2 + i]) << (8 * i);
    }
    for (int i = 0; i < 16; ++i) {
        pixels[i][3] = static_cast<unsigned char>(alphas[(nIndices >> (3 * i)) & 7]);
    }
}

bool DecodeBlocks(const unsigned char* pData, size_t nSize, uint32_t nFourCC, int nWidth,
                  int nHeight, QImage* pImage) {
    const bool bDxt1 = nFourCC == FourCC("DXT1");
    const bool bDxt3 = nFourCC == FourCC("DXT3");
    const bool bDxt5 = nFourCC == FourCC("DXT5");
    if (!bDxt1 && !bDxt3 && !bDxt5) {
        return false;
    }
    const size_t nBlockBytes = bDxt1 ? 8 : 16;
    const int nBlocksWide = (nWidth + 3) / 4;
    const int nBlocksHigh = (nHeight + 3) / 4;
    if (nSize < static_cast<size_t>(nBlocksWide) * nBlocksHigh * nBlockBytes) {
        return false;
    }
    QImage image(nWidth, nHeight, QImage::Format_RGBA8888);
    std::array<Rgba, 16> pixels{};
    for (int by = 0; by < nBlocksHigh; ++by) {
        for (int bx = 0; bx < nBlocksWide; ++bx) {
            const unsigned char* pBlock =
                pData + (static_cast<size_t>(by) * nBlocksWide + bx) * nBlockBytes;
            DecodeColourBlock(pBlock + (bDxt1 ? 0 : 8), bDxt1, pixels);
            if (bDxt3) {
                DecodeExplicitAlpha(pBlock, pixels);
            } else if (bDxt5) {
                DecodeInterpolatedAlpha(pBlock, pixels);
            }
            for (int i = 0; i < 16; ++i) {
                const int x = bx * 4 + i % 4;
                const int y = by * 4 + i / 4;
                if (x < nWidth && y < nHeight) {
                    std::memcpy(image.scanLine(y) + 4 * x, pixels[i].data(), 4);
                }
            }
        }
    }
    *pImage = std::move(image);
    return true;
}

// One channel of a pixel scaled to 0..255 (nDefault when the mask is empty).
unsigned char Channel(uint32_t nPixel, uint32_t nMask, unsigned char nDefault) {
    if (nMask == 0) {
        return nDefault;
    }
    const int nShift = std::countr_zero(nMask);
    const uint32_t nMax = nMask >> nShift;
    return static_cast<unsigned char>((static_cast<uint64_t>((nPixel & nMask) >> nShift) * 255) /
                                      nMax);
}

bool DecodeMasked(const unsigned char* pData, size_t nSize, const unsigned char* pFormat,
                  int nWidth, int nHeight, QImage* pImage) {
    const uint32_t nFlags = Read32(pFormat + 4);
    const uint32_t nBits = Read32(pFormat + 12);
    if (nBits != 16 && nBits != 24 && nBits != 32) {
        return false;
    }
    const uint32_t nMasks[4] = {Read32(pFormat + 16), Read32(pFormat + 20), Read32(pFormat + 24),
                                (nFlags & kPixelAlpha) ? Read32(pFormat + 28) : 0};
    const size_t nBytes = nBits / 8;
    if (nSize < static_cast<size_t>(nWidth) * nHeight * nBytes) {
        return false;
    }
    QImage image(nWidth, nHeight, QImage::Format_RGBA8888);
    for (int y = 0; y < nHeight; ++y) {
        unsigned char* pOut = image.scanLine(y);
        const unsigned char* pIn = pData + static_cast<size_t>(y) * nWidth * nBytes;
        for (int x = 0; x < nWidth; ++x, pIn += nBytes, pOut += 4) {
            uint32_t nPixel = 0;
            for (size_t b = 0; b < nBytes; ++b) {
                nPixel |= static_cast<uint32_t>(pIn[b]) << (8 * b);
            }
            for (int k = 0; k < 4; ++k) {
                pOut[k] = Channel(nPixel, nMasks[k], 255);
            }
        }
    }
    *pImage = std::move(image);
    return true;
}

}  // namespace

bool DecodeDDS(const QByteArray& data, QImage* pImage) {
    *pImage = QImage();
    if (data.size() < kHeaderSize || !data.startsWith("DDS ")) {
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const uint32_t nHeight = Read32(p + 12);
    const uint32_t nWidth = Read32(p + 16);
    if (Read32(p + 4) != 124 || nWidth == 0 || nHeight == 0 || nWidth > kMaxSide ||
        nHeight > kMaxSide) {
        return false;
    }
    const unsigned char* pFormat = p + 76;
    const uint32_t nFlags = Read32(pFormat + 4);
    const unsigned char* pPixels = p + kHeaderSize;
    const size_t nSize = static_cast<size_t>(data.size()) - kHeaderSize;
    if (nFlags & kPixelFourCC) {
        return DecodeBlocks(pPixels, nSize, Read32(pFormat + 8), static_cast<int>(nWidth),
                            static_cast<int>(nHeight), pImage);
    }
    if (nFlags & kPixelRGB) {
        return DecodeMasked(pPixels, nSize, pFormat, static_cast<int>(nWidth),
                            static_cast<int>(nHeight), pImage);
    }
    return false;
}

bool LoadTextureImage(const std::string& strPath, QImage* pImage) {
    *pImage = QImage();
    const QString strFile = QString::fromStdString(strPath);
    if (strFile.endsWith(QLatin1String(".dds"), Qt::CaseInsensitive)) {
        QFile file(strFile);
        return file.open(QIODevice::ReadOnly) && DecodeDDS(file.readAll(), pImage);
    }
    return pImage->load(strFile);
}
