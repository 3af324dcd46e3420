#pragma once

#include <string>

// How a process looks in one state: mesh, position, rotation in degrees and
// scale.
class C3DRepresentation {
public:
    C3DRepresentation(std::string strState, std::string strMesh, double dPosX, double dPosY,
                      double dPosZ, double dRotX, double dRotY, double dRotZ, double dScale)
        : m_strState(std::move(strState)),
          m_strMesh(std::move(strMesh)),
          m_dPosX(dPosX),
          m_dPosY(dPosY),
          m_dPosZ(dPosZ),
          m_dRotX(dRotX),
          m_dRotY(dRotY),
          m_dRotZ(dRotZ),
          m_dScale(dScale) {}

    std::string m_strState;
    std::string m_strMesh;
    double m_dPosX;
    double m_dPosY;
    double m_dPosZ;
    double m_dRotX;
    double m_dRotY;
    double m_dRotZ;
    double m_dScale;
};
