#include "sh_gis/layer.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <system_error>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"
#include "sh_aux/pathhelp.h"

namespace {

const char* const kMessageTitle = "GIS layer";

// The text of a layer file: UTF-16 when it starts with a byte-order mark of
// either order, else UTF-8 or Windows-1252.
std::string DecodeLayerText(const std::string& strBytes) {
    const bool bLittle = strBytes.compare(0, 2, "\xFF\xFE") == 0;
    if (!bLittle && strBytes.compare(0, 2, "\xFE\xFF") != 0) {
        return DecodeTextBytes(strBytes);
    }
    std::u16string strUnits;
    strUnits.reserve(strBytes.size() / 2);
    for (size_t i = 2; i + 1 < strBytes.size(); i += 2) {
        const auto nFirst = static_cast<unsigned char>(strBytes[i]);
        const auto nSecond = static_cast<unsigned char>(strBytes[i + 1]);
        strUnits.push_back(
            static_cast<char16_t>(bLittle ? nFirst | (nSecond << 8) : (nFirst << 8) | nSecond));
    }
    return Utf16ToUtf8(strUnits);
}

// A number of a layer file: a decimal number and nothing else. "1,5",
// "nan", "inf", "abc", an empty line and numbers beyond the double range
// are none.
bool ReadLayerNumber(const std::string& strText, double& dValue) {
    const char* pFirst = strText.data();
    const char* pLast = pFirst + strText.size();
    if (pFirst != pLast && *pFirst == '+') {
        ++pFirst;
    }
    const auto [pEnd, ec] = std::from_chars(pFirst, pLast, dValue);
    return ec == std::errc() && pEnd == pLast && std::isfinite(dValue);
}

// Texts of a layer file that are not numbers: how many, and the first.
struct SBadNumbers {
    int nCount = 0;
    size_t nFirstLine = 0;  // 1-based
    std::string strFirst;

    void Add(size_t nLine, const std::string& strLine) {
        if (nCount++ == 0) {
            nFirstLine = nLine;
            strFirst = strLine;
            TruncateUtf8(strFirst, 40);
            // Shown in a message: no control characters.
            for (char& ch : strFirst) {
                if (static_cast<unsigned char>(ch) < 0x20) {
                    ch = '?';
                }
            }
        }
    }
    std::string Describe() const {
        return Format("%d line(s) that hold no number (the first, line %d: \"%s\")", nCount,
                      static_cast<int>(nFirstLine), strFirst.c_str());
    }
};

// One warning for the whole layer.
void WarnOfLayer(const std::string& strText) {
    GetNotifier().MessageBox(kMessageTitle, strText, NB_OK, NI_WARNING);
}

// Reads a text file into lines, without their line ends (LF or CR LF). A
// last line without a line end counts; an empty tail after the last line
// end does not.
std::vector<std::string> ReadTextLines(const std::string& strPath) {
    const std::string strResolved = ResolvePathNoCase(strPath);
    std::error_code ec;
    if (std::filesystem::is_directory(strResolved, ec)) {
        CCustomException::ThrowError("Cannot open the layer file " + strPath);
    }
    std::ifstream file(strResolved, std::ios::binary);
    if (!file.is_open()) {
        CCustomException::ThrowError("Cannot open the layer file " + strPath);
    }
    const std::string strBytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (file.bad()) {
        CCustomException::ThrowError("Cannot read the layer file " + strPath);
    }
    const std::string strText = DecodeLayerText(strBytes);

    std::vector<std::string> vecLines;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strText.size();
        }
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        vecLines.push_back(std::move(strLine));
        nStart = nEnd + 1;
    }
    return vecLines;
}

// The value of a header line: the text after its last ":", trimmed (the
// whole line, trimmed, when it has none).
std::string GetHeaderValue(const std::string& strLine) {
    const size_t nColon = strLine.rfind(':');
    return Trim(nColon == std::string::npos ? strLine : strLine.substr(nColon + 1));
}

// Splits a trimmed line at its first blank into the text before it and the
// (trimmed) text after it.
void SplitAtBlank(const std::string& strLine, std::string& strFirst, std::string& strSecond) {
    const std::string strTrimmed = Trim(strLine);
    const size_t nBlank = strTrimmed.find_first_of(" \t");
    if (nBlank == std::string::npos) {
        strFirst = strTrimmed;
        strSecond.clear();
        return;
    }
    strFirst = strTrimmed.substr(0, nBlank);
    strSecond = Trim(strTrimmed.substr(nBlank + 1));
}

