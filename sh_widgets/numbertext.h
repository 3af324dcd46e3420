#pragma once

// Numbers typed by the user, read without the process locale.

#include <QString>

// False, with the value untouched, when the text (blanks around it aside) is
// not entirely a decimal number (no hexadecimal, no comma, no infinity or
// NaN), or not an integer that fits 32 bits.
bool ReadDecimalNumber(const QString& strText, double& dValue);
bool ReadWholeNumber(const QString& strText, int& nValue);
