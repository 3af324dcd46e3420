// IDRISI layers: the parts of the input are a raster's ".doc" header and
// ".img" image and a ".vec" point file. The raster and the points are read
// on their own, then the points are laid onto the raster's grid.
//
// A header may claim as many cells as the machine can hold, which is more
// than the fuzzer's memory limit allows: while fuzzing, a header giving a
// thousand columns or rows or more is passed over (the seeds still run it).

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzzinput.h"
#include "sh_aux/customexception.h"
#include "sh_gis/layer.h"

namespace {

// True when a line naming the columns or the rows holds a number of four
// digits or more.
[[maybe_unused]] bool ClaimsThousands(std::string_view header) {
    size_t nStart = 0;
    while (nStart < header.size()) {
        const size_t nEnd = std::min(header.find('\n', nStart), header.size());
        const std::string_view line = header.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (line.find("columns") == std::string_view::npos &&
            line.find("rows") == std::string_view::npos) {
            continue;
        }
        int nDigits = 0;
        for (const char ch : line) {
            nDigits = std::isdigit(static_cast<unsigned char>(ch)) ? nDigits + 1 : 0;
            if (nDigits >= 4) {
                return true;
            }
        }
    }
    return false;
}

// Every map point falls in one of the layer's cells or in none.
void CheckCellIndexes(const CLayer& layer) {
    const double dMidX = layer.GetMinX() / 2 + layer.GetMaxX() / 2;
    const double dMidY = layer.GetMinY() / 2 + layer.GetMaxY() / 2;
    for (const double dX : {layer.GetMinX(), dMidX, layer.GetMaxX()}) {
        for (const double dY : {layer.GetMinY(), dMidY, layer.GetMaxY()}) {
            const int nIndex = layer.GetCellIndex(dX, dY);
            velkofuzz::Check(nIndex >= -1 && nIndex < layer.GetNumCells(),
                             "a cell index is a cell or -1");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    velkofuzz::CScratch& scratch = velkofuzz::BeginCase();

    const auto vecParts = velkofuzz::SplitParts(pData, nSize, 3);
#ifdef VELKO_FUZZING
    if (ClaimsThousands(vecParts[0])) {
        return 0;
    }
#endif
    scratch.Write("layer.doc", vecParts[0]);
    const std::string strImage = scratch.Write("layer.img", vecParts[1]);
    const std::string strPoints = scratch.Write("points.vec", vecParts[2]);

    try {
        const CLayer points("IDRISI", strPoints);
        velkofuzz::Check(points.IsVector() && points.GetNumDimensions() == 1,
                         "a point file gives a vector layer");
    } catch (const CCustomException&) {
    }

    CLayer raster;
    try {
        raster = CLayer("IDRISI", strImage);
    } catch (const CCustomException&) {
        return 0;
    }
    const std::vector<int>& vecSizes = raster.GetDimensions();
    velkofuzz::Check(raster.IsRaster() && vecSizes.size() == 2, "an image gives a raster");
    velkofuzz::Check(static_cast<int64_t>(vecSizes[0]) * vecSizes[1] == raster.GetNumCells(),
                     "a raster has a cell for each column of each row");
    CheckCellIndexes(raster);

    try {
        const CLayer onGrid("IDRISI", strPoints, raster);
        velkofuzz::Check(onGrid.GetNumCells() == raster.GetNumCells(),
                         "points on a grid give the grid's cells");
        for (int i = 0; i < onGrid.GetNumCells(); ++i) {
            const double dValue = onGrid.GetCellValue(i);
            velkofuzz::Check(dValue == 0.0 || dValue == 1.0, "a grid cell holds a point or none");
        }
        CheckCellIndexes(onGrid);
    } catch (const CCustomException&) {
    }
    return 0;
}
