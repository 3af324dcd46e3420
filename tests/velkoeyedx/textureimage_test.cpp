#include "clients/velkoeyedx/textureimage.h"

#include <gtest/gtest.h>

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

// A texture that keeps its material plain is named in the parsing log once
// per scene, however many meshes use it.
TEST(TextureImageTest, TexturesThatCannotBeShownAreToldOncePerScene) {
    CSceneFolder files;
    const QByteArray bc7 = DdsFile(4, 4, "DX10", Dx10(98) + QByteArray(16, 'x'));
    const std::string strBc7 = files.Write("bc7.dds", std::string(bc7.constData(), bc7.size()));
    files.Write("a.mtl", "newmtl m\nmap_Kd bc7.dds\nnewmtl n\nmap_Kd gone.png\n");
    const std::string strMesh =
        "mtllib a.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\nusemtl n\nf 1 2 3\n";
    files.Write("one.obj", strMesh);
    files.Write("two.obj", strMesh);
    CTextureCache textures;
    CGLMeshStore store(files.Resolver(), textures);
    auto pLog = std::make_shared<CRecordingLog>();
    store.SetParsingLog(pLog);
    const std::string strUndecoded = "The texture " + strBc7 +
                                     " (DDS DX10 BC7_UNORM) cannot be decoded: its material is "
                                     "drawn without it.";
    const auto missing = [](const std::string& strMesh) {
        return "The texture gone.png of the mesh " + strMesh +
               " cannot be found: its material is drawn without it.";
    };
    for (const char* pszMesh : {"one.obj", "two.obj", "one.obj"}) {
        store.Load(pszMesh);
    }
    store.Clear();
    store.Load("two.obj");
    EXPECT_EQ(pLog->Lines(),
              (std::vector<std::string>{strUndecoded, missing("one.obj"), missing("two.obj"),
                                        strUndecoded, missing("two.obj")}));
}

}  // namespace
}  // namespace velkotest
