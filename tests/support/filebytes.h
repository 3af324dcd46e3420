#pragma once

// Whole files as bytes, for tests that check what was written byte for byte,
// and a full disk to write them to.

#include <sys/resource.h>

#include <csignal>
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

// While it lives, no file this process writes grows past nBytes: a write
// beyond fails (EFBIG) as on a full disk, instead of killing the process.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_pOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = nBytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_pOldHandler);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_pOldHandler)(int) = SIG_DFL;
};

}  // namespace velkotest