// Number of point lines to read from a vector file: the count its first line
// announces (the second integer), but no more than the lines that follow;
// 0 when the file is empty or the count is missing or negative.
size_t CountPointLines(const std::vector<std::string>& vecLines) {
    if (vecLines.empty()) {
        return 0;
    }
    std::string strFirst;
    std::string strSecond;
    SplitAtBlank(vecLines.front(), strFirst, strSecond);
    const int nCount = StringToInt(strSecond);
    return nCount > 0 ? std::min(static_cast<size_t>(nCount), vecLines.size() - 1) : 0;
}

// False when the line does not hold two numbers (the point is then 0, 0).
bool ReadPoint(const std::string& strLine, double& dX, double& dY) {
    std::string strX;
    std::string strY;
    SplitAtBlank(strLine, strX, strY);
    if (ReadLayerNumber(strX, dX) && ReadLayerNumber(strY, dY)) {
        return true;
    }
    dX = 0.0;
    dY = 0.0;
    return false;
}

// Product of the dimension sizes, or -1 when a size is negative or the
// product leaves the int range. No sizes: no cells.
int64_t CountCells(const std::vector<int>& vecDimensions) {
    if (vecDimensions.empty()) {
        return 0;
    }
    int64_t nCount = 1;
    for (const int nSize : vecDimensions) {
        if (nSize < 0) {
            return -1;
        }
        nCount *= nSize;
        if (nCount > INT_MAX) {
            return -1;
        }
    }
    return nCount;
}

// True when nCount cell values fit in the memory available now.
bool CellsFit(int64_t nCount) {
    return nCount >= 0 && MemoryCanHold(static_cast<uint64_t>(nCount) * sizeof(double));
}

// nCount fresh values of 0.0; a size the machine cannot hold is an error of
// the layer, not of the program (and is refused before it is allocated).
std::vector<double> MakeValueCells(int64_t nCount) {
    if (CellsFit(nCount)) {
        try {
            return std::vector<double>(static_cast<size_t>(nCount), 0.0);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
    }
    CCustomException::ThrowError(
        Format("Not enough memory for a layer of %lld cells", static_cast<long long>(nCount)));
}

}  // namespace

CLayer::CLayer() = default;

CLayer::CLayer(const std::vector<int>& vecDimensions)
    : m_nNumDimensions(static_cast<int>(vecDimensions.size())), m_vecDimensions(vecDimensions) {
    const int64_t nCount = CountCells(vecDimensions);
    if (nCount < 0) {
        CCustomException::ThrowError("Invalid layer dimensions");
    }
    m_vecValues = MakeValueCells(nCount);
}

CLayer::CLayer(const std::string& strType, const std::string& strFile) {
    if (strType != "IDRISI") {
        return;
    }
    const std::string strPath = NormalizeSlashes(strFile);
    const std::string strEnding = Right(strPath, 4);
    if (strEnding == ".img") {
        m_nNumDimensions = 2;
        m_vecDimensions.assign(2, 0);
        LoadRaster(strPath);
    } else if (strEnding == ".vec") {
        m_nNumDimensions = 1;
        m_vecDimensions.assign(1, 0);
        LoadVector(strPath);
        m_dMinValue = 0.0;
        m_dMaxValue = 0.0;
    }
}

CLayer::CLayer(const std::string& /*strType*/, const std::string& strFile,
               const CLayer& mainLayer) {
    LoadVectorOnGrid(NormalizeSlashes(strFile), mainLayer);
    m_dMinValue = 0.0;
    m_dMaxValue = 1.0;
}

void CLayer::ReadHeader(const std::vector<std::string>& vecLines, bool bAll) {
    struct Key {
        const char* pszKey;
        bool bGridOnly;
    };
    static const Key keys[] = {
        {"columns", true},     {"rows", true},       {"min. X", false},
        {"max. X", false},     {"min. Y", false},    {"max. Y", false},
        {"resolution", false}, {"min. value", true}, {"max. value", true},
    };
    for (const std::string& strLine : vecLines) {
        for (int nKey = 0; nKey < static_cast<int>(std::size(keys)); ++nKey) {
            if ((keys[nKey].bGridOnly && !bAll) ||
                strLine.find(keys[nKey].pszKey) == std::string::npos) {
                continue;
            }
            const std::string strValue = GetHeaderValue(strLine);
            switch (nKey) {
                case 0:
                    m_vecDimensions[0] = StringToInt(strValue);
                    break;
                case 1:
                    m_vecDimensions[1] = StringToInt(strValue);
                    break;
                case 2:
                    m_dMinX = StringToDouble(strValue);
                    break;
                case 3:
                    m_dMaxX = StringToDouble(strValue);
                    break;
                case 4:
                    m_dMinY = StringToDouble(strValue);
                    break;
                case 5:
                    m_dMaxY = StringToDouble(strValue);
                    break;
                case 6:
                    m_dResolution = StringToDouble(strValue);
                    break;
                case 7:
                    m_dMinValue = StringToDouble(strValue);
                    break;
                default:
                    m_dMaxValue = StringToDouble(strValue);
                    break;
            }
            break;  // the first key found decides
        }
    }
}

