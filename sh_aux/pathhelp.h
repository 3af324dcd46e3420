#pragma once

// Path helpers. Inside the program paths use "/"; paths read from model and
// side files (often written on Windows) are converted on the way in.

#include <string>

// Backslashes become "/".
std::string NormalizeSlashes(std::string strPath);
// Folder part with its trailing "/" ("" when the path has no folder).
std::string GetFolder(const std::string& strPath);
// File name without the folder.
std::string GetFileName(const std::string& strPath);
// Extension of the file name with its dot ("" when none).
std::string GetExtension(const std::string& strPath);
// The path without the extension of its file name.
std::string RemoveExtension(const std::string& strPath);
// Joins a folder and a relative path with one "/"; an absolute path is kept.
std::string JoinPath(const std::string& strFolder, const std::string& strPath);
// Lexical normalisation: removes "." and empty components and folds "..".
std::string NormalizePath(const std::string& strPath);
// Converts slashes, then returns the path if it exists, otherwise the first
// entry of its folder whose name matches the file name ignoring ASCII case
// (folder components are resolved the same way). Nothing found: the
// converted path unchanged.
std::string ResolvePathNoCase(const std::string& strPath);
