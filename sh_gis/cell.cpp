#include "sh_gis/cell.h"

CCell::CCell(double dValue) : m_strType("double"), m_dValue(dValue) {}

CCell::CCell(double dX, double dY) : m_dX(dX), m_dY(dY) {}
