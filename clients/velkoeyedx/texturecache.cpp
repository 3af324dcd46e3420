#include "clients/velkoeyedx/texturecache.h"

#include "clients/velkoeyedx/textureimage.h"

bool CTextureCache::Decode(const std::string& strPath, std::string* pFormat) {
    auto it = m_mapEntries.find(strPath);
    if (it == m_mapEntries.end()) {
        CEntry entry;
        if (!LoadTextureImage(strPath, &entry.image, &entry.strRefusedFormat) &&
            entry.strRefusedFormat.empty()) {
            entry.strRefusedFormat = "unknown format";
        }
        it = m_mapEntries.emplace(strPath, std::move(entry)).first;
    }
    if (!it->second.strRefusedFormat.empty()) {
        if (pFormat) {
            *pFormat = it->second.strRefusedFormat;
        }
        return false;
    }
    return true;
}

QOpenGLTexture* CTextureCache::Get(const std::string& strPath) {
    const auto it = m_mapEntries.find(strPath);
    if (it == m_mapEntries.end() || !it->second.strRefusedFormat.empty()) {
        return nullptr;
    }
    CEntry& entry = it->second;
    if (!entry.pTexture) {
        entry.pTexture = std::make_unique<QOpenGLTexture>(entry.image);
        entry.pTexture->setMinificationFilter(QOpenGLTexture::LinearMipMapLinear);
        entry.pTexture->setMagnificationFilter(QOpenGLTexture::Linear);
        entry.pTexture->setWrapMode(QOpenGLTexture::Repeat);
        entry.image = QImage();
    }
    return entry.pTexture.get();
}

void CTextureCache::Release() {
    m_mapEntries.clear();
}
