#pragma once

#include "tessary/protocol/internal/BUSPostPDU.h"

// The session a receiver's wait server owns for its status connection. It adds nothing: the
// receiving steps belong to the wait server, which reads this session's stream itself.
class BUSRecvPDU : public BUSPostPDU {
public:
    BUSRecvPDU() = default;
    ~BUSRecvPDU() override = default;
};
