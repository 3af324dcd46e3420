#include "clients/velkoeyedx/sh_dx/animevent.h"

#include <utility>

std::unique_ptr<CAnimEvent> CAnimEvent::MakeMove(std::string agent, double time, CVector3 position,
                                                 CVector3 rotation, std::string mesh,
                                                 double scale) {
    auto pEvent = std::make_unique<CAnimEvent>();
    pEvent->agent = std::move(agent);
    pEvent->kind = AEK_POSE;
    pEvent->time = time;
    pEvent->position = position;
    pEvent->rotation = rotation;
    pEvent->mesh = std::move(mesh);
    pEvent->scale = scale;
    return pEvent;
}

std::unique_ptr<CAnimEvent> CAnimEvent::MakeCellState(std::string agent, double time, int cell,
                                                      std::string texture) {
    auto pEvent = std::make_unique<CAnimEvent>();
    pEvent->agent = std::move(agent);
    pEvent->kind = AEK_POSE;
    pEvent->time = time;
    pEvent->cell = cell;
    pEvent->mesh = std::move(texture);
    return pEvent;
}

std::unique_ptr<CAnimEvent> CAnimEvent::MakeRemove(std::string agent, double time) {
    auto pEvent = std::make_unique<CAnimEvent>();
    pEvent->agent = std::move(agent);
    pEvent->kind = AEK_REMOVE;
    pEvent->time = time;
    return pEvent;
}

std::unique_ptr<CAnimEvent> CAnimEvent::MakeReport(std::string agent, double time,
                                                   std::string varname, std::string vartype,
                                                   std::string varvalue, int cell) {
    auto pEvent = std::make_unique<CAnimEvent>();
    pEvent->agent = std::move(agent);
    pEvent->kind = AEK_REPORT;
    pEvent->time = time;
    pEvent->varname = std::move(varname);
    pEvent->vartype = std::move(vartype);
    pEvent->varvalue = std::move(varvalue);
    pEvent->cell = cell;
    return pEvent;
}
