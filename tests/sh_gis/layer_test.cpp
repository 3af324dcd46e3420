#include "sh_gis/layer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "support/recordingnotifier.h"
#include "support/tempfolder.h"

namespace {

std::string DataPath(const std::string& strName) {
    return std::string(VELKO_TEST_DATA_DIR) + "/gis/" + strName;
}

// Records every message box for the duration of a test.
class LayerTest : public ::testing::Test {
protected:
    void SetUp() override { SetNotifier(&m_notifier); }
    void TearDown() override { SetNotifier(nullptr); }

    CRecordingNotifier m_notifier;
};

TEST_F(LayerTest, RasterHeaderAndValuesWithCrLf) {
    const CLayer layer("IDRISI", DataPath("terrain.img"));
    EXPECT_TRUE(layer.IsRaster());
    EXPECT_FALSE(layer.IsVector());
    EXPECT_EQ(layer.GetType(), "idrisi_raster");
    EXPECT_EQ(layer.GetNumDimensions(), 2);
    EXPECT_EQ(layer.GetDimensions(), (std::vector<int>{10, 5}));
    // Two more lines than cells in the image: they are not read.
    EXPECT_EQ(layer.GetNumCells(), 50);
    EXPECT_EQ(layer.GetCellCount(), 50);
    EXPECT_DOUBLE_EQ(layer.GetMinX(), 0.0);
    // "max. X : was 90:100" - the text after the last colon.
    EXPECT_DOUBLE_EQ(layer.GetMaxX(), 100.0);
    EXPECT_DOUBLE_EQ(layer.GetMinY(), 0.0);
    EXPECT_DOUBLE_EQ(layer.GetMaxY(), 50.0);
    EXPECT_DOUBLE_EQ(layer.GetResolution(), 10.0);
    EXPECT_DOUBLE_EQ(layer.GetMinValue(), 1.0);
    EXPECT_DOUBLE_EQ(layer.GetCellValue(0), 1.5);
    EXPECT_DOUBLE_EQ(layer.GetCellValue(48), 49.5);
    ASSERT_TRUE(layer.GetCell(0));
    EXPECT_EQ(layer.GetCell(0)->GetType(), "double");
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

TEST_F(LayerTest, LargeValueSurvivesFileAndSetGet) {
    CLayer layer("IDRISI", DataPath("terrain.img"));
    // Read from the header and from the last image line, with no loss.
    EXPECT_EQ(layer.GetMaxValue(), 123456789.123456789);
    EXPECT_EQ(layer.GetCellValue(49), 123456789.123456789);

    const double dLarge = 9876543210.0123456;
    ASSERT_TRUE(layer.SetCellValue(7, dLarge));
    EXPECT_EQ(layer.GetCellValue(7), dLarge);
    ASSERT_TRUE(layer.SetCellValue(8, 1.7976931348623157e308));
    EXPECT_EQ(layer.GetCellValue(8), 1.7976931348623157e308);
}

TEST_F(LayerTest, ShortImageLeavesZeros) {
    const CLayer layer("IDRISI", DataPath("short.img"));
    ASSERT_EQ(layer.GetNumCells(), 50);
    // The byte-order mark in front of the first value is not part of it.
    EXPECT_DOUBLE_EQ(layer.GetCellValue(0), 1.0);
    EXPECT_DOUBLE_EQ(layer.GetCellValue(19), 20.0);
    for (int i = 20; i < 50; ++i) {
        EXPECT_EQ(layer.GetCellValue(i), 0.0) << "cell " << i;
    }
}

// What an image or vector file holds that is no number is 0 (or skipped),
// and the layer says so once; a UTF-16 file with its byte-order mark reads
// like any other.
TEST_F(LayerTest, TextsThatAreNoNumbersAreNamedOncePerLayer) {
    velkotest::CTempFolder folder;
    auto write = [&](const std::string& strName, const std::string& strBytes) {
        std::ofstream(folder.GetPath() + strName, std::ios::binary) << strBytes;
        return folder.GetPath() + strName;
    };
    const std::string strHeader =
        "columns : 3\nrows : 2\nmin. X : 0\nmax. X : 3\nmin. Y : 0\n"
        "max. Y : 2\n";
    for (const char* pszName : {"bad", "empty", "utf16", "utf16be", "nomark"}) {
        write(std::string(pszName) + ".doc", strHeader);
    }
    auto boxTexts = [&] {
        std::vector<std::string> vecTexts;
        for (const auto& box : m_notifier.GetBoxes()) {
            vecTexts.push_back(box.strText);
        }
        m_notifier.Clear();
        return vecTexts;
    };

    const std::string strBad = write("bad.img", "1.5\nnan\nabc\n1,5\n\n1e400\n");
    const CLayer bad("IDRISI", strBad);
    EXPECT_EQ(bad.GetCellValue(0), 1.5);
    for (int i = 1; i < 6; ++i) {
        EXPECT_EQ(bad.GetCellValue(i), 0.0) << i;
    }
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The image " + strBad +
                                                   " has 5 line(s) that hold no number (the "
                                                   "first, line 2: \"nan\"); their cells are 0."});

