#include "clients/velkoeyedx/textureimage.h"

#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// The block formats, as the older header names them.
enum BlockFormat { BF_NONE, BF_DXT1, BF_DXT3, BF_DXT5 };

BlockFormat BlockFormatOf(uint32_t nFourCC) {
    return nFourCC == FourCC("DXT1")   ? BF_DXT1
           : nFourCC == FourCC("DXT3") ? BF_DXT3
           : nFourCC == FourCC("DXT5") ? BF_DXT5
                                       : BF_NONE;
}

bool DecodeBlocks(const unsigned char* pData, size_t nSize, BlockFormat eFormat, int nWidth,
                  int nHeight, QImage* pImage) {
    const bool bDxt1 = eFormat == BF_DXT1;
    const bool bDxt3 = eFormat == BF_DXT3;
    const bool bDxt5 = eFormat == BF_DXT5;
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

// Uncompressed pixels of nBits bits, each channel given by its mask (red,
// green, blue, alpha; an empty alpha mask gives opaque pixels).
struct MaskedFormat {
    uint32_t nBits = 0;
    uint32_t nMasks[4] = {0, 0, 0, 0};
};

bool DecodeMasked(const unsigned char* pData, size_t nSize, const MaskedFormat& format, int nWidth,
                  int nHeight, QImage* pImage) {
    const uint32_t nBits = format.nBits;
    if (nBits != 16 && nBits != 24 && nBits != 32) {
        return false;
    }
    const uint32_t* nMasks = format.nMasks;
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

// What the header says of a surface.
struct SurfaceFormat {
    // Why the header cannot be read, or what format it names that is not
    // decoded; empty when the surface can be decoded.
    std::string strRefused;
    BlockFormat eBlocks = BF_NONE;
    MaskedFormat masked;
    uint32_t nWidth = 0;
    uint32_t nHeight = 0;
    // Where the pixels begin.
    size_t nDataOffset = kHeaderSize;
};

constexpr uint32_t kPixelAlphaOnly = 0x2;
constexpr uint32_t kPixelYuv = 0x200;
constexpr uint32_t kPixelLuminance = 0x20000;
constexpr int kDx10HeaderSize = 20;
constexpr uint32_t kDimension1D = 2;
constexpr uint32_t kDimension2D = 3;

// A format of the DX10 header: its name and, when it is one of those the
// older header gives too, how to decode it.
struct DxgiFormat {
    uint32_t nCode;
    const char* pszName;
    BlockFormat eBlocks;
    MaskedFormat masked;
};

constexpr MaskedFormat kRgba8{32, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}};
constexpr MaskedFormat kBgra8{32, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}};
constexpr MaskedFormat kBgrx8{32, {0xFF0000, 0xFF00, 0xFF, 0}};
constexpr MaskedFormat kRgb10A2{32, {0x3FF, 0xFFC00, 0x3FF00000, 0xC0000000}};
constexpr MaskedFormat kNotMasked{};

