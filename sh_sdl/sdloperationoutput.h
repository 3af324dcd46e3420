#pragma once

#include <memory>

#include "sh_sdl/sdlevent.h"
#include "sh_sdl/sdloperation.h"

class CSDLChannelOut;
class CSDLmnca;

// Creates one signal from the template and delivers it: to the process
// itself, to a named target along a channel path, through a named channel,
// or through the channel that carries the signal.
class CSDLOperationOutput : public CSDLOperation {
public:
    CSDLOperationOutput() : CSDLOperation("Output"), m_pSignal(std::make_unique<CSDLEvent>()) {}
    CSDLOperation* Execute() override;

    // Computes the template's numbers and the values of its user parameters.
    void EvaluateTemplate();
    // First channel of a path to the event's target; sets the event's route.
    CSDLChannelOut* FindPath(CSDLEvent* pEvent);
    // Delivers one copy per listed cell through pChannel, or into the owner's
    // internal channel when pChannel is null; returns the number delivered.
    int SendToCells(CSDLEvent* pEvent, const std::string& strCells, CSDLmnca* pMnca,
                    CSDLChannelOut* pChannel);

    std::string m_strSelf;
    std::string m_strVia;
    std::string m_strTo;
    std::unique_ptr<CSDLEvent> m_pSignal;

protected:
    std::unique_ptr<CSDLOperation> MakeClone() const override;
};
