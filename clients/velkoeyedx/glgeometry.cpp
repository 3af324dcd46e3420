#include "clients/velkoeyedx/glgeometry.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <cstddef>

void CGLGeometry::CIndexList::Upload(const std::vector<uint32_t>& vecIndices) {
    if (!m_buffer.isCreated()) {
        m_buffer.create();
        m_buffer.setUsagePattern(QOpenGLBuffer::DynamicDraw);
    }
    m_buffer.bind();
    m_buffer.allocate(vecIndices.data(), static_cast<int>(vecIndices.size() * sizeof(uint32_t)));
}

CGLGeometry::CGLGeometry() : m_vertices(QOpenGLBuffer::VertexBuffer) {}

void CGLGeometry::Upload(const std::vector<CVertex>& vecVertices,
                         const std::vector<uint32_t>& vecIndices) {
    if (!m_vao.isCreated()) {
        m_vao.create();
        m_vertices.create();
    }
    m_vao.bind();
    m_vertices.bind();
    m_vertices.allocate(vecVertices.data(), static_cast<int>(vecVertices.size() * sizeof(CVertex)));
    QOpenGLFunctions* gl = QOpenGLContext::currentContext()->functions();
    const struct {
        GLuint nIndex;
        GLint nSize;
        size_t nOffset;
    } attributes[] = {{0, 3, offsetof(CVertex, vPosition)},
                      {1, 3, offsetof(CVertex, vNormal)},
                      {2, 2, offsetof(CVertex, fU)}};
    for (const auto& attribute : attributes) {
        gl->glEnableVertexAttribArray(attribute.nIndex);
        gl->glVertexAttribPointer(attribute.nIndex, attribute.nSize, GL_FLOAT, GL_FALSE,
                                  sizeof(CVertex),
                                  reinterpret_cast<const void*>(attribute.nOffset));
    }
    m_indices.Upload(vecIndices);
    m_vao.release();
}

void CGLGeometry::Destroy() {
    m_indices.Destroy();
    m_vertices.destroy();
    m_vao.destroy();
}

void CGLGeometry::Draw(uint32_t nFirst, uint32_t nCount) {
    DrawBound(m_indices.m_buffer, nFirst, nCount);
}

void CGLGeometry::Draw(CIndexList& indices, uint32_t nFirst, uint32_t nCount) {
    DrawBound(indices.m_buffer, nFirst, nCount);
}

void CGLGeometry::DrawBound(QOpenGLBuffer& indices, uint32_t nFirst, uint32_t nCount) {
    if (!m_vao.isCreated() || !indices.isCreated() || nCount == 0) {
        return;
    }
    m_vao.bind();
    // The vertex array keeps the index list bound last.
    indices.bind();
    QOpenGLContext::currentContext()->functions()->glDrawElements(
        GL_TRIANGLES, static_cast<GLsizei>(nCount), GL_UNSIGNED_INT,
        reinterpret_cast<const void*>(static_cast<size_t>(nFirst) * sizeof(uint32_t)));
    m_vao.release();
}
