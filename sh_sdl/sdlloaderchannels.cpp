// Channel declarations of a block-like element, linked as pairs of channel
// ends between its children.

#include "sh_aux/hpslib.h"
#include "sh_sdl/sdlblock.h"
#include "sh_sdl/sdlchannelin.h"
#include "sh_sdl/sdlchannelout.h"
#include "sh_sdl/sdlloader.h"
#include "sh_sdl/sdlprocess.h"

namespace {

// Enters every name of strEvents (each followed by a blank) as a signal.
void FillSignals(CSDLChannel& channel, const std::string& strEvents) {
    for (size_t nPos = 0;
         strEvents.size() - nPos >= 2 && strEvents.find(' ', nPos) != std::string::npos;) {
        channel.AddSignal(NextToken(strEvents, nPos, " "));
    }
}

// One direction of a channel from pFrom to pTo; the pointers name the fields
// that hold the two agents (one of each pair is null).
void LinkDirection(CSDLAgent* pFrom, CSDLBlock* pFromBlock, CSDLProcess* pFromProcess,
                   CSDLAgent* pTo, CSDLBlock* pToBlock, CSDLProcess* pToProcess,
                   const std::string& strEvents, const std::string& strName) {
    // Agents of different addresses run in different simulator instances.
    const bool bLocal = pFrom->m_strIP == pTo->m_strIP;

    auto pOut = std::make_unique<CSDLChannelOut>(strName);
    pOut->m_pTargetBlock = pToBlock;
    pOut->m_pTargetProcess = pToProcess;
    pOut->m_pSourceBlock = pFromBlock;
    pOut->m_pSourceProcess = pFromProcess;
    if (!bLocal) {
        pOut->m_bLocalDelivery = false;
    }
    FillSignals(*pOut, strEvents);
    pFrom->m_mapOutputChannels[strName] = std::move(pOut);

    auto pIn = std::make_unique<CSDLChannelIn>(strName);
    pIn->m_pSourceBlock = pFromBlock;
    pIn->m_pSourceProcess = pFromProcess;
    pIn->m_pOwningAgent = pTo;
    if (!bLocal) {
        pIn->m_bLocalDelivery = false;
    }
    FillSignals(*pIn, strEvents);
    pTo->m_mapInputChannels[strName] = std::move(pIn);
}

}  // namespace

int CSDLLoader::ReadChannels(CSDLBlock* pAgent, CXMLNode element) {
    const CXMLNode channels = FindChild(element, "channels");
    if (!channels) {
        return 0;
    }
    for (const CXMLNode& channel : FindChildren(channels, "channel")) {
        std::string strName, strStart, strEnd, strDual;
        GetAttribute(channel, "name", strName, false);
        GetAttribute(channel, "start", strStart, false);
        GetAttribute(channel, "end", strEnd, false);
        GetAttribute(channel, "dual", strDual, false);
        // Names in reverse document order, each followed by a blank.
        std::string strEvents;
        for (const CXMLNode& event : FindChildren(channel, "event")) {
            std::string strEvent;
            GetAttribute(event, "name", strEvent, false);
            strEvents = strEvent + " " + strEvents;
        }
        CSDLBlock* pStartBlock = pAgent->GetBlock(strStart);
        CSDLProcess* pStartProcess = pAgent->GetProcess(strStart);
        CSDLBlock* pEndBlock = pAgent->GetBlock(strEnd);
        CSDLProcess* pEndProcess = pAgent->GetProcess(strEnd);
        if (strStart == pAgent->m_strName) {
            pStartBlock = pAgent;
        }
        if (strEnd == pAgent->m_strName) {
            pEndBlock = pAgent;
        }
        if (LinkChannel(pAgent, pStartBlock, pStartProcess, pEndBlock, pEndProcess, strEvents,
                        strName, strDual) != 0) {
            // Signals sent along it would be lost without a word: say so.
            std::string strMissing;
            if (!pStartBlock && !pStartProcess) {
                strMissing = Format("start %s", strStart.c_str());
            }
            if (!pEndBlock && !pEndProcess) {
                strMissing +=
                    (strMissing.empty() ? "" : " and its ") + Format("end %s", strEnd.c_str());
            }
            AddWarning(Format("The channel %s of %s is not linked: its %s names no agent there.",
                              strName.c_str(), pAgent->m_strName.c_str(), strMissing.c_str()));
        }
    }
    return 0;
}

int CSDLLoader::LinkChannel(CSDLBlock* /*pAgent*/, CSDLBlock* pStartBlock,
                            CSDLProcess* pStartProcess, CSDLBlock* pEndBlock,
                            CSDLProcess* pEndProcess, const std::string& strEvents,
                            const std::string& strName, const std::string& strDual) {
    const bool bDual = strDual == "yes";
    CSDLAgent* pStart = nullptr;
    CSDLAgent* pEnd = nullptr;
    if (pStartBlock && pEndBlock) {
        LinkBlockToBlock(pStartBlock, pEndBlock, strEvents, strName);
        if (bDual) {
            LinkBlockToBlock(pEndBlock, pStartBlock, strEvents, strName);
        }
        pStart = pStartBlock;
        pEnd = pEndBlock;
    } else if (pStartBlock && pEndProcess) {
        LinkBlockToProcess(pStartBlock, pEndProcess, strEvents, strName);
        if (bDual) {
            LinkProcessToBlock(pEndProcess, pStartBlock, strEvents, strName);
        }
        pStart = pStartBlock;
        pEnd = pEndProcess;
    } else if (pStartProcess && pEndBlock) {
        LinkProcessToBlock(pStartProcess, pEndBlock, strEvents, strName);
        if (bDual) {
            LinkBlockToProcess(pEndBlock, pStartProcess, strEvents, strName);
        }
        pStart = pStartProcess;
        pEnd = pEndBlock;
    } else if (pStartProcess && pEndProcess) {
        LinkProcessToProcess(pStartProcess, pEndProcess, strEvents, strName);
        if (bDual) {
            LinkProcessToProcess(pEndProcess, pStartProcess, strEvents, strName);
        }
        pStart = pStartProcess;
        pEnd = pEndProcess;
    } else {
        return 1;
    }
    if (bDual) {
        pStart->m_mapOutputChannels[strName]->m_bDual = true;
        pEnd->m_mapOutputChannels[strName]->m_bDual = true;
    }
    return 0;
}

int CSDLLoader::LinkBlockToBlock(CSDLBlock* pFrom, CSDLBlock* pTo, const std::string& strEvents,
                                 const std::string& strName) {
    LinkDirection(pFrom, pFrom, nullptr, pTo, pTo, nullptr, strEvents, strName);
    return 0;
}

int CSDLLoader::LinkBlockToProcess(CSDLBlock* pFrom, CSDLProcess* pTo, const std::string& strEvents,
                                   const std::string& strName) {
    LinkDirection(pFrom, pFrom, nullptr, pTo, nullptr, pTo, strEvents, strName);
    return 0;
}

int CSDLLoader::LinkProcessToBlock(CSDLProcess* pFrom, CSDLBlock* pTo, const std::string& strEvents,
                                   const std::string& strName) {
    LinkDirection(pFrom, nullptr, pFrom, pTo, pTo, nullptr, strEvents, strName);
    return 0;
}

int CSDLLoader::LinkProcessToProcess(CSDLProcess* pFrom, CSDLProcess* pTo,
                                     const std::string& strEvents, const std::string& strName) {
    LinkDirection(pFrom, nullptr, pFrom, pTo, nullptr, pTo, strEvents, strName);
    return 0;
}
