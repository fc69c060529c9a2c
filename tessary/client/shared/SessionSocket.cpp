#include "tessary/client/shared/SessionSocket.h"

#include "tessary/protocol/internal/BUSNetPDUProxy.h"

int SessionSocket(const BUSNetPDUProxy* proxy) {
    return proxy != nullptr ? proxy->SocketHandle() : -1;
}
