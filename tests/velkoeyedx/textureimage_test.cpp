#include "clients/velkoeyedx/textureimage.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImageReader>
#include <algorithm>
#include <vector>

#include "clients/velkoeyedx/glmeshstore.h"
#include "velkoeyedx/eyewindow.h"

namespace velkotest {
namespace {

QColor Pixel(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int v : values) {
        bytes.append(static_cast<char>(v));
    }
    return bytes;
}

// The four block formats and the masked pixels, each checked at pixels whose
// palette entries differ, and surfaces that must be refused.
TEST(TextureImageTest, DirectDrawSurfacesDecodeAndShortOnesAreRefused) {
    QImage image;
    // Red and blue ends, first row indices 0 1 2 3, the rest index 0.
    const QByteArray fourColour = Bytes({0x00, 0xF8, 0x1F, 0x00, 0xE4, 0, 0, 0});
    ASSERT_TRUE(DecodeDDS(DdsFile(4, 4, "DXT1", fourColour), &image));
    EXPECT_EQ(image.size(), QSize(4, 4));
    EXPECT_EQ(Pixel(image, 0, 0), QColor(255, 0, 0));
    EXPECT_EQ(Pixel(image, 1, 0), QColor(0, 0, 255));
    EXPECT_EQ(Pixel(image, 2, 0), QColor(170, 0, 85));
    EXPECT_EQ(Pixel(image, 3, 0), QColor(85, 0, 170));
    EXPECT_EQ(Pixel(image, 3, 3), QColor(255, 0, 0));

    // The ends swapped: three colours and transparent black.
    const QByteArray threeColour = Bytes({0x1F, 0x00, 0x00, 0xF8, 0xE4, 0, 0, 0});
    ASSERT_TRUE(DecodeDDS(DdsFile(4, 4, "DXT1", threeColour), &image));
    EXPECT_EQ(Pixel(image, 2, 0), QColor(127, 0, 127));
    EXPECT_EQ(image.pixelColor(3, 0).alpha(), 0);

    // DXT3: pixel i has alpha nibble i; its colour block is always four-colour.
    QByteArray dxt3 = Bytes({0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE});
    dxt3 += Bytes({0x1F, 0x00, 0x00, 0xF8, 0xE4, 0, 0, 0});
    ASSERT_TRUE(DecodeDDS(DdsFile(4, 4, "DXT3", dxt3), &image));
    EXPECT_EQ(image.pixelColor(1, 0).alpha(), 17);
    EXPECT_EQ(image.pixelColor(3, 3).alpha(), 255);
    EXPECT_EQ(Pixel(image, 3, 0).rgb(), QColor(170, 0, 85).rgb());

    // DXT5: ends 255 and 0; first pixels take indices 0, 1, 2, 7.
    QByteArray dxt5 = Bytes({255, 0, 0x88, 0x0E, 0, 0, 0, 0});
    dxt5 += fourColour;
    ASSERT_TRUE(DecodeDDS(DdsFile(4, 4, "DXT5", dxt5), &image));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 255);
    EXPECT_EQ(image.pixelColor(1, 0).alpha(), 0);
    EXPECT_EQ(image.pixelColor(2, 0).alpha(), 218);
    EXPECT_EQ(image.pixelColor(3, 0).alpha(), 36);

    // Blocks beyond a side that is no multiple of 4 are cut off.
    ASSERT_TRUE(DecodeDDS(DdsFile(5, 3, "DXT1", fourColour + fourColour), &image));
    EXPECT_EQ(image.size(), QSize(5, 3));
    EXPECT_EQ(Pixel(image, 4, 0), QColor(255, 0, 0));

