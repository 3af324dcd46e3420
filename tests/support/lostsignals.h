#pragma once

// What the Errors lines of a distributed run count as lost, for the tests and
// the benchmark that check that every signal sent was handled or counted.

#include <regex>
#include <string>

#include "support/recordingnotifier.h"

namespace velkotest {

// The signals one Errors line counts as lost: the number before "signals"
// (an "up to" count as it stands), or 1 for a line about one lost signal; 0
// for a line that counts none, or that repeats what the sender counts.
inline long long SignalsLostInLine(const std::string& strLine) {
    static const std::regex count(R"(([0-9]+) (more )?signals)");
    const bool bLoss = strLine.find("lost") != std::string::npos ||
                       strLine.find("not handled") != std::string::npos;
    if (!bLoss || strLine.find("counts them too") != std::string::npos) {
        return 0;
    }
    std::smatch match;
    return std::regex_search(strLine, match, count) ? std::stoll(match[1].str()) : 1;
}

// The signals the Errors lines of notifier count as lost.
inline long long CountSignalsLost(const CRecordingNotifier& notifier) {
    long long nLost = 0;
    for (const auto& line : notifier.GetLines()) {
        nLost += line.ePane == NP_ERRORS ? SignalsLostInLine(line.strLine) : 0;
    }
    return nLost;
}

}  // namespace velkotest
