#include "tessary/foundation/BoolServer.h"

#include "tessary/external/Log.h"

BoolServer::~BoolServer() {
    BoolServer::Stop();
}

bool BoolServer::Start(uint32_t /*priorityLevel*/) {
    m_bWillStop = false;
    _info("---->  %s started successful", GetName());
    SetStatus(StatusRunning);
    m_bRunning = true;
    return true;
}

bool BoolServer::Pause() {
    return true;
}

bool BoolServer::Resume() {
    return true;
}

void BoolServer::SetPriority(uint32_t priorityLevel) {
    if (priorityLevel < 8) {
        m_PriorityLevel = priorityLevel;
    }
}

int32_t BoolServer::Run(uint64_t /*threadArgument*/) {
    return 0;
}
