#include "bench/pingpongmodel.h"

#include "sh_aux/hpslib.h"

namespace {

int Tables(const SPingPongModel& model) {
    return model.nProcesses < 2 ? 1 : model.nProcesses / 2;
}

// One player; bServes makes it serve the first ball. Operation numbers
// start at nBase: the model library knows an operation by its block, state
// and number, so the two players of a block number theirs apart.
std::string PlayerXml(const char* pszName, int nId, int nBase, const char* pszVia, bool bServes,
                      const SPingPongModel& model) {
    const char* pszTrace = model.bTrace ? "yes" : "no";
    const std::string strReturn = Format(
        "<output name=\"ball\" id=\"%%d\" self=\"no\" to=\"\" via=\"'%s'\">"
        "<param name=\"delay\" value=\"1\"/>%s</output>",
        pszVia,
        model.bDoubles
            ? "<userparam name=\"half\" value=\"half\"/><userparam name=\"third\" value=\"third\"/>"
            : "");
    std::string strText = Format(
        "    <process name=\"%s\" id=\"%d\" IP=\"127.0.0.1\" portRead=\"8701\" "
        "implementation=\"\">\n"
        "      <DCLS><DCL name=\"hits\" type=\"int\" value=\"0\"/>"
        "<DCL name=\"limit\" type=\"int\" value=\"%d\"/>%s</DCLS>\n"
        "      <representations><trace setstate=\"%s\" input=\"%s\" output=\"%s\"/>"
        "<traceanim setstate=\"no\" input=\"no\" output=\"no\"/></representations>\n"
        "      <start>\n        <start name=\"start\" id=\"%d\"/>\n",
        pszName, nId, model.nRallies,
        model.bDoubles ? "<DCL name=\"half\" type=\"double\" value=\"0\"/>"
                         "<DCL name=\"third\" type=\"double\" value=\"0\"/>"
                       : "",
        pszTrace, pszTrace, pszTrace, nBase + 1);
    if (bServes) {
        strText += "        " + Format(strReturn.c_str(), nBase + 2) + "\n";
    }
    strText += Format(
        "        <setstate name=\"playing\" id=\"%d\"/>\n      </start>\n"
        "      <state name=\"playing\">\n"
        "        <input name=\"ball\" id=\"%d\"/>\n"
        "        <task name=\"hit\" id=\"%d\">hits = hits + 1;%s</task>\n"
        "        <decision name=\"again\" id=\"%d\" iftrue=\"%d\" iffalse=\"%d\">"
        "hits &lt; limit</decision>\n"
        "        %s\n"
        "        <setstate name=\"playing\" id=\"%d\"/>\n"
        "        <setstate name=\"playing\" id=\"%d\"/>\n"
        "      </state>\n    </process>\n",
        nBase + 3, nBase + 10, nBase + 11,
        model.bDoubles ? " half = hits * 0.5; third = hits / 3.0;" : "", nBase + 12, nBase + 13,
        nBase + 15, Format(strReturn.c_str(), nBase + 13).c_str(), nBase + 14, nBase + 15);
    return strText;
}

}  // namespace

std::string MakePingPongModelXml(const SPingPongModel& model) {
    const int nTables = Tables(model);
    std::string strText = Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"pingpong%d\">\n", nTables * 2);
    for (int i = 0; i < nTables; ++i) {
        strText += Format(
            "  <block name=\"table%d\" id=\"%d\" IP=\"127.0.0.1\" portRead=\"8700\">\n", i, i + 1);
        strText += PlayerXml("ping", 1, 0, "toPong", true, model);
        strText += PlayerXml("pong", 2, 100, "toPing", false, model);
        strText +=
            "    <channels>\n"
            "      <channel name=\"toPong\" start=\"ping\" end=\"pong\" dual=\"no\">"
            "<event name=\"ball\"/></channel>\n"
            "      <channel name=\"toPing\" start=\"pong\" end=\"ping\" dual=\"no\">"
            "<event name=\"ball\"/></channel>\n"
            "    </channels>\n  </block>\n";
    }
    return strText + "</system>\n";
}

long long PingPongDeliveries(const SPingPongModel& model) {
    // pong takes nRallies balls, ping one fewer: it served the first.
    return static_cast<long long>(Tables(model)) * (2LL * model.nRallies - 1);
}
