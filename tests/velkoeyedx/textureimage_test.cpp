#include "clients/velkoeyedx/textureimage.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velkotest