    // Uncompressed: 24-bit blue, green, red in memory, and 16-bit 5:6:5.
    const QByteArray bgr = Bytes({10, 20, 30, 200, 150, 100});
    ASSERT_TRUE(DecodeDDS(DdsFile(2, 1, "", bgr, 24, {0xFF0000, 0xFF00, 0xFF}), &image));
    EXPECT_EQ(Pixel(image, 0, 0), QColor(30, 20, 10));
    EXPECT_EQ(Pixel(image, 1, 0), QColor(100, 150, 200));
    ASSERT_TRUE(
        DecodeDDS(DdsFile(1, 1, "", Bytes({0xE0, 0x07}), 16, {0xF800, 0x07E0, 0x1F}), &image));
    EXPECT_EQ(Pixel(image, 0, 0), QColor(0, 255, 0));

    // Refused: data shorter than the size says, an unknown format, no header.
    EXPECT_FALSE(DecodeDDS(DdsFile(8, 8, "DXT1", fourColour), &image));
    EXPECT_TRUE(image.isNull());
    EXPECT_FALSE(DecodeDDS(DdsFile(4, 4, "ATI2", fourColour + fourColour), &image));
    EXPECT_FALSE(DecodeDDS(DdsFile(2, 2, "", bgr, 24, {0xFF0000, 0xFF00, 0xFF}), &image));
    EXPECT_FALSE(DecodeDDS(QByteArray("DDS "), &image));
}

// The DX10 header of a 2D texture of the DXGI format nCode.
QByteArray Dx10(uint32_t nCode) {
    const uint32_t nFields[5] = {nCode, 3, 0, 1, 0};
    return QByteArray(reinterpret_cast<const char*>(nFields), sizeof(nFields));
}

// The newer header over the same data gives the picture of the older one for
// each format both can name; the formats that are not decoded are named.
TEST(TextureImageTest, Dx10HeadersDecodeAsTheOlderOnesAndRefusedFormatsAreNamed) {
    QByteArray data;
    for (int i = 0; i < 128; ++i) {
        data.append(static_cast<char>(i * 37 + 11));
    }
    const std::vector<uint32_t> rgba = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
    const std::vector<uint32_t> bgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    const struct {
        uint32_t nCode;
        QByteArray older;
    } cases[] = {
        {71, DdsFile(8, 4, "DXT1", data)},
        {72, DdsFile(8, 4, "DXT1", data)},
        {74, DdsFile(8, 4, "DXT3", data)},
        {77, DdsFile(8, 4, "DXT5", data)},
        {28, DdsFile(8, 4, "", data, 32, rgba)},
        {29, DdsFile(8, 4, "", data, 32, rgba)},
        {87, DdsFile(8, 4, "", data, 32, bgra)},
        {88, DdsFile(8, 4, "", data, 32, {0xFF0000, 0xFF00, 0xFF})},
        {85, DdsFile(8, 4, "", data, 16, {0xF800, 0x07E0, 0x1F})},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.nCode);
        QImage older;
        QImage newer;
        ASSERT_TRUE(DecodeDDS(test.older, &older));
        ASSERT_TRUE(DecodeDDS(DdsFile(8, 4, "DX10", Dx10(test.nCode) + data), &newer));
        EXPECT_EQ(newer, older);
    }

    QByteArray luminance = DdsFile(4, 4, "", data, 8, {0xFF});
    luminance[80] = 0;  // the pixel format's flags: luminance, not RGB
    luminance[82] = 2;
    const std::pair<QByteArray, std::string> refused[] = {
        {DdsFile(4, 4, "DX10", Dx10(98) + data), "DDS DX10 BC7_UNORM"},
        {DdsFile(4, 4, "DX10", Dx10(200) + data), "DDS DX10 DXGI format 200"},
        {DdsFile(4, 4, "ATI2", data), "DDS FourCC ATI2"},
        {luminance, "DDS luminance of 8 bits"},
        {DdsFile(4, 4, "", data, 8, {0xE0, 0x1C, 0x03}), "DDS RGB of 8 bits"},
        {DdsFile(64, 64, "DX10", Dx10(71) + data), "DDS shorter than its header says"},
    };
    for (const auto& [file, strFormat] : refused) {
        QImage image;
        EXPECT_FALSE(DecodeDDS(file, &image)) << strFormat;
        EXPECT_EQ(DescribeDDS(file), strFormat);
    }
}

