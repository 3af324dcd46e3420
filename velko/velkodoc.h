#pragma once

// The document: the model reader the frame reads models and side files with,
// the experiment file name and the title. It stores nothing.

#include <string>

#include "sh_sdl/sdlloader.h"

class CVELKODoc {
public:
    CSDLLoader m_loader;
    // Full path of the imported experiments file; "" when none.
    std::string m_strExperimentFile;
    // The path of the open model; "No Document" while none is (closed, or
    // its load failed).
    std::string m_strTitle = "Untitled";
};
