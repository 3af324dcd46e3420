#pragma once

// Runs a check as a user who is not root, so that file permissions hold as
// they do for the program's users: root writes read-only files and folders.
// When this process is root, the check runs in a child process that becomes
// "nobody" (65534) and is given the folder it works in; otherwise it runs
// here. The check returns what went wrong, "" when nothing did; so does the
// call, or nothing when no such user can be had (the caller skips).

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

namespace velkotest {

inline std::optional<std::string> RunAsPlainUser(const std::string& strFolder,
                                                 const std::function<std::string()>& check) {
    if (::geteuid() != 0) {
        return check();
    }
    constexpr uid_t kNobody = 65534;
    if (::chown(strFolder.c_str(), kNobody, kNobody) != 0) {
        return std::nullopt;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        return std::nullopt;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 ||
            ::geteuid() == 0) {
            ::_exit(3);
        }
        std::string strResult;
        try {
            strResult = check();
        } catch (...) {
            strResult = "the check threw";
        }
        for (size_t nDone = 0; nDone < strResult.size();) {
            const ssize_t n = ::write(fds[1], strResult.data() + nDone, strResult.size() - nDone);
            if (n <= 0) {
                ::_exit(4);
            }
            nDone += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string strResult;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) != 0;) {
        if (n > 0) {
            strResult.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 3) {
        return std::nullopt;
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        return strResult + "\nthe check's process ended abnormally (status " +
               std::to_string(nStatus) + ")";
    }
    return strResult;
}

}  // namespace velkotest
