#pragma once

// A full disk, as far as this process's writes go: while an instance lives,
// no file can grow past the given size. A write past it fails with EFBIG
// instead of raising SIGXFSZ, which is ignored meanwhile.

#include <sys/resource.h>

#include <csignal>
#include <stdexcept>

namespace velkotest {

class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        if (getrlimit(RLIMIT_FSIZE, &m_old) != 0) {
            throw std::runtime_error("getrlimit failed");
        }
        m_pOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = nBytes;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            std::signal(SIGXFSZ, m_pOldHandler);
            throw std::runtime_error("setrlimit failed");
        }
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