// How a test writes a TGA file: image type (1 colour-mapped, 2 true-colour,
// 3 greyscale; plus 8 for run-length encoding), bits per pixel, alpha bits
// in the descriptor, the order of rows and columns, the footer, and for a
// colour map the bits of its entries and the index of its first entry.
struct TgaForm {
    int nType = 2;
    int nDepth = 24;
    int nAlphaBits = 0;
    bool bTopDown = false;
    bool bRightToLeft = false;
    bool bFooter = false;
    int nMapDepth = 24;
    int nMapFirst = 0;
    std::string strId = "";
};

void Append16(QByteArray& bytes, int n) {
    bytes.append(static_cast<char>(n & 0xFF));
    bytes.append(static_cast<char>((n >> 8) & 0xFF));
}

// One colour as a TGA file stores it in nDepth bits.
QByteArray TgaColourBytes(QRgb colour, int nDepth) {
    QByteArray bytes;
    if (nDepth == 15 || nDepth == 16) {
        Append16(bytes, (qAlpha(colour) >= 128 ? 0x8000 : 0) | ((qRed(colour) >> 3) << 10) |
                            ((qGreen(colour) >> 3) << 5) | (qBlue(colour) >> 3));
        return bytes;
    }
    bytes += Bytes({qBlue(colour), qGreen(colour), qRed(colour)});
    if (nDepth == 32) {
        bytes.append(static_cast<char>(qAlpha(colour)));
    }
    return bytes;
}

// The file of an image in a form, its colours taken from vecMap (by their
// index) when it is colour-mapped. Run-length encoding packs runs of equal
// pixels and the pixels between them, across rows, as writers do.
QByteArray TgaFile(const QImage& image, const TgaForm& form, const std::vector<QRgb>& vecMap = {}) {
    const int nBase = form.nType & 7;
    QByteArray file;
    file.append(static_cast<char>(form.strId.size()));
    file.append(static_cast<char>(nBase == 1 ? 1 : 0));
    file.append(static_cast<char>(form.nType));
    Append16(file, nBase == 1 ? form.nMapFirst : 0);
    Append16(file, nBase == 1 ? static_cast<int>(vecMap.size()) : 0);
    file.append(static_cast<char>(nBase == 1 ? form.nMapDepth : 0));
    Append16(file, 0);
    Append16(file, 0);
    Append16(file, image.width());
    Append16(file, image.height());
    file.append(static_cast<char>(form.nDepth));
    file.append(static_cast<char>(form.nAlphaBits | (form.bRightToLeft ? 0x10 : 0) |
                                  (form.bTopDown ? 0x20 : 0)));
    file += QByteArray::fromStdString(form.strId);
    for (QRgb colour : vecMap) {
        file += TgaColourBytes(colour, form.nMapDepth);
    }
    std::vector<QByteArray> vecPixels;
    for (int nRow = 0; nRow < image.height(); ++nRow) {
        const int y = form.bTopDown ? nRow : image.height() - 1 - nRow;
        for (int nColumn = 0; nColumn < image.width(); ++nColumn) {
            const int x = form.bRightToLeft ? image.width() - 1 - nColumn : nColumn;
            const QRgb colour = image.pixel(x, y);
            if (nBase == 1) {
                const auto it = std::find(vecMap.begin(), vecMap.end(), colour);
                const int nIndex = static_cast<int>(it - vecMap.begin()) + form.nMapFirst;
                QByteArray index;
                index.append(static_cast<char>(nIndex & 0xFF));
                if (form.nDepth == 16) {
                    index.append(static_cast<char>(nIndex >> 8));
                }
                vecPixels.push_back(index);
            } else if (nBase == 3) {
                vecPixels.push_back(form.nDepth == 16 ? Bytes({qRed(colour), qAlpha(colour)})
                                                      : Bytes({qRed(colour)}));
            } else {
                vecPixels.push_back(TgaColourBytes(colour, form.nDepth));
            }
        }
    }
    if (!(form.nType & 8)) {
        for (const QByteArray& pixel : vecPixels) {
            file += pixel;
        }
    }
    for (size_t i = 0; (form.nType & 8) && i < vecPixels.size();) {
        size_t nRun = 1;
        while (i + nRun < vecPixels.size() && nRun < 128 && vecPixels[i + nRun] == vecPixels[i]) {
            ++nRun;
        }
        if (nRun > 1) {
            file.append(static_cast<char>(0x80 | (nRun - 1)));
            file += vecPixels[i];
            i += nRun;
            continue;
        }
        size_t nRaw = 1;
        while (
            i + nRaw < vecPixels.size() && nRaw < 128 &&
            (i + nRaw + 1 >= vecPixels.size() || vecPixels[i + nRaw + 1] != vecPixels[i + nRaw])) {
            ++nRaw;
        }
        file.append(static_cast<char>(nRaw - 1));
        for (size_t k = 0; k < nRaw; ++k) {
            file += vecPixels[i + k];
        }
        i += nRaw;
    }
    if (form.bFooter) {
        file += QByteArray(8, '\0');
        file += QByteArray("TRUEVISION-XFILE.", 17);
        file.append('\0');
    }
    return file;
}