void CLayer::LoadRaster(const std::string& strPath) {
    const std::string strHeader = RemoveExtension(strPath) + ".doc";
    ReadHeader(ReadTextLines(strHeader), true);

    const int64_t nCount = CountCells(m_vecDimensions);
    if (nCount < 0) {
        CCustomException::ThrowError(
            Format("The header %s gives invalid sizes (%d columns, %d rows)", strHeader.c_str(),
                   m_vecDimensions[0], m_vecDimensions[1]));
    }
    // A header is trusted for sizes, not for memory: a digit too many must
    // not take the machine down.
    if (!CellsFit(nCount)) {
        CCustomException::ThrowError(
            Format("The header %s gives %d columns and %d rows: more cells than the memory can "
                   "hold",
                   strHeader.c_str(), m_vecDimensions[0], m_vecDimensions[1]));
    }
    // Cells the image does not reach keep 0.0; lines beyond the cells are
    // ignored.
    m_vecValues = MakeValueCells(nCount);
    const std::vector<std::string> vecLines = ReadTextLines(strPath);
    const size_t nRead = std::min(vecLines.size(), m_vecValues.size());
    SBadNumbers bad;
    for (size_t i = 0; i < nRead; ++i) {
        const std::string strLine = Trim(vecLines[i]);
        if (!ReadLayerNumber(strLine, m_vecValues[i])) {
            m_vecValues[i] = 0.0;
            bad.Add(i + 1, strLine);
        }
    }
    m_strType = "idrisi_raster";
    // What is not read from the image is 0: said once for the layer.
    std::string strWarning;
    if (bad.nCount > 0) {
        strWarning = "The image " + strPath + " has " + bad.Describe() + "; their cells are 0.";
    }
    if (nRead < m_vecValues.size()) {
        strWarning += (strWarning.empty() ? "The image " + strPath : std::string(" It")) +
                      Format(" holds %d value line(s) for %d cells; the other cells are 0.",
                             static_cast<int>(nRead), static_cast<int>(m_vecValues.size()));
    }
    if (!strWarning.empty()) {
        WarnOfLayer(strWarning);
    }
}

void CLayer::LoadVector(const std::string& strPath) {
    const std::string strHeader = RemoveExtension(strPath) + ".vec";
    const std::vector<std::string> vecHeader = ReadTextLines(strHeader);
    ReadHeader(vecHeader, false);

    const std::vector<std::string> vecLines =
        strHeader == strPath ? vecHeader : ReadTextLines(strPath);
    // Only the points the file really holds become cells.
    const size_t nPoints = CountPointLines(vecLines);
    m_vecValues.assign(nPoints, 0.0);
    m_vecPoints.clear();
    m_vecPoints.reserve(nPoints);
    SBadNumbers bad;
    for (size_t i = 0; i < nPoints; ++i) {
        double dX = 0.0;
        double dY = 0.0;
        if (!ReadPoint(vecLines[i + 1], dX, dY)) {
            bad.Add(i + 2, Trim(vecLines[i + 1]));
        }
        m_vecPoints.emplace_back(dX, dY);
    }
    m_strType = "idrisi_vectorial";
    if (bad.nCount > 0) {
        WarnOfLayer("The vector file " + strPath + " has " + bad.Describe() +
                    "; their points are 0, 0.");
    }
}

