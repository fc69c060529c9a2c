#pragma once

#include "tessary/Export.h"
#include "tessary/foundation/AbstractServer.h"

#include <cstdint>

// The server interface without a thread: it only records that it was started, so that a group
// of servers can present itself as one server. Stop leaves the running flag set.
class TESSARY_EXPORT BoolServer : public AbstractServer {
public:
    explicit BoolServer(const char* name) : AbstractServer(name) {}
    ~BoolServer() override;

    bool Start(uint32_t priorityLevel) override;
    bool Pause() override;
    bool Resume() override;
    // Only stores the level; there is no thread to apply it to.
    void SetPriority(uint32_t priorityLevel) override;
    int32_t Run(uint64_t threadArgument) override;
};