constexpr DxgiFormat kDxgiFormats[] = {
    {2, "R32G32B32A32_FLOAT", BF_NONE, kNotMasked},
    {10, "R16G16B16A16_FLOAT", BF_NONE, kNotMasked},
    {11, "R16G16B16A16_UNORM", BF_NONE, kNotMasked},
    {23, "R10G10B10A2_TYPELESS", BF_NONE, kRgb10A2},
    {24, "R10G10B10A2_UNORM", BF_NONE, kRgb10A2},
    {26, "R11G11B10_FLOAT", BF_NONE, kNotMasked},
    {27, "R8G8B8A8_TYPELESS", BF_NONE, kRgba8},
    {28, "R8G8B8A8_UNORM", BF_NONE, kRgba8},
    {29, "R8G8B8A8_UNORM_SRGB", BF_NONE, kRgba8},
    {31, "R8G8B8A8_SNORM", BF_NONE, kNotMasked},
    {41, "R32_FLOAT", BF_NONE, kNotMasked},
    {49, "R8G8_UNORM", BF_NONE, kNotMasked},
    {54, "R16_FLOAT", BF_NONE, kNotMasked},
    {56, "R16_UNORM", BF_NONE, kNotMasked},
    {61, "R8_UNORM", BF_NONE, kNotMasked},
    {65, "A8_UNORM", BF_NONE, kNotMasked},
    {67, "R9G9B9E5_SHAREDEXP", BF_NONE, kNotMasked},
    {70, "BC1_TYPELESS", BF_DXT1, kNotMasked},
    {71, "BC1_UNORM", BF_DXT1, kNotMasked},
    {72, "BC1_UNORM_SRGB", BF_DXT1, kNotMasked},
    {73, "BC2_TYPELESS", BF_DXT3, kNotMasked},
    {74, "BC2_UNORM", BF_DXT3, kNotMasked},
    {75, "BC2_UNORM_SRGB", BF_DXT3, kNotMasked},
    {76, "BC3_TYPELESS", BF_DXT5, kNotMasked},
    {77, "BC3_UNORM", BF_DXT5, kNotMasked},
    {78, "BC3_UNORM_SRGB", BF_DXT5, kNotMasked},
    {79, "BC4_TYPELESS", BF_NONE, kNotMasked},
    {80, "BC4_UNORM", BF_NONE, kNotMasked},
    {81, "BC4_SNORM", BF_NONE, kNotMasked},
    {82, "BC5_TYPELESS", BF_NONE, kNotMasked},
    {83, "BC5_UNORM", BF_NONE, kNotMasked},
    {84, "BC5_SNORM", BF_NONE, kNotMasked},
    {85, "B5G6R5_UNORM", BF_NONE, {16, {0xF800, 0x07E0, 0x001F, 0}}},
    {86, "B5G5R5A1_UNORM", BF_NONE, {16, {0x7C00, 0x03E0, 0x001F, 0x8000}}},
    {87, "B8G8R8A8_UNORM", BF_NONE, kBgra8},
    {88, "B8G8R8X8_UNORM", BF_NONE, kBgrx8},
    {90, "B8G8R8A8_TYPELESS", BF_NONE, kBgra8},
    {91, "B8G8R8A8_UNORM_SRGB", BF_NONE, kBgra8},
    {92, "B8G8R8X8_TYPELESS", BF_NONE, kBgrx8},
    {93, "B8G8R8X8_UNORM_SRGB", BF_NONE, kBgrx8},
    {94, "BC6H_TYPELESS", BF_NONE, kNotMasked},
    {95, "BC6H_UF16", BF_NONE, kNotMasked},
    {96, "BC6H_SF16", BF_NONE, kNotMasked},
    {97, "BC7_TYPELESS", BF_NONE, kNotMasked},
    {98, "BC7_UNORM", BF_NONE, kNotMasked},
    {99, "BC7_UNORM_SRGB", BF_NONE, kNotMasked},
    {115, "B4G4R4A4_UNORM", BF_NONE, {16, {0x0F00, 0x00F0, 0x000F, 0xF000}}},
};

std::string NumberText(uint32_t n) {
    return std::to_string(n);
}

