#pragma once

// The viewer tests' files: a temporary folder standing for the program's
// folder (resources under "res/"), with writers for meshes, textures and
// IDRISI layers, and a recorder of what the viewer reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "support/tempfolder.h"

namespace velkotest {

class CSceneFolder {
public:
    CSceneFolder() : m_folder("velko_dx_") {}

    std::string Path(const std::string& strRelative) const {
        return m_folder.GetPath() + strRelative;
    }
    CResourceResolver Resolver() const { return CResourceResolver(m_folder.GetPath()); }

    // Writes a file (its folders are created); returns its path.
    std::string Write(const std::string& strRelative, const std::string& strText) const {
        const std::string strPath = Path(strRelative);
        std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
        std::ofstream(strPath, std::ios::binary) << strText;
        return strPath;
    }

    // An IDRISI raster strTitle + ".img" with its ".doc": nCols x nRows
    // values row by row from the top, the value range taken from them.
    std::string WriteRaster(const std::string& strTitle, int nCols, int nRows,
                            const std::vector<double>& vecValues, double dMinX = 0.0,
                            double dMaxX = 1.0, double dMinY = 0.0, double dMaxY = 1.0) const {
        const auto [itMin, itMax] = std::minmax_element(vecValues.begin(), vecValues.end());
        Write(strTitle + ".doc",
              Format("columns     : %d\nrows        : %d\nmin. X      : %g\nmax. X      : %g\n"
                     "min. Y      : %g\nmax. Y      : %g\nresolution  : 1\n"
                     "min. value  : %g\nmax. value  : %g\n",
                     nCols, nRows, dMinX, dMaxX, dMinY, dMaxY, *itMin, *itMax));
        std::string strValues;
        for (double dValue : vecValues) {
            strValues += Format("%g\n", dValue);
        }
        return Write(strTitle + ".img", strValues);
    }

private:
    CTempFolder m_folder;
};

// Records the reports (boxes and lines) of one test.
class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override { SetNotifier(&m_notifier); }
    void TearDown() override { SetNotifier(nullptr); }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> vecTexts;
        for (const auto& box : m_notifier.GetBoxes()) {
            vecTexts.push_back(box.strText);
        }
        return vecTexts;
    }
    std::vector<std::string> LineTexts() const {
        std::vector<std::string> vecTexts;
        for (const auto& line : m_notifier.GetLines()) {
            vecTexts.push_back(line.strLine);
        }
        return vecTexts;
    }

    CSceneFolder m_files;
    CRecordingNotifier m_notifier;
};

}  // namespace velkotest