void CLayer::LoadVectorOnGrid(const std::string& strPath, const CLayer& mainLayer) {
    mainLayer.CopyGrid(*this);

    const std::vector<std::string> vecLines = ReadTextLines(strPath);
    const size_t nPoints = CountPointLines(vecLines);

    if (!HasGridExtent()) {
        if (nPoints > 0) {
            WarnOfLayer(
                Format("The grid of the main layer has no extent; the %d point(s) of %s were "
                       "skipped.",
                       static_cast<int>(nPoints), strPath.c_str()));
        }
    } else {
        int nSkipped = 0;
        SBadNumbers bad;
        for (size_t i = 0; i < nPoints; ++i) {
            double dX = 0.0;
            double dY = 0.0;
            if (!ReadPoint(vecLines[i + 1], dX, dY)) {
                bad.Add(i + 2, Trim(vecLines[i + 1]));
                continue;
            }
            const int nIndex = GetCellIndex(dX, dY);
            if (nIndex < 0) {
                ++nSkipped;
                continue;
            }
            m_vecValues[static_cast<size_t>(nIndex)] = 1.0;
        }
        std::string strWarning;
        if (nSkipped > 0) {
            strWarning = Format(
                "%d point(s) of %s lie outside the grid of the main layer (or on its "
                "max. X or max. Y edge) and were skipped.",
                nSkipped, strPath.c_str());
        }
        if (bad.nCount > 0) {
            strWarning +=
                (strWarning.empty() ? "" : " ") + ("The vector file " + strPath + " has " +
                                                   bad.Describe() + "; those points were skipped.");
        }
        if (!strWarning.empty()) {
            WarnOfLayer(strWarning);
        }
    }
    m_strType = "idrisi_vectorial";
}

bool CLayer::HasGridExtent() const {
    // A span that is infinite (an infinite bound, or finite bounds too far
    // apart) would make the cell arithmetic NaN.
    return m_vecDimensions.size() == 2 && m_vecDimensions[0] > 0 && m_vecDimensions[1] > 0 &&
           m_dMaxX > m_dMinX && m_dMaxY > m_dMinY && std::isfinite(m_dMaxX - m_dMinX) &&
           std::isfinite(m_dMaxY - m_dMinY);
}

int CLayer::GetCellIndex(double dX, double dY) const {
    if (!HasGridExtent()) {
        return -1;
    }
    // Half-open bounds: a point on the max. X or max. Y edge belongs to no
    // cell (it would otherwise land in the next row or below the grid).
    if (!(dX >= m_dMinX && dX < m_dMaxX && dY >= m_dMinY && dY < m_dMaxY)) {
        return -1;
    }
    const int nColumns = m_vecDimensions[0];
    const int nRows = m_vecDimensions[1];
    int nColumn = static_cast<int>(std::floor(nColumns * ((dX - m_dMinX) / (m_dMaxX - m_dMinX))));
    int nRow = static_cast<int>(std::floor(nRows * ((dY - m_dMinY) / (m_dMaxY - m_dMinY))));
    // Rounding can carry a point just below the max. edge onto it.
    nColumn = std::min(nColumn, nColumns - 1);
    nRow = std::min(nRow, nRows - 1);
    const int64_t nIndex = nColumn + static_cast<int64_t>(nRows - nRow - 1) * nColumns;
    return nIndex < GetNumCells() ? static_cast<int>(nIndex) : -1;
}

double CLayer::GetCellValue(int nIndex) const {
    if (nIndex < 0 || nIndex >= GetNumCells()) {
        return -1.0;
    }
    return m_vecValues[static_cast<size_t>(nIndex)];
}

bool CLayer::SetCellValue(int nIndex, double dValue) {
    if (nIndex < 0 || nIndex >= GetNumCells()) {
        return false;
    }
    m_vecValues[static_cast<size_t>(nIndex)] = dValue;
    return true;
}

std::optional<CCell> CLayer::GetCell(int nIndex) const {
    if (nIndex < 0 || nIndex >= GetNumCells()) {
        return std::nullopt;
    }
    const size_t n = static_cast<size_t>(nIndex);
    if (n < m_vecPoints.size()) {
        CCell point(m_vecPoints[n].first, m_vecPoints[n].second);
        point.SetValue(m_vecValues[n]);
        return point;
    }
    return CCell(m_vecValues[n]);
}

void CLayer::CopyGrid(CLayer& target) const {
    std::vector<double> vecCells = MakeValueCells(GetNumCells());
    target.m_dResolution = m_dResolution;
    target.m_dMaxX = m_dMaxX;
    target.m_dMaxY = m_dMaxY;
    target.m_dMinX = m_dMinX;
    target.m_dMinY = m_dMinY;
    target.m_strType = m_strType;
    target.m_vecDimensions = m_vecDimensions;
    target.m_nNumDimensions = m_nNumDimensions;
    target.m_vecValues = std::move(vecCells);
    target.m_vecPoints.clear();
}
