#include "clients/velkoeyedx/effect.h"

#include <QFile>

namespace {

// The source with the defines put after its first line (the version line).
bool ReadSource(const std::string& strPath, const std::vector<std::string>& vecDefines,
                QByteArray* pSource) {
    QFile file(QString::fromStdString(strPath));
    if (strPath.empty() || !file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = file.readAll();
    const qsizetype nEndOfFirst = text.indexOf('\n');
    QByteArray defines;
    for (const std::string& strDefine : vecDefines) {
        defines += "#define " + QByteArray::fromStdString(strDefine) + " 1\n";
    }
    *pSource = nEndOfFirst < 0 ? text + '\n' + defines
                               : text.left(nEndOfFirst + 1) + defines + text.mid(nEndOfFirst + 1);
    return true;
}

}  // namespace

bool CEffect::Build(const CResourceResolver& resolver, const std::string& strEffect,
                    const std::string& strTechnique, const std::vector<std::string>& vecDefines,
                    std::string* pError) {
    m_pProgram.reset();
    auto pProgram = std::make_unique<QOpenGLShaderProgram>();
    const std::string strWhat = "the effect " + strEffect + ", technique " + strTechnique;
    const struct {
        QOpenGLShader::ShaderType eType;
        const char* pszEnding;
    } stages[] = {{QOpenGLShader::Vertex, ".vert"}, {QOpenGLShader::Fragment, ".frag"}};
    for (const auto& stage : stages) {
        const std::string strFile = "res/effects/" + strEffect + stage.pszEnding;
        QByteArray source;
        if (!ReadSource(resolver.Resolve(strFile, RK_MESH), vecDefines, &source)) {
            *pError = "Couldn't read " + strFile + " for " + strWhat;
            return false;
        }
        if (!pProgram->addShaderFromSourceCode(stage.eType, source)) {
            *pError = "Couldn't compile " + strFile + " for " + strWhat + ":\n" +
                      pProgram->log().toStdString();
            return false;
        }
    }
    if (!pProgram->link()) {
        *pError = "Couldn't link " + strWhat + ":\n" + pProgram->log().toStdString();
        return false;
    }
    m_pProgram = std::move(pProgram);
    return true;
}

void CEffect::Bind() {
    m_pProgram->bind();
}

int CEffect::Location(const char* pszName) const {
    return m_pProgram ? m_pProgram->uniformLocation(pszName) : -1;
}

void CEffect::SetMatrix(const char* pszName, const CMatrix& matrix) {
    m_pProgram->setUniformValue(Location(pszName), matrix.m);
}

void CEffect::SetVector(const char* pszName, const CVector3& v) {
    m_pProgram->setUniformValue(Location(pszName), v.x, v.y, v.z);
}

void CEffect::SetVector(const char* pszName, float x, float y, float z, float w) {
    m_pProgram->setUniformValue(Location(pszName), x, y, z, w);
}

void CEffect::SetFloat(const char* pszName, float fValue) {
    m_pProgram->setUniformValue(Location(pszName), fValue);
}

void CEffect::SetInt(const char* pszName, int nValue) {
    m_pProgram->setUniformValue(Location(pszName), static_cast<GLint>(nValue));
}
