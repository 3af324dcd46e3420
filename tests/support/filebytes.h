#pragma once

// Whole files as bytes, for tests that check what was written byte for byte.

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace velkotest {

inline std::string ReadFileBytes(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& strPath, std::string_view bytes) {
    std::ofstream(strPath, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velkotest
