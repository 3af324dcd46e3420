#pragma once

// The window's textures by file: decoded when a mesh or the terrain asks for
// them (any time, no GL context needed), uploaded when first drawn (the
// window's context current). A file is decoded and uploaded once however
// many materials name it; a file that cannot be decoded is read once too.

#include <QImage>
#include <QOpenGLTexture>
#include <memory>
#include <string>

#include "sh_aux/namemap.h"

class CTextureCache {
public:
    // Decodes the file unless it was decoded before; false when it cannot be,
    // and pFormat, when given, then gets the file's format in words.
    bool Decode(const std::string& strPath, std::string* pFormat = nullptr);
    // The texture of a decoded file, uploaded now if it is not yet: top row
    // first, so that texture coordinate v = 0 is the image's top. Null for a
    // file that was not decoded.
    QOpenGLTexture* Get(const std::string& strPath);
    // Drops the GL textures (the context current) and the decoded images.
    void Release();

private:
    struct CEntry {
        QImage image;
        std::unique_ptr<QOpenGLTexture> pTexture;
        // Not decoded: the file's format, never empty.
        std::string strRefusedFormat;
    };
    CNameMap<CEntry> m_mapEntries;
};
