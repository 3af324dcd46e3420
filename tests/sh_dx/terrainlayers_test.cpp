#include "clients/velkoeyedx/sh_dx/terrainlayers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "sh_dx/scenefolder.h"

namespace {

using velkotest::ViewerTest;

class TerrainLayersTest : public ViewerTest {
protected:
    std::vector<std::string> CellTextures(const CTerrain& terrain) const {
        std::vector<std::string> vecNames;
        for (int nCell = 0; nCell < terrain.GetNumCells(); ++nCell) {
            vecNames.push_back(terrain.GetCellTexture(nCell));
        }
        return vecNames;
    }
};

TEST_F(TerrainLayersTest, LayersBesideTheTerrainPaintItsPositiveCells) {
    m_files.WriteRaster("gis/dem", 3, 2, {1, 2, 3, 4, 5, 6}, 0, 3, 0, 2);
    m_files.WriteRaster("gis/roads", 3, 2, {0, 1, 0, -1, 2, 0}, 0, 3, 0, 2);
    m_files.WriteRaster("gis/wide", 4, 3, std::vector<double>(12, 1.0), 0, 4, 0, 3);
    // Two points: in cell 0 (top left) and cell 5 (bottom right).
    m_files.Write("gis/wells.vec", "1 2\n0.5 1.5\n2.5 0.5\n");
    m_files.Write("gis/broken.img", "1\n2\n");  // no header beside it
    m_files.Write("gis/CAPS.IMG", "1\n");
    m_files.Write("gis/notes.txt", "not a layer");

    CTerrain terrain(m_files.Resolver());
    CTerrainLayers layers;
    // A flat grid has no folder of its own.
    ASSERT_TRUE(terrain.InitFromCellCount(6 * 6));
    layers.LoadLayers(terrain);
    EXPECT_TRUE(layers.GetLayerNames().empty());

    ASSERT_TRUE(terrain.LoadTerrain("gis/dem.img"));
    layers.LoadLayers(terrain);
    EXPECT_EQ(layers.GetLayerNames(), (std::vector<std::string>{"roads", "wells", "wide"}));
    ASSERT_EQ(LineTexts().size(), 1u);
    EXPECT_NE(LineTexts()[0].find("broken.img"), std::string::npos) << LineTexts()[0];

    EXPECT_TRUE(layers.SetLayerTexture("roads", "green", terrain));
    EXPECT_EQ(CellTextures(terrain),
              (std::vector<std::string>{"", "grass.dds", "", "", "grass.dds", ""}));
    EXPECT_TRUE(layers.SetLayerTexture("wells", "white", terrain));
    EXPECT_TRUE(layers.SetLayerTexture("roads", "none", terrain));
    EXPECT_EQ(CellTextures(terrain),
              (std::vector<std::string>{"snow.png", "snow.png", "", "", "snow.png", "snow.png"}));
    // A typed name paints no texture; an unknown layer paints nothing.
    EXPECT_TRUE(layers.SetLayerTexture("roads", "blue", terrain));
    EXPECT_FALSE(layers.SetLayerTexture("lakes", "green", terrain));
    EXPECT_EQ(CellTextures(terrain),
              (std::vector<std::string>{"snow.png", "", "", "", "", "snow.png"}));
    // A layer larger than the grid paints the cells that exist.
    EXPECT_TRUE(layers.SetLayerTexture("wide", "cyan", terrain));
    EXPECT_EQ(CellTextures(terrain), std::vector<std::string>(6, "ice.jpg"));

    // A terrain in another folder adds its layers; a title met again is
    // replaced by the new file.
    m_files.WriteRaster("other/dem2", 3, 2, {1, 1, 1, 1, 1, 1}, 0, 3, 0, 2);
    m_files.WriteRaster("other/roads", 3, 2, {5, 0, 0, 0, 0, 0}, 0, 3, 0, 2);
    m_files.WriteRaster("other/lakes", 3, 2, {0, 0, 0, 0, 0, 0}, 0, 3, 0, 2);
    ASSERT_TRUE(terrain.LoadTerrain(m_files.Path("other/dem2.img")));
    layers.LoadLayers(terrain);
    EXPECT_EQ(layers.GetLayerNames(),
              (std::vector<std::string>{"lakes", "roads", "wells", "wide"}));
    EXPECT_EQ(layers.GetLayer("roads")->GetCellValue(0), 5.0);
    terrain.ClearCellTextures();
    EXPECT_TRUE(layers.SetLayerTexture("lakes", "green", terrain));
    EXPECT_EQ(CellTextures(terrain), std::vector<std::string>(6, ""));
}

}  // namespace