// A picture of 131 x 3 pixels whose colours a form of nBits per pixel keeps
// exactly (5 bits a channel and alpha 0 or 255 for 15 and 16, grey for 8): its top
// row one colour (a run longer than a packet holds), its middle row a
// different colour each pixel, its bottom row runs of 1 to 4 pixels.
QImage TgaPicture(int nBits, bool bGrey, bool bAlpha) {
    QImage image(131, 3, QImage::Format_RGBA8888);
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            const int n = y == 0 ? 7 : y == 1 ? x : (x / 3) * (x % 4 + 1);
            int r = (n * 37 + 11) & 0xFF;
            int g = (n * 91 + 40) & 0xFF;
            int b = (n * 53 + 200) & 0xFF;
            int a = bAlpha ? (n * 29 + 5) & 0xFF : 255;
            if (nBits == 15 || nBits == 16) {
                const auto Five = [](int c) { return ((c >> 3) << 3) | (c >> 5); };
                r = Five(r);
                g = Five(g);
                b = Five(b);
                a = bAlpha && (n % 3) ? 0 : 255;
            }
            if (bGrey) {
                g = b = r;
            }
            image.setPixelColor(x, y, QColor(r, g, b, a));
        }
    }
    return image;
}

// TGA files as writers make them decode pixel for pixel to what was written:
// uncompressed and run-length encoded, with and without the footer, from
// either corner; true-colour, greyscale and colour-mapped.
TEST(TextureImageTest, TgaFilesDecodeAsWrittenInEachForm) {
    const struct {
        const char* pszName;
        TgaForm form;
        bool bGrey;
        bool bAlpha;
    } cases[] = {
        {"24 bits, bottom up, no footer", {2, 24}, false, false},
        {"24 bits, top down, footer", {2, 24, 0, true, false, true}, false, false},
        {"32 bits with alpha, bottom up, footer", {2, 32, 8, false, false, true}, false, true},
        {"RLE 24 bits, bottom up, no footer", {10, 24}, false, false},
        {"RLE 24 bits, top down, footer", {10, 24, 0, true, false, true}, false, false},
        {"RLE 32 bits with alpha, top down", {10, 32, 8, true}, false, true},
        {"RLE 32 bits, right to left, an id",
         {10, 32, 8, false, true, false, 24, 0, "made by us"},
         false,
         true},
        {"16 bits with its alpha bit", {2, 16, 1}, false, true},
        {"RLE 15 bits", {10, 15}, false, false},
        {"grey 8 bits", {3, 8}, true, false},
        {"RLE grey 8 bits, top down", {11, 8, 0, true}, true, false},
        {"RLE grey 16 bits with alpha", {11, 16, 8}, true, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.pszName);
        const QImage picture = TgaPicture(test.form.nDepth, test.bGrey, test.bAlpha);
        const QByteArray file = TgaFile(picture, test.form);
        QImage image;
        ASSERT_TRUE(DecodeTGA(file, &image)) << DescribeTGA(file);
        EXPECT_EQ(image, picture);
        EXPECT_EQ(DescribeTGA(file), "");
        // Qt's own reader, where installed, takes the file too when it is
        // uncompressed with the footer, and sees the same picture.
        if (test.form.bFooter && !(test.form.nType & 8) &&
            QImageReader::supportedImageFormats().contains("tga")) {
            QBuffer buffer;
            buffer.setData(file);
            QImageReader reader(&buffer, "tga");
            QImage qtImage;
            ASSERT_TRUE(reader.read(&qtImage)) << reader.errorString().toStdString();
            EXPECT_EQ(qtImage.convertToFormat(QImage::Format_RGBA8888), picture);
        }
    }

    // Colour-mapped: 8-bit indices into 24- and 32-bit maps, 16-bit indices
    // into a map whose first entry is index 300, uncompressed and RLE.
    QImage mapped = TgaPicture(24, false, false);
    std::vector<QRgb> vecMap;
    for (int y = 0; y < mapped.height(); ++y) {
        for (int x = 0; x < mapped.width(); ++x) {
            if (std::find(vecMap.begin(), vecMap.end(), mapped.pixel(x, y)) == vecMap.end()) {
                vecMap.push_back(mapped.pixel(x, y));
            }
        }
    }
    ASSERT_LE(vecMap.size(), 256u);
    for (const TgaForm& form : {TgaForm{1, 8}, TgaForm{9, 8, 0, true, false, true},
                                TgaForm{9, 8, 8, false, false, false, 32},
                                TgaForm{1, 16, 0, false, false, false, 24, 300},
                                TgaForm{9, 16, 0, true, false, false, 24, 300}}) {
        SCOPED_TRACE(form.nType * 100 + form.nDepth);
        QImage image;
        const QByteArray file = TgaFile(mapped, form, vecMap);
        ASSERT_TRUE(DecodeTGA(file, &image)) << DescribeTGA(file);
        EXPECT_EQ(image, mapped);
    }

    // 32 bits whose alpha is 0 everywhere: drawn opaque, not invisible.
    QImage clear = TgaPicture(32, false, false);
    QImage transparent = clear;
    transparent.fill(Qt::transparent);
    for (int x = 0; x < clear.width(); ++x) {
        transparent.setPixelColor(x, 1, QColor::fromRgba(clear.pixelColor(x, 1).rgb() & 0xFFFFFF));
    }
    QImage image;
    ASSERT_TRUE(DecodeTGA(TgaFile(transparent, {10, 32, 8}), &image));
    EXPECT_EQ(image.pixelColor(5, 1), QColor(clear.pixelColor(5, 1).rgb()));
    EXPECT_EQ(image.pixelColor(5, 0).alpha(), 255);
}