// The four characters of a code, or its number when they are not all
// printable.
std::string FourCCText(uint32_t nFourCC) {
    std::string strText;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((nFourCC >> (8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            return "D3D format " + NumberText(nFourCC);
        }
        strText += c;
    }
    return "FourCC " + strText;
}

// Reads the DX10 header after the older one.
void ReadDx10Header(const unsigned char* p, size_t nSize, SurfaceFormat& format) {
    if (nSize < static_cast<size_t>(kHeaderSize + kDx10HeaderSize)) {
        format.strRefused = "DDS DX10, shorter than its header";
        return;
    }
    const unsigned char* pDx10 = p + kHeaderSize;
    const uint32_t nCode = Read32(pDx10);
    const uint32_t nDimension = Read32(pDx10 + 4);
    format.nDataOffset = kHeaderSize + kDx10HeaderSize;
    const DxgiFormat* pFormat = nullptr;
    for (const DxgiFormat& known : kDxgiFormats) {
        if (known.nCode == nCode) {
            pFormat = &known;
            break;
        }
    }
    const std::string strName = "DDS DX10 " + (pFormat ? std::string(pFormat->pszName)
                                                       : "DXGI format " + NumberText(nCode));
    if (nDimension != kDimension2D && nDimension != kDimension1D) {
        format.strRefused =
            strName + (nDimension == 4 ? ", a volume" : ", of dimension " + NumberText(nDimension));
        return;
    }
    if (!pFormat || (pFormat->eBlocks == BF_NONE && pFormat->masked.nBits == 0)) {
        format.strRefused = strName;
        return;
    }
    format.eBlocks = pFormat->eBlocks;
    format.masked = pFormat->masked;
}

SurfaceFormat ReadHeader(const QByteArray& data) {
    SurfaceFormat format;
    if (data.size() < kHeaderSize || !data.startsWith("DDS ")) {
        format.strRefused = "not a DirectDraw surface";
        return format;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    format.nHeight = Read32(p + 12);
    format.nWidth = Read32(p + 16);
    if (Read32(p + 4) != 124 || format.nWidth == 0 || format.nHeight == 0) {
        format.strRefused = "DDS with a damaged header";
        return format;
    }
    if (format.nWidth > kMaxSide || format.nHeight > kMaxSide) {
        format.strRefused = "DDS of " + NumberText(format.nWidth) + " x " +
                            NumberText(format.nHeight) + " pixels, over " + NumberText(kMaxSide);
        return format;
    }
    const unsigned char* pFormat = p + 76;
    const uint32_t nFlags = Read32(pFormat + 4);
    const uint32_t nBits = Read32(pFormat + 12);
    if (nFlags & kPixelFourCC) {
        const uint32_t nFourCC = Read32(pFormat + 8);
        if (nFourCC == FourCC("DX10")) {
            ReadDx10Header(p, static_cast<size_t>(data.size()), format);
            return format;
        }
        format.eBlocks = BlockFormatOf(nFourCC);
        if (format.eBlocks == BF_NONE) {
            format.strRefused = "DDS " + FourCCText(nFourCC);
        }
        return format;
    }
    if (nFlags & kPixelRGB) {
        format.masked = {nBits,
                         {Read32(pFormat + 16), Read32(pFormat + 20), Read32(pFormat + 24),
                          (nFlags & kPixelAlpha) ? Read32(pFormat + 28) : 0}};
        if (nBits != 16 && nBits != 24 && nBits != 32) {
            format.strRefused = "DDS RGB of " + NumberText(nBits) + " bits";
        }
        return format;
    }
    format.strRefused = (nFlags & kPixelLuminance)
                            ? "DDS luminance of " + NumberText(nBits) + " bits"
                        : (nFlags & kPixelAlphaOnly) ? "DDS alpha of " + NumberText(nBits) + " bits"
                        : (nFlags & kPixelYuv)       ? std::string("DDS YUV")
                                               : std::string("DDS of an unknown pixel format");
    return format;
}

// ---- TGA -----------------------------------------------------------------------------

constexpr int kTgaHeaderSize = 18;
constexpr int kTgaColourMapped = 1;
constexpr int kTgaTrueColour = 2;
constexpr int kTgaGrey = 3;
constexpr int kTgaRle = 8;
constexpr int kTgaRightToLeft = 0x10;
constexpr int kTgaTopToBottom = 0x20;
constexpr int kTgaInterleaved = 0xC0;

// A colour of nDepth bits (15, 16, 24 or 32) as TGA stores it, blue first;
// the alpha bit or byte is read only when bAlpha.
Rgba TgaColour(const unsigned char* p, int nDepth, bool bAlpha) {
    if (nDepth == 24 || nDepth == 32) {
        return {p[2], p[1], p[0], static_cast<unsigned char>(bAlpha && nDepth == 32 ? p[3] : 255)};
    }
    const uint16_t n = Read16(p);
    const auto Five = [](int v) { return static_cast<unsigned char>((v << 3) | (v >> 2)); };
    return {Five((n >> 10) & 31), Five((n >> 5) & 31), Five(n & 31),
            static_cast<unsigned char>(bAlpha && nDepth == 16 && !(n & 0x8000) ? 0 : 255)};
}

// What a TGA header says of its pixels.
struct TgaFormat {
    int nType = 0;  // colour-mapped, true-colour or grey, without the RLE flag
    bool bRle = false;
    int nDepth = 0;
    size_t nBytes = 0;  // a pixel's bytes in the file
    bool bAlpha = false;
    int nMapFirst = 0;
    std::vector<Rgba> vecMap;
};

// One pixel of the file; false when a colour index lies outside the map.
bool TgaPixel(const TgaFormat& format, const unsigned char* p, Rgba& pixel,
              std::string& strRefused) {
    if (format.nType == kTgaTrueColour) {
        pixel = TgaColour(p, format.nDepth, format.bAlpha);
    } else if (format.nType == kTgaGrey) {
        pixel = {p[0], p[0], p[0],
                 static_cast<unsigned char>(format.nDepth == 16 && format.bAlpha ? p[1] : 255)};
    } else {
        const int nIndex = (format.nDepth == 8 ? p[0] : Read16(p)) - format.nMapFirst;
        if (nIndex < 0 || static_cast<size_t>(nIndex) >= format.vecMap.size()) {
            strRefused = "TGA colour index " + NumberText(nIndex + format.nMapFirst) +
                         " outside its map of " + NumberText(format.vecMap.size()) + " colours";
            return false;
        }
        pixel = format.vecMap[nIndex];
    }
    return true;
}

// Reads the header and colour map; the refusal, or "" with the pixels'
// offset in nOffset.
std::string ReadTgaHeader(const QByteArray& data, TgaFormat& format, int& nWidth, int& nHeight,
                          int& nDescriptor, size_t& nOffset) {
    if (data.size() < kTgaHeaderSize) {
        return "TGA shorter than its header";
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const int nIdLength = p[0];
    const int nMapType = p[1];
    const int nImageType = p[2];
    format.nMapFirst = Read16(p + 3);
    const int nMapLength = Read16(p + 5);
    const int nMapDepth = p[7];
    nWidth = Read16(p + 12);
    nHeight = Read16(p + 14);
    format.nDepth = p[16];
    nDescriptor = p[17];
    format.nType = nImageType & ~kTgaRle;
    format.bRle = (nImageType & kTgaRle) != 0;
    const std::string strName = format.bRle ? "TGA RLE" : "TGA";
    if (nImageType == 0) {
        return "TGA with no image";
    }
    if (format.nType != kTgaColourMapped && format.nType != kTgaTrueColour &&
        format.nType != kTgaGrey) {
        return "TGA of image type " + NumberText(nImageType);
    }
    const int nDepth = format.nDepth;
    const std::string strDepth = NumberText(nDepth);
    if (format.nType == kTgaTrueColour && nDepth != 15 && nDepth != 16 && nDepth != 24 &&
        nDepth != 32) {
        return strName + " true-colour of " + strDepth + " bits";
    }
    if (format.nType == kTgaGrey && nDepth != 8 && nDepth != 16) {
        return strName + " greyscale of " + strDepth + " bits";
    }
    const bool bMapped = format.nType == kTgaColourMapped;
    if (bMapped && nDepth != 8 && nDepth != 16) {
        return strName + " colour-mapped of " + strDepth + "-bit indices";
    }
    if (bMapped && (nMapType != 1 || nMapLength == 0)) {
        return strName + " colour-mapped without a colour map";
    }
    const bool bMapDepth = nMapDepth == 15 || nMapDepth == 16 || nMapDepth == 24 || nMapDepth == 32;
    if (nMapType == 1 && nMapLength > 0 && !bMapDepth) {
        return strName + " with a colour map of " + NumberText(nMapDepth) + "-bit entries";
    }
    if (nWidth == 0 || nHeight == 0) {
        return strName + " of " + NumberText(nWidth) + " x " + NumberText(nHeight) + " pixels";
    }
    if (static_cast<uint32_t>(nWidth) > kMaxSide || static_cast<uint32_t>(nHeight) > kMaxSide) {
        return strName + " of " + NumberText(nWidth) + " x " + NumberText(nHeight) +
               " pixels, over " + NumberText(kMaxSide);
    }
    if (nDescriptor & kTgaInterleaved) {
        return strName + " with interleaved rows";
    }
    format.nBytes = static_cast<size_t>(nDepth + 7) / 8;
    format.bAlpha = (nDescriptor & 0x0F) != 0;
    nOffset = kTgaHeaderSize + nIdLength;
    const size_t nMapBytes =
        nMapType == 1 ? static_cast<size_t>(nMapLength) * ((nMapDepth + 7) / 8) : 0;
    if (static_cast<size_t>(data.size()) < nOffset + nMapBytes) {
        return strName + " shorter than its header says";
    }
    if (bMapped) {
        format.vecMap.reserve(nMapLength);
        for (int i = 0; i < nMapLength; ++i) {
            format.vecMap.push_back(
                TgaColour(p + nOffset + i * ((nMapDepth + 7) / 8), nMapDepth, format.bAlpha));
        }
    }
    nOffset += nMapBytes;
    return {};
}

// Decodes a TGA file into *pImage; the refusal, or "" when decoded.
std::string ReadTga(const QByteArray& data, QImage* pImage) {
    TgaFormat format;
    int nWidth = 0;
    int nHeight = 0;
    int nDescriptor = 0;
    size_t nOffset = 0;
    std::string strRefused = ReadTgaHeader(data, format, nWidth, nHeight, nDescriptor, nOffset);
    if (!strRefused.empty()) {
        return strRefused;
    }
    const std::string strShort =
        (format.bRle ? "TGA RLE" : "TGA") + std::string(" shorter than its header says");
    const auto* pData = reinterpret_cast<const unsigned char*>(data.constData()) + nOffset;
    const size_t nSize = static_cast<size_t>(data.size()) - nOffset;
    const size_t nPixels = static_cast<size_t>(nWidth) * nHeight;
    // The fewest bytes that can hold every pixel: the image is made only
    // for a file that may.
    const size_t nLeast =
        format.bRle ? (nPixels + 127) / 128 * (1 + format.nBytes) : nPixels * format.nBytes;
    if (nSize < nLeast) {
        return strShort;
    }
    QImage image(nWidth, nHeight, QImage::Format_RGBA8888);
    const bool bTopDown = nDescriptor & kTgaTopToBottom;
    const bool bRightToLeft = nDescriptor & kTgaRightToLeft;
    bool bAnyAlpha = false;
    size_t nPos = 0;
    size_t nPixel = 0;
    // Puts the next pixel of the file's order in its place.
    const auto Place = [&](const Rgba& pixel) {
        const int nRow = static_cast<int>(nPixel / nWidth);
        const int nColumn = static_cast<int>(nPixel % nWidth);
        const int y = bTopDown ? nRow : nHeight - 1 - nRow;
        const int x = bRightToLeft ? nWidth - 1 - nColumn : nColumn;
        std::memcpy(image.scanLine(y) + 4 * x, pixel.data(), 4);
        bAnyAlpha = bAnyAlpha || pixel[3] != 0;
        ++nPixel;
    };
    Rgba pixel{};
    while (nPixel < nPixels) {
        size_t nCount = 1;
        bool bRun = false;
        if (format.bRle) {
            if (nPos >= nSize) {
                return strShort;
            }
            nCount = (pData[nPos] & 0x7F) + 1;
            bRun = (pData[nPos] & 0x80) != 0;
            ++nPos;
            // A packet may run on past the image's end: what fits is taken.
            nCount = std::min(nCount, nPixels - nPixel);
        }
        for (size_t i = 0; i < nCount; ++i) {
            if (i == 0 || !bRun) {
                if (nSize - nPos < format.nBytes) {
                    return strShort;
                }
                if (!TgaPixel(format, pData + nPos, pixel, strRefused)) {
                    return strRefused;
                }
                nPos += format.nBytes;
            }
            Place(pixel);
        }
    }
    if (!bAnyAlpha) {
        // An alpha that is 0 everywhere was left empty by its writer: the
        // picture is opaque, not invisible.
        for (int y = 0; y < nHeight; ++y) {
            unsigned char* pRow = image.scanLine(y);
            for (int x = 0; x < nWidth; ++x) {
                pRow[4 * x + 3] = 255;
            }
        }
    }
    if (pImage) {
        *pImage = std::move(image);
    }
    return {};
}

}  // namespace

bool DecodeTGA(const QByteArray& data, QImage* pImage) {
    *pImage = QImage();
    return ReadTga(data, pImage).empty();
}

std::string DescribeTGA(const QByteArray& data) {
    return ReadTga(data, nullptr);
}

bool DecodeDDS(const QByteArray& data, QImage* pImage) {
    *pImage = QImage();
    const SurfaceFormat format = ReadHeader(data);
    if (!format.strRefused.empty()) {
        return false;
    }
    const auto* pPixels =
        reinterpret_cast<const unsigned char*>(data.constData()) + format.nDataOffset;
    const size_t nSize = static_cast<size_t>(data.size()) - format.nDataOffset;
    const auto nWidth = static_cast<int>(format.nWidth);
    const auto nHeight = static_cast<int>(format.nHeight);
    if (format.eBlocks != BF_NONE) {
        return DecodeBlocks(pPixels, nSize, format.eBlocks, nWidth, nHeight, pImage);
    }
    return DecodeMasked(pPixels, nSize, format.masked, nWidth, nHeight, pImage);
}

std::string DescribeDDS(const QByteArray& data) {
    const SurfaceFormat format = ReadHeader(data);
    if (!format.strRefused.empty()) {
        return format.strRefused;
    }
    // A format that is read, with too few pixels after the header.
    return "DDS shorter than its header says";
}

bool LoadTextureImage(const std::string& strPath, QImage* pImage, std::string* pFormat) {
    *pImage = QImage();
    const QString strFile = QString::fromStdString(strPath);
    // The formats read here rather than by Qt's plugins, by their endings.
    const struct {
        const char* pszEnding;
        bool (*pfnDecode)(const QByteArray&, QImage*);
        std::string (*pfnDescribe)(const QByteArray&);
    } ownFormats[] = {{".dds", DecodeDDS, DescribeDDS}, {".tga", DecodeTGA, DescribeTGA}};
    for (const auto& own : ownFormats) {
        if (!strFile.endsWith(QLatin1String(own.pszEnding), Qt::CaseInsensitive)) {
            continue;
        }
        QFile file(strFile);
        if (!file.open(QIODevice::ReadOnly)) {
            if (pFormat) {
                *pFormat = "unreadable file";
            }
            return false;
        }
        const QByteArray data = file.readAll();
        if (own.pfnDecode(data, pImage)) {
            return true;
        }
        if (pFormat) {
            *pFormat = own.pfnDescribe(data);
        }
        return false;
    }
    QImageReader reader(strFile);
    if (reader.read(pImage)) {
        return true;
    }
    *pImage = QImage();
    if (pFormat) {
        const QByteArray format = reader.format();
        *pFormat = format.isEmpty() ? "a format not read by the viewer"
                                    : format.toUpper().toStdString() + " image, " +
                                          reader.errorString().toStdString();
    }
    return false;
}