    const std::string strEmpty = write("empty.img", "");
    EXPECT_EQ(CLayer("IDRISI", strEmpty).GetCellValue(5), 0.0);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The image " + strEmpty +
                                                   " holds 0 value line(s) for 6 cells; the "
                                                   "other cells are 0."});

    auto utf16 = [](const std::string& strText, bool bLittle) {
        std::string strBytes = bLittle ? "\xFF\xFE" : "\xFE\xFF";
        for (const char ch : strText) {
            strBytes += bLittle ? std::string{ch, '\0'} : std::string{'\0', ch};
        }
        return strBytes;
    };
    for (const bool bLittle : {true, false}) {
        const CLayer layer("IDRISI", write(bLittle ? "utf16.img" : "utf16be.img",
                                           utf16("1\r\n2\r\n3.5\r\n4\r\n5\r\n-6\r\n", bLittle)));
        EXPECT_EQ(layer.GetCellValue(2), 3.5);
        EXPECT_EQ(layer.GetCellValue(5), -6.0);
        EXPECT_EQ(boxTexts(), std::vector<std::string>());
    }
    // Without its mark the same text is no numbers: one warning.
    const CLayer noMark("IDRISI", write("nomark.img", utf16("1\n2\n3\n4\n5\n6\n", true).substr(2)));
    const std::vector<std::string> vecNoMark = boxTexts();
    ASSERT_EQ(vecNoMark.size(), 1u);
    EXPECT_NE(vecNoMark[0].find("has 6 line(s) that hold no number (the first, line 1: \"1?\")"),
              std::string::npos)
        << vecNoMark[0];

    // A point that is not two numbers is not laid on the grid.
    const CLayer main("IDRISI", DataPath("square.img"));
    m_notifier.Clear();
    const std::string strVector = write("points.vec", "1 3\n0.5 9.5\nabc 1\n9.5 nan\n");
    const CLayer points("IDRISI", strVector, main);
    EXPECT_EQ(points.GetCellValue(0), 1.0);
    EXPECT_EQ(points.GetCellValue(90), 0.0);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"The vector file " + strVector +
                                                   " has 2 line(s) that hold no number (the "
                                                   "first, line 3: \"abc 1\"); those points "
                                                   "were skipped."});
}

TEST_F(LayerTest, MissingOrBadSizes) {
    // No "rows": the size stays 0, so no cells; the values are not used.
    const CLayer noRows("IDRISI", DataPath("norows.img"));
    EXPECT_TRUE(noRows.IsRaster());
    EXPECT_EQ(noRows.GetDimensions(), (std::vector<int>{4, 0}));
    EXPECT_EQ(noRows.GetNumCells(), 0);
    EXPECT_EQ(noRows.GetCellValue(0), -1.0);
    EXPECT_EQ(noRows.GetCellIndex(1.0, 0.0), -1);

    // A negative size is an error of the file.
    EXPECT_THROW(CLayer("IDRISI", DataPath("badsize.img")), CCustomException);
    EXPECT_THROW(CLayer(std::vector<int>{10, -2}), CCustomException);
}

