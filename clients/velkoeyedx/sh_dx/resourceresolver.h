#pragma once

// Finds the viewer's data files. Meshes and textures are named in traces,
// model infos and material files, often the Windows way; they are looked for
// where the name points, then in the "res" folder beside the program. The
// working directory is only read, never changed.

#include <string>

enum ResourceKind { RK_MESH, RK_TEXTURE };

class CResourceResolver {
public:
    // Resources under the program's own folder.
    CResourceResolver();
    // Resources under strRoot, the folder that holds "res/".
    explicit CResourceResolver(std::string strRoot);

    // The existing file for a name, or "" when there is none. Tried in turn,
    // each with backslashes converted and letter case matched loosely when
    // the exact name is missing: the name as given (a relative name against
    // strBaseFolder, or the working directory when that is empty); a
    // relative name against the root (names such as "res/meshes/box.obj");
    // the name inside "res/meshes/" or "res/textures/" under the root.
    std::string Resolve(const std::string& strName, ResourceKind eKind,
                        const std::string& strBaseFolder = {}) const;

    const std::string& GetRoot() const { return m_strRoot; }

    // The folder of the running program, with a trailing "/".
    static std::string GetProgramFolder();

private:
    std::string m_strRoot;
};
