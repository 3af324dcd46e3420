#pragma once

// One cell of a GIS layer: a value cell of a raster or grid layer, or a point
// of a vector layer.

#include <string>

class CCell {
public:
    // A value cell: type "double" and the value.
    explicit CCell(double dValue);
    // A point cell: empty type, value 0.0 and the point's coordinates.
    CCell(double dX, double dY);

    void SetType(const std::string& strType) { m_strType = strType; }
    const std::string& GetType() const { return m_strType; }
    void SetValue(double dValue) { m_dValue = dValue; }
    double GetValue() const { return m_dValue; }
    // Coordinates in map units; meaningful for point cells only.
    double GetX() const { return m_dX; }
    double GetY() const { return m_dY; }

private:
    std::string m_strType;
    double m_dValue = 0.0;
    // Tag and label travel with the cell; nothing reads or writes them yet.
    [[maybe_unused]] int m_nTag = 0;
    std::string m_strLabel;
    double m_dX = 0.0;
    double m_dY = 0.0;
};