// A header of a few bytes claims 46340 x 46340 cells (17 GB of values): a
// load error, before anything is allocated or touched.
TEST_F(LayerTest, HeaderClaimingMoreThanTheMemoryIsALoadError) {
    const uint64_t nBytes = uint64_t{46340} * 46340 * sizeof(double);
    if (MemoryCanHold(nBytes)) {
        GTEST_SKIP() << "this machine could hold the claim";
    }
    try {
        CLayer layer("IDRISI", DataPath("huge.img"));
        FAIL() << "the claim was taken";
    } catch (const CCustomException& e) {
        EXPECT_NE(e.GetMessageText().find("huge.doc gives 46340 columns and 46340 rows: more "
                                          "cells than the memory can hold"),
                  std::string::npos)
            << e.GetMessageText();
    }
    EXPECT_THROW(CLayer(std::vector<int>{46340, 46340}), CCustomException);
}

TEST_F(LayerTest, MissingFilesReachTheCaller) {
    try {
        CLayer layer("IDRISI", DataPath("nothere.img"));
        FAIL() << "no exception for a missing header";
    } catch (const CCustomException& e) {
        EXPECT_EQ(e.GetMessageText().rfind("Error: ", 0), 0u) << e.GetMessageText();
        EXPECT_NE(e.GetMessageText().find("nothere.doc"), std::string::npos);
    }
    EXPECT_THROW(CLayer("IDRISI", DataPath("nothere.vec")), CCustomException);
    // A folder is not a layer file.
    const auto folder = std::filesystem::temp_directory_path() / "velko_gis_folder.vec";
    std::filesystem::create_directories(folder);
    EXPECT_THROW(CLayer("IDRISI", folder.string()), CCustomException);
    std::filesystem::remove(folder);
    const CLayer main("IDRISI", DataPath("terrain.img"));
    EXPECT_THROW(CLayer("IDRISI", DataPath("nothere.vec"), main), CCustomException);
}

TEST_F(LayerTest, WindowsPathAndLetterCase) {
    const std::string strPath = std::string(VELKO_TEST_DATA_DIR) + "\\gis\\casetest.img";
    const CLayer layer("IDRISI", strPath);
    ASSERT_EQ(layer.GetNumCells(), 2);
    EXPECT_DOUBLE_EQ(layer.GetCellValue(0), 7.25);
    EXPECT_DOUBLE_EQ(layer.GetCellValue(1), -3.0);
}

TEST_F(LayerTest, WrongTypeOrEndingGivesEmptyLayer) {
    for (const auto& [strType, strFile] :
         std::vector<std::pair<std::string, std::string>>{{"idrisi", "terrain.img"},
                                                          {"IDRISI", "terrain.doc"},
                                                          {"IDRISI", "CaseTest.IMG"},
                                                          {"IDRISI", "terrain"}}) {
        const CLayer layer(strType, DataPath(strFile));
        EXPECT_EQ(layer.GetNumCells(), 0) << strType << " " << strFile;
        EXPECT_EQ(layer.GetNumDimensions(), 0);
        EXPECT_TRUE(layer.GetDimensions().empty());
        EXPECT_FALSE(layer.IsRaster());
        EXPECT_FALSE(layer.IsVector());
    }
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

TEST_F(LayerTest, EmptyAndDimensionBuiltLayers) {
    const CLayer empty;
    EXPECT_EQ(empty.GetNumCells(), 0);
    EXPECT_EQ(empty.GetNumDimensions(), 0);
    EXPECT_EQ(empty.GetCellValue(0), -1.0);
    EXPECT_EQ(empty.GetCellIndex(0.0, 0.0), -1);

    const CLayer grid(std::vector<int>{10, 5});
    EXPECT_EQ(grid.GetNumCells(), 50);
    EXPECT_EQ(grid.GetNumDimensions(), 2);
    EXPECT_EQ(grid.GetType(), "");
    EXPECT_EQ(grid.GetCellValue(49), 0.0);
    // Bounds all 0: no division, no cell.
    EXPECT_EQ(grid.GetCellIndex(0.0, 0.0), -1);
}

TEST_F(LayerTest, CellIndexTable) {
    const CLayer layer("IDRISI", DataPath("square.img"));
    ASSERT_EQ(layer.GetNumCells(), 100);
    struct Case {
        double dX;
        double dY;
        int nIndex;
    };
    // index = row-from-top * 10 + column
    const Case cases[] = {
        {0.5, 9.5, 0},      // top-left cell
        {9.5, 0.5, 99},     // bottom-right cell
        {0.0, 0.0, 90},     // bottom-left corner
        {9.999, 9.999, 9},  // just inside the top-right corner
        {5.0, 5.0, 45},     // interior, on cell borders
        {3.2, 7.8, 23},     // interior
        {0.0, 5.0, 40},     // min. X edge
        {5.0, 0.0, 95},     // min. Y edge
        {10.0, 5.0, -1},    // max. X edge: would wrap into the next row
        {5.0, 10.0, -1},    // max. Y edge: would lie above the grid
        {10.0, 10.0, -1},   // top-right corner
        {10.0, 0.0, -1},    // bottom-right corner
        {0.0, 10.0, -1},    // top-left corner
        {-0.001, 5.0, -1},  // west of the grid
        {5.0, -0.5, -1},    // south of the grid
        {25.0, 3.0, -1},    // far east, same rows
    };
    for (const Case& c : cases) {
        EXPECT_EQ(layer.GetCellIndex(c.dX, c.dY), c.nIndex) << c.dX << ", " << c.dY;
        if (c.nIndex >= 0) {
            // Image line k holds k: the cell order is the image order.
            EXPECT_EQ(layer.GetCellValue(layer.GetCellIndex(c.dX, c.dY)), c.nIndex);
        }
    }
    const double dNaN = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(layer.GetCellIndex(dNaN, 5.0), -1);
}

TEST_F(LayerTest, EqualBoundsAreGuarded) {
    const CLayer flat("IDRISI", DataPath("flat.img"));
    ASSERT_EQ(flat.GetNumCells(), 4);
    EXPECT_EQ(flat.GetCellIndex(5.0, 1.0), -1);

    const CLayer onFlat("IDRISI", DataPath("points.vec"), flat);
    EXPECT_EQ(onFlat.GetNumCells(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(onFlat.GetCellValue(i), 0.0);
    }
    const auto boxes = m_notifier.GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].strText.find("no extent"), std::string::npos) << boxes[0].strText;
    EXPECT_NE(boxes[0].strText.find("7 point(s)"), std::string::npos) << boxes[0].strText;
}

