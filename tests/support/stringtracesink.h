#pragma once

#include <string>

#include "sh_sdl/sdlengine.h"

// Keeps every record in a string.
class CStringTraceSink : public CTraceSink {
public:
    void WriteRecord(const std::string& strRecord) override { m_strText += strRecord; }
    std::string m_strText;
};
