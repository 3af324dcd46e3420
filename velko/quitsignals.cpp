#include "velko/quitsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kQuitSignalCount = sizeof(kQuitSignals) / sizeof(kQuitSignals[0]);

// The write end of the pipe, for the handler; -1 while no object is set up.
std::atomic<int> g_nWriteFd{-1};
struct sigaction g_previous[kQuitSignalCount];

// Async-signal-safe: one write that never blocks (a full pipe holds enough
// signals already), errno left as the interrupted code had it.
void OnQuitSignal(int nSignal) {
    const int nSaved = errno;
    const int nFd = g_nWriteFd.load(std::memory_order_relaxed);
    if (nFd >= 0) {
        const auto byte = static_cast<unsigned char>(nSignal);
        [[maybe_unused]] const ssize_t n = write(nFd, &byte, 1);
    }
    errno = nSaved;
}

}  // namespace

CQuitSignals::CQuitSignals(QObject* pParent) : QObject(pParent) {
    int fds[2] = {-1, -1};
    if (g_nWriteFd.load() >= 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_nReadFd = fds[0];
    g_nWriteFd = fds[1];
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    // The other threads' calls go on where they were interrupted.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kQuitSignalCount; ++i) {
        sigaction(kQuitSignals[i], &action, &g_previous[i]);
    }
    m_pNotifier = new QSocketNotifier(m_nReadFd, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CQuitSignals::ReadPipe);
    m_bInstalled = true;
}

CQuitSignals::~CQuitSignals() {
    if (!m_bInstalled) {
        return;
    }
    for (int i = 0; i < kQuitSignalCount; ++i) {
        sigaction(kQuitSignals[i], &g_previous[i], nullptr);
    }
    const int nWriteFd = g_nWriteFd.exchange(-1);
    delete m_pNotifier;
    close(m_nReadFd);
    close(nWriteFd);
}

void CQuitSignals::ReadPipe() {
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = read(m_nReadFd, bytes, sizeof(bytes));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // emptied (EAGAIN)
        }
        for (ssize_t i = 0; i < n; ++i) {
            emit Received(bytes[i]);
        }
    }
}
