#pragma once

// A self-test of the text files: measures how fast "textfile_in.txt" of the
// current folder is read line by line, then copies it, line by line and in
// the encoding found for it, to "textfile_out.txt". Results (and any error
// text) are printed to pOut. Nothing in the viewer runs it.

#include <cstdio>

inline constexpr const char* kHarnessInput = "textfile_in.txt";
inline constexpr const char* kHarnessOutput = "textfile_out.txt";

// 0 when both passes ran, 1 when a file could not be opened.
int RunTextFileHarness(std::FILE* pOut = stdout);