TEST_F(LayerTest, GridWithoutFiniteExtentHasNoCells) {
    // An infinite bound, or finite bounds whose span overflows, would turn the
    // cell arithmetic into NaN.
    const CLayer unbounded("IDRISI", DataPath("unbounded.img"));
    ASSERT_EQ(unbounded.GetNumCells(), 4);
    EXPECT_EQ(unbounded.GetCellIndex(-5.0, 5.0), -1);
    const CLayer overwide("IDRISI", DataPath("overwide.img"));
    ASSERT_EQ(overwide.GetNumCells(), 4);
    EXPECT_EQ(overwide.GetCellIndex(5.0, 9e307), -1);
    EXPECT_EQ(overwide.GetCellIndex(5.0, 0.0), -1);
}

TEST_F(LayerTest, CellAccessOutsideTheCells) {
    CLayer layer("IDRISI", DataPath("square.img"));
    EXPECT_EQ(layer.GetCellValue(-1), -1.0);
    EXPECT_EQ(layer.GetCellValue(100), -1.0);
    EXPECT_FALSE(layer.GetCell(100));
    EXPECT_FALSE(layer.SetCellValue(-1, 5.0));
    EXPECT_FALSE(layer.SetCellValue(100, 5.0));
    EXPECT_TRUE(layer.SetCellValue(99, 5.0));
    EXPECT_EQ(layer.GetCellValue(99), 5.0);
    EXPECT_EQ(layer.GetCellValue(98), 98.0);
}

TEST_F(LayerTest, VectorPoints) {
    const CLayer layer("IDRISI", DataPath("three.vec"));
    EXPECT_TRUE(layer.IsVector());
    EXPECT_EQ(layer.GetNumDimensions(), 1);
    EXPECT_EQ(layer.GetDimensions(), (std::vector<int>{0}));
    ASSERT_EQ(layer.GetNumCells(), 3);
    const double expected[3][2] = {{1.5, 2.5}, {3.0, 4.0}, {-7.25, 8.0}};
    for (int i = 0; i < 3; ++i) {
        const std::optional<CCell> cell = layer.GetCell(i);
        ASSERT_TRUE(cell);
        EXPECT_EQ(cell->GetType(), "");
        EXPECT_EQ(cell->GetX(), expected[i][0]);
        EXPECT_EQ(cell->GetY(), expected[i][1]);
    }
    EXPECT_EQ(layer.GetMinValue(), 0.0);
    EXPECT_EQ(layer.GetMaxValue(), 0.0);
}

