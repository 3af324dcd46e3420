#include "clients/velkoeyedx/texturecache.h"

#include "clients/velkoeyedx/textureimage.h"

bool CTextureCache::Decode(const std::string& strPath) {
    if (m_mapEntries.count(strPath)) {
        return true;
    }
    QImage image;
    if (!LoadTextureImage(strPath, &image)) {
        return false;
    }
    m_mapEntries[strPath].image = std::move(image);
    return true;
}

QOpenGLTexture* CTextureCache::Get(const std::string& strPath) {
    const auto it = m_mapEntries.find(strPath);
    if (it == m_mapEntries.end()) {
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
