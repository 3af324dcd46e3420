#pragma once

// What the fuzz targets share: an input cut into the files of one case, a
// scratch folder those files are written to, a notifier that keeps the
// readers' reports off the screen, and the check that turns a broken promise
// of a reader into a crash the fuzzer reports.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sh_aux/notifier.h"
#include "support/filebytes.h"
#include "support/recordingnotifier.h"
#include "support/tempfolder.h"

namespace velkofuzz {

// Ends the process with a message when a reader breaks its promise; the
// fuzzer keeps the input that did it.
inline void Check(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", pszWhat);
        std::abort();
    }
}

// The input cut at every line that holds only "%%" into at most nMaxParts
// files; what follows the last cut stays in the last part. Missing parts
// are empty, so a plain file is a valid case of a target that reads several.
inline std::vector<std::string_view> SplitParts(const uint8_t* pData, size_t nSize,
                                                size_t nMaxParts) {
    static constexpr std::string_view kCut = "\n%%\n";
    std::string_view strRest(reinterpret_cast<const char*>(pData), nSize);
    std::vector<std::string_view> vecParts;
    while (vecParts.size() + 1 < nMaxParts) {
        const size_t nCut = strRest.find(kCut);
        if (nCut == std::string_view::npos) {
            break;
        }
        vecParts.push_back(strRest.substr(0, nCut + 1));
        strRest.remove_prefix(nCut + kCut.size());
    }
    vecParts.push_back(strRest);
    vecParts.resize(nMaxParts);
    return vecParts;
}

// One folder for the whole run, emptied before each case so that no case
// sees the files of the one before.
class CScratch {
public:
    // Empties the folder; returns its path (ending in "/").
    const std::string& Fresh() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder.GetPath(), ec)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
        return m_folder.GetPath();
    }
    // Writes bytes to a file of the folder (its own folders made first) and
    // returns the file's path.
    std::string Write(const std::string& strName, std::string_view bytes) {
        const std::filesystem::path path = m_folder.GetPath() + strName;
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        velkotest::WriteFileBytes(path.string(), bytes);
        return path.string();
    }
    const std::string& GetPath() const { return m_folder.GetPath(); }

private:
    velkotest::CTempFolder m_folder{"velko_fuzz_"};
};

// The notifier every report of the run goes to.
inline CRecordingNotifier& Notifier() {
    static CRecordingNotifier notifier;
    return notifier;
}

// Starts a case: the notifier installed and emptied, the scratch folder
// emptied. Returns the folder.
inline CScratch& BeginCase() {
    static CScratch scratch;
    Notifier().Clear();
    SetNotifier(&Notifier());
    scratch.Fresh();
    return scratch;
}

}  // namespace velkofuzz