TEST_F(LayerTest, VectorFileWithFewerPointsThanAnnounced) {
    // The first line announces five points; only the two present are read.
    const CLayer points("IDRISI", DataPath("fewer.vec"));
    ASSERT_EQ(points.GetNumCells(), 2);
    EXPECT_EQ(points.GetCell(1)->GetX(), 9.5);
    const CLayer square("IDRISI", DataPath("square.img"));
    const CLayer onGrid("IDRISI", DataPath("fewer.vec"), square);
    ASSERT_EQ(onGrid.GetNumCells(), 100);
    EXPECT_EQ(onGrid.GetCellValue(0), 1.0);
    EXPECT_EQ(onGrid.GetCellValue(99), 1.0);
    EXPECT_EQ(onGrid.GetCellValue(1), 0.0);
    EXPECT_TRUE(m_notifier.GetBoxes().empty());
}

TEST_F(LayerTest, VectorOnGridSkipsAndReportsPointsOffTheGrid) {
    const CLayer main("IDRISI", DataPath("terrain.img"));
    const CLayer layer("IDRISI", DataPath("points.vec"), main);
    EXPECT_TRUE(layer.IsVector());
    EXPECT_FALSE(layer.IsRaster());
    EXPECT_EQ(layer.GetDimensions(), main.GetDimensions());
    EXPECT_EQ(layer.GetNumDimensions(), 2);
    EXPECT_EQ(layer.GetMaxX(), 100.0);
    EXPECT_EQ(layer.GetResolution(), 10.0);
    EXPECT_EQ(layer.GetMinValue(), 0.0);
    EXPECT_EQ(layer.GetMaxValue(), 1.0);
    ASSERT_EQ(layer.GetNumCells(), 50);

    // Points at cells 0 and 49, two in cell 1; the line after the announced
    // seven points (cell 25) is not read.
    for (int i = 0; i < 50; ++i) {
        const double dExpected = (i == 0 || i == 1 || i == 49) ? 1.0 : 0.0;
        EXPECT_EQ(layer.GetCellValue(i), dExpected) << "cell " << i;
        EXPECT_EQ(layer.GetCell(i)->GetType(), "double");
    }
    // The main layer is not touched.
    EXPECT_DOUBLE_EQ(main.GetCellValue(0), 1.5);

    // One off the grid, one on max. X, one on max. Y: skipped and reported.
    const auto boxes = m_notifier.GetBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText.rfind("3 point(s) of ", 0), 0u) << boxes[0].strText;
    EXPECT_NE(boxes[0].strText.find("points.vec"), std::string::npos);
}

TEST_F(LayerTest, CopiesAreIndependent) {
    CLayer source("IDRISI", DataPath("terrain.img"));

    CLayer copy(source);
    ASSERT_TRUE(copy.SetCellValue(3, -42.0));
    EXPECT_DOUBLE_EQ(source.GetCellValue(3), 4.5);
    ASSERT_TRUE(source.SetCellValue(4, -43.0));
    EXPECT_DOUBLE_EQ(copy.GetCellValue(4), 5.5);

    CLayer target(std::vector<int>{3});
    source.CopyGrid(target);
    EXPECT_EQ(target.GetNumCells(), 50);
    EXPECT_EQ(target.GetNumDimensions(), 2);
    EXPECT_EQ(target.GetDimensions(), source.GetDimensions());
    EXPECT_TRUE(target.IsRaster());
    EXPECT_EQ(target.GetMinX(), 0.0);
    EXPECT_EQ(target.GetMaxX(), 100.0);
    EXPECT_EQ(target.GetMaxY(), 50.0);
    EXPECT_EQ(target.GetResolution(), 10.0);
    // Fresh zero cells; the value range is not copied.
    EXPECT_EQ(target.GetCellValue(0), 0.0);
    EXPECT_EQ(target.GetCellValue(49), 0.0);
    EXPECT_EQ(target.GetMinValue(), 0.0);
    EXPECT_EQ(target.GetMaxValue(), 0.0);
    ASSERT_TRUE(target.SetCellValue(0, 9.0));
    EXPECT_DOUBLE_EQ(source.GetCellValue(0), 1.5);
    EXPECT_EQ(target.GetCellIndex(95.0, 5.0), 49);
}

}  // namespace
