#include "tessary/protocol/internal/BUSNetSocket.h"

void BUSNetSocket::OnError(int32_t code) {
    EventArgs_Error args(code, EnglishErrorText(code), "Socket");
    SocketError.Fire(nullptr, &args);
}