// Damaged and unread TGA files are refused, leaving no image, with their
// format and the reason named.
TEST(TextureImageTest, TgaFilesThatCannotBeReadAreRefusedByName) {
    const QImage picture = TgaPicture(24, false, false);
    const QByteArray raw = TgaFile(picture, {2, 24});
    const QByteArray rle = TgaFile(picture, {10, 24});
    QByteArray huffman = raw;
    huffman[2] = 32;
    QByteArray twelve = raw;
    twelve[16] = 12;
    QByteArray interleaved = raw;
    interleaved[17] = 0x40;
    QByteArray wide = raw;
    wide[12] = 0x01;
    wide[13] = 0x41;  // 16641 pixels wide
    QByteArray empty = raw;
    empty[14] = 0;
    QByteArray noImage = raw;
    noImage[2] = 0;
    QByteArray unmapped = TgaFile(picture, {1, 8}, {picture.pixel(0, 0), picture.pixel(1, 1)});
    const std::pair<QByteArray, std::string> refused[] = {
        {raw.left(raw.size() - 1), "TGA shorter than its header says"},
        {rle.left(rle.size() - 1), "TGA RLE shorter than its header says"},
        {rle.left(40), "TGA RLE shorter than its header says"},
        {raw.left(10), "TGA shorter than its header"},
        {huffman, "TGA of image type 32"},
        {twelve, "TGA true-colour of 12 bits"},
        {interleaved, "TGA with interleaved rows"},
        {wide, "TGA of 16641 x 3 pixels, over 16384"},
        {empty, "TGA of 131 x 0 pixels"},
        {noImage, "TGA with no image"},
        {TgaFile(picture, {1, 8}), "TGA colour-mapped without a colour map"},
        {unmapped, "TGA colour index 2 outside its map of 2 colours"},
    };
    for (const auto& [file, strFormat] : refused) {
        QImage image(1, 1, QImage::Format_RGBA8888);
        EXPECT_FALSE(DecodeTGA(file, &image)) << strFormat;
        EXPECT_TRUE(image.isNull()) << strFormat;
        EXPECT_EQ(DescribeTGA(file), strFormat);
    }
}

