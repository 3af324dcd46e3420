#include "bench/spawnmodel.h"

#include <algorithm>

#include "sh_aux/hpslib.h"

namespace {

int Ticks(const SSpawnModel& model) {
    const int nPerTick = std::max(1, model.nPerTick);
    return std::max(1, (model.nInstances + nPerTick - 1) / nPerTick);
}

}  // namespace

int SpawnInstances(const SSpawnModel& model) {
    return Ticks(model) * std::max(1, model.nPerTick);
}

std::string MakeSpawnModelXml(const SSpawnModel& model) {
    const char* const pszSelf = "self=\"yes\" to=\"\" via=\"\"";
    return Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system name=\"spawn%d\">\n"
        "  <block name=\"farm\" id=\"1\" IP=\"127.0.0.1\" portRead=\"8700\">\n"
        "    <process name=\"maker\" id=\"1\" IP=\"127.0.0.1\" portRead=\"8701\" "
        "implementation=\"\">\n"
        "      <DCLS><DCL name=\"ticks\" type=\"int\" value=\"0\"/>"
        "<DCL name=\"limit\" type=\"int\" value=\"%d\"/></DCLS>\n"
        "      <start><start name=\"start\" id=\"1\"/>"
        "<output name=\"tick\" id=\"2\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"making\" id=\"3\"/></start>\n"
        "      <state name=\"making\"><input name=\"tick\" id=\"10\"/>"
        "<task name=\"count\" id=\"11\">ticks = ticks + 1;</task>"
        "<decision name=\"more\" id=\"12\" iftrue=\"13\" iffalse=\"16\">ticks &lt;= limit"
        "</decision>"
        "<create name=\"worker\" id=\"13\" target=\"worker\" qtt=\"%d\"/>"
        "<output name=\"tick\" id=\"14\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"making\" id=\"15\"/><setstate name=\"done\" id=\"16\"/></state>\n"
        "      <state name=\"done\"><input name=\"*\" id=\"20\"/>"
        "<setstate name=\"done\" id=\"21\"/></state>\n    </process>\n"
        "    <process name=\"worker\" id=\"2\" IP=\"127.0.0.1\" portRead=\"8702\" "
        "implementation=\"\">\n"
        "      <start><start name=\"start\" id=\"1\"/>"
        "<output name=\"wake\" id=\"2\" %s><param name=\"delay\" value=\"1\"/></output>"
        "<setstate name=\"idle\" id=\"3\"/></start>\n"
        "      <state name=\"idle\"><input name=\"wake\" id=\"10\"/>"
        "<setstate name=\"awake\" id=\"11\"/></state>\n    </process>\n"
        "  </block>\n</system>\n",
        SpawnInstances(model), Ticks(model), pszSelf, std::max(1, model.nPerTick), pszSelf,
        pszSelf);
}
