/* External code that a model's decisions and tasks may call. */
#ifndef SDLCODEEXTERNAL_H
#define SDLCODEEXTERNAL_H

#ifndef BUILD_DLL
#error "the model library is compiled with BUILD_DLL defined"
#endif

int ExternalScore(const char* text);

#endif
