#pragma once

// A fresh folder under the system's temporary folder, removed with its
// contents at destruction. GetPath() ends in "/".

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace velkotest {

class CTempFolder {
public:
    explicit CTempFolder(const std::string& strPrefix = "velko_test_") {
        std::string strTemplate =
            (std::filesystem::temp_directory_path() / (strPrefix + "XXXXXX")).string();
        if (!mkdtemp(strTemplate.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_strPath = strTemplate + "/";
    }
    ~CTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& GetPath() const { return m_strPath; }

private:
    std::string m_strPath;
};

}  // namespace velkotest
