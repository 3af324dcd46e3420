#include "clients/velkoeyedx/sh_dx/textfileharness.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "sh_aux/customexception.h"
#include "sh_aux/textfile.h"

namespace {

using Clock = std::chrono::steady_clock;

void PrintLastError(std::FILE* pOut) {
    const std::string* pText = GetLastErrorText();
    std::fprintf(pOut, "%s\n", pText ? pText->c_str() : "");
}

// Whole seconds since tStart, rounded, at least 1.
int SecondsSince(Clock::time_point tStart) {
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count();
    return std::max(static_cast<int>((nMs + 500) / 1000), 1);
}

}  // namespace

int RunTextFileHarness(std::FILE* pOut) {
    TextFile input;
    if (input.Open(kHarnessInput, TF_READ) != 0) {
        PrintLastError(pOut);
        return 1;
    }

    std::u16string strLine;
    int nLines = 0;
    int nResult = 0;
    auto tStart = Clock::now();
    while ((nResult = input.ReadLine(strLine)) == 0) {
        ++nLines;
    }
    if (nResult == -2) {
        PrintLastError(pOut);
    } else {
        const int nSeconds = SecondsSince(tStart);
        std::fprintf(pOut, "Read %d lines in %d seconds (%d lines per second)\n", nLines, nSeconds,
                     nLines / nSeconds);
    }

    input.Close();
    TextFile output;
    if (input.Open(kHarnessInput, TF_READ) != 0 ||
        output.Open(kHarnessOutput, TF_WRITE, input.GetEncoding()) != 0) {
        PrintLastError(pOut);
        return 1;
    }
    nLines = 0;
    tStart = Clock::now();
    while ((nResult = input.ReadLine(strLine)) == 0) {
        if ((nResult = output.WriteString(strLine)) != 0 || (nResult = output.PutChar(10)) != 0) {
            break;
        }
        ++nLines;
    }
    // The copy's last bytes reach the file only when it closes.
    if (nResult != -2 && output.Close() != 0) {
        nResult = -2;
    }
    if (nResult == -2) {
        PrintLastError(pOut);
    } else {
        const int nSeconds = SecondsSince(tStart);
        std::fprintf(pOut, "%d lines copied in %d seconds (%d lines per second)\n", nLines,
                     nSeconds, nLines / nSeconds);
    }
    return 0;
}
