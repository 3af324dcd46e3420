#pragma once

// Vertices and triangle lists on the GPU: one vertex buffer of CVertex (the
// layout every effect reads: position at attribute 0, normal at 1, texture
// coordinate at 2) with its own index list, and further index lists over the
// same vertices. Used with the window's GL context current.

#include <QOpenGLBuffer>
#include <QOpenGLVertexArrayObject>
#include <cstdint>
#include <vector>

#include "clients/velkoeyedx/sh_dx/vertex.h"

class CGLGeometry {
public:
    // An index list that can be rewritten every frame.
    class CIndexList {
    public:
        CIndexList() : m_buffer(QOpenGLBuffer::IndexBuffer) {}
        void Upload(const std::vector<uint32_t>& vecIndices);
        void Destroy() { m_buffer.destroy(); }

    private:
        friend class CGLGeometry;
        QOpenGLBuffer m_buffer;
    };

    CGLGeometry();

    // Replaces the vertices and the own index list.
    void Upload(const std::vector<CVertex>& vecVertices, const std::vector<uint32_t>& vecIndices);
    bool IsUploaded() const { return m_vao.isCreated(); }
    void Destroy();

    // Draws nCount indices from index nFirst of the own list, as triangles.
    void Draw(uint32_t nFirst, uint32_t nCount);
    // The same from another list over these vertices.
    void Draw(CIndexList& indices, uint32_t nFirst, uint32_t nCount);

private:
    void DrawBound(QOpenGLBuffer& indices, uint32_t nFirst, uint32_t nCount);

    QOpenGLVertexArrayObject m_vao;
    QOpenGLBuffer m_vertices;
    CIndexList m_indices;
};
