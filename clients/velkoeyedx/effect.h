#pragma once

// A shader program built from the effect files "res/effects/<name>.vert" and
// "<name>.frag"; a technique is the program built with its own defines put
// after the files' version line. Uniforms are set by name; one the technique
// does not use is skipped. Used with its GL context current.

#include <QOpenGLShaderProgram>
#include <memory>
#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"

class CEffect {
public:
    // Builds technique strTechnique of effect strEffect. False when a file
    // cannot be read or the program does not compile or link; *pError then
    // says which, with the compiler's or linker's log.
    bool Build(const CResourceResolver& resolver, const std::string& strEffect,
               const std::string& strTechnique, const std::vector<std::string>& vecDefines,
               std::string* pError);
    bool IsValid() const { return m_pProgram != nullptr; }
    // Releases the program.
    void Destroy() { m_pProgram.reset(); }

    void Bind();
    // The uniform's location, -1 when the technique does not use it.
    int Location(const char* pszName) const;

    // A row-vector matrix, uploaded unchanged.
    void SetMatrix(const char* pszName, const CMatrix& matrix);
    void SetVector(const char* pszName, const CVector3& v);
    void SetVector(const char* pszName, float x, float y, float z, float w);
    void SetFloat(const char* pszName, float fValue);
    void SetInt(const char* pszName, int nValue);

private:
    std::unique_ptr<QOpenGLShaderProgram> m_pProgram;
};
