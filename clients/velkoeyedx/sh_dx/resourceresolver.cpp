#include "clients/velkoeyedx/sh_dx/resourceresolver.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "sh_aux/pathhelp.h"

namespace {

// The path, resolved without regard to case, when it names a regular file.
std::string ExistingFile(const std::string& strPath) {
    const std::string strResolved = ResolvePathNoCase(strPath);
    std::error_code ec;
    return std::filesystem::is_regular_file(strResolved, ec) ? strResolved : std::string();
}

}  // namespace

CResourceResolver::CResourceResolver() : m_strRoot(GetProgramFolder()) {}

CResourceResolver::CResourceResolver(std::string strRoot) : m_strRoot(std::move(strRoot)) {}

std::string CResourceResolver::Resolve(const std::string& strName, ResourceKind eKind,
                                       const std::string& strBaseFolder) const {
    const std::string strConverted = NormalizeSlashes(strName);
    if (strConverted.empty()) {
        return {};
    }
    std::string strFound = ExistingFile(JoinPath(NormalizeSlashes(strBaseFolder), strConverted));
    if (!strFound.empty() || strConverted.front() == '/' || m_strRoot.empty()) {
        return strFound;
    }
    strFound = ExistingFile(JoinPath(m_strRoot, strConverted));
    if (!strFound.empty()) {
        return strFound;
    }
    const char* pszFolder = eKind == RK_MESH ? "res/meshes" : "res/textures";
    return ExistingFile(JoinPath(JoinPath(m_strRoot, pszFolder), strConverted));
}

std::string CResourceResolver::GetProgramFolder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : GetFolder(exe.string());
}
