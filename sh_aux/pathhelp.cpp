#include "sh_aux/pathhelp.h"

#include <dirent.h>

#include <vector>

#include "sh_aux/hpslib.h"

namespace {

// Cuts the first component off strRest, up to its next "/". Unlike the
// tokenisers it keeps blanks: they are part of file and folder names.
std::string NextComponent(std::string& strRest) {
    const size_t nSlash = strRest.find('/');
    std::string strPart = strRest.substr(0, nSlash);
    strRest.erase(0, nSlash == std::string::npos ? std::string::npos : nSlash + 1);
    return strPart;
}

}  // namespace

std::string NormalizeSlashes(std::string strPath) {
    for (char& ch : strPath) {
        if (ch == '\\') {
            ch = '/';
        }
    }
    return strPath;
}

std::string GetFolder(const std::string& strPath) {
    const size_t nPos = strPath.find_last_of('/');
    return nPos == std::string::npos ? std::string() : strPath.substr(0, nPos + 1);
}

std::string GetFileName(const std::string& strPath) {
    const size_t nPos = strPath.find_last_of('/');
    return nPos == std::string::npos ? strPath : strPath.substr(nPos + 1);
}

std::string GetExtension(const std::string& strPath) {
    const std::string strName = GetFileName(strPath);
    const size_t nPos = strName.find_last_of('.');
    return nPos == std::string::npos ? std::string() : strName.substr(nPos);
}

std::string RemoveExtension(const std::string& strPath) {
    const std::string strExt = GetExtension(strPath);
    return strPath.substr(0, strPath.size() - strExt.size());
}

std::string JoinPath(const std::string& strFolder, const std::string& strPath) {
    if (strFolder.empty() || (!strPath.empty() && strPath.front() == '/')) {
        return strPath;
    }
    if (strFolder.back() == '/') {
        return strFolder + strPath;
    }
    return strFolder + "/" + strPath;
}

std::string NormalizePath(const std::string& strPath) {
    const bool bAbsolute = !strPath.empty() && strPath.front() == '/';
    std::vector<std::string> parts;
    std::string strRest = strPath;
    while (!strRest.empty()) {
        std::string strPart = NextComponent(strRest);
        if (strPart.empty() || strPart == ".") {
            continue;
        }
        if (strPart == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (strPart == ".." && bAbsolute) {
            continue;  // "/.." is "/"
        } else {
            parts.push_back(strPart);
        }
    }
    std::string strOut = bAbsolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        strOut += (i ? "/" : "") + parts[i];
    }
    if (strOut.empty()) {
        strOut = ".";
    }
    if (strPath.size() > 1 && strPath.back() == '/' && strOut.back() != '/') {
        strOut += '/';
    }
    return strOut;
}

namespace {

// The entry of strFolder named like strName ignoring case, or "".
std::string FindNoCase(const std::string& strFolder, const std::string& strName) {
    DIR* pDir = opendir(strFolder.empty() ? "." : strFolder.c_str());
    if (!pDir) {
        return {};
    }
    std::string strFound;
    while (dirent* pEntry = readdir(pDir)) {
        if (EqualsNoCase(pEntry->d_name, strName)) {
            strFound = pEntry->d_name;
            break;
        }
    }
    closedir(pDir);
    return strFound;
}

}  // namespace

std::string ResolvePathNoCase(const std::string& strPath) {
    const std::string strConverted = NormalizeSlashes(strPath);
    if (strConverted.empty() || FileExists(strConverted)) {
        return strConverted;
    }
    // Walk the components, keeping those that exist and matching the others
    // without regard to case.
    std::string strResolved = strConverted.front() == '/' ? "/" : "";
    std::string strRest = strConverted;
    bool bTrailing = strConverted.back() == '/';
    while (!strRest.empty()) {
        std::string strPart = NextComponent(strRest);
        if (strPart.empty()) {
            continue;
        }
        std::string strCandidate = strResolved + strPart;
        if (strPart != "." && strPart != ".." && !FileExists(strCandidate)) {
            const std::string strMatch = FindNoCase(strResolved, strPart);
            if (strMatch.empty()) {
                return strConverted;
            }
            strCandidate = strResolved + strMatch;
        }
        strResolved = strCandidate + "/";
    }
    if (!bTrailing && !strResolved.empty() && strResolved.back() == '/') {
        strResolved.pop_back();
    }
    return strResolved;
}