// A texture that keeps its material plain is named in the parsing log once
// per scene, however many meshes use it, with its format: a TGA file as
// well as a DirectDraw surface. A run-length encoded TGA without the footer
// (".TGA" in capitals, as some writers end it) is shown, not named.
TEST(TextureImageTest, TexturesThatCannotBeShownAreToldOncePerScene) {
    CSceneFolder files;
    const QByteArray bc7 = DdsFile(4, 4, "DX10", Dx10(98) + QByteArray(16, 'x'));
    const std::string strBc7 = files.Write("bc7.dds", std::string(bc7.constData(), bc7.size()));
    const QImage picture = TgaPicture(24, false, false);
    const QByteArray rle = TgaFile(picture, {10, 24});
    const std::string strSkin = files.Write("skin.TGA", rle.toStdString());
    const std::string strWorn = files.Write("worn.tga", rle.left(rle.size() / 2).toStdString());
    QImage image;
    ASSERT_TRUE(LoadTextureImage(strSkin, &image));
    EXPECT_EQ(image, picture);
    files.Write("a.mtl",
                "newmtl m\nmap_Kd bc7.dds\nnewmtl n\nmap_Kd gone.png\n"
                "newmtl o\nmap_Kd skin.TGA\nnewmtl p\nmap_Kd worn.tga\n");
    const std::string strMesh =
        "mtllib a.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\nusemtl n\nf 1 2 3\n"
        "usemtl o\nf 1 2 3\nusemtl p\nf 1 2 3\n";
    files.Write("one.obj", strMesh);
    files.Write("two.obj", strMesh);
    CTextureCache textures;
    CGLMeshStore store(files.Resolver(), textures);
    auto pLog = std::make_shared<CRecordingLog>();
    store.SetParsingLog(pLog);
    const std::string strUndecoded = "The texture " + strBc7 +
                                     " (DDS DX10 BC7_UNORM) cannot be decoded: its material is "
                                     "drawn without it.";
    const std::string strWornLine = "The texture " + strWorn +
                                    " (TGA RLE shorter than its header says) cannot be decoded: "
                                    "its material is drawn without it.";
    const auto missing = [](const std::string& strMesh) {
        return "The texture gone.png of the mesh " + strMesh +
               " cannot be found: its material is drawn without it.";
    };
    for (const char* pszMesh : {"one.obj", "two.obj", "one.obj"}) {
        store.Load(pszMesh);
    }
    store.Clear();
    store.Load("two.obj");
    EXPECT_EQ(pLog->Lines(), (std::vector<std::string>{
                                 strUndecoded, missing("one.obj"), strWornLine, missing("two.obj"),
                                 strUndecoded, missing("two.obj"), strWornLine}));
}

}  // namespace
}  // namespace velkotest
