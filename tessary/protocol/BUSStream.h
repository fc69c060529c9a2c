#pragma once

#include "tessary/Export.h"

class NetBuffer;
struct BUSStreamAccess;

namespace ORVEX::Tessary::Controller {

// The handle through which an application writes a BLOB of unknown length while the library
// sends the frame: a BLOB-stream sender calls the application's writer once with a BUSStream,
// and every Write with a positive length goes out at once as one chunk of exactly that length.
// A BUSStream is valid only during that call and must not be kept after the writer returns.
class TESSARY_EXPORT BUSStream {
public:
    BUSStream(const BUSStream& other);
    BUSStream(BUSStream&& other) noexcept;
    BUSStream& operator=(const BUSStream& other);
    ~BUSStream();

    // Sends length bytes from data as one chunk; a length of 0 or less sends nothing. The
    // bytes are sent before Write returns, so data may be reused right after.
    void Write(const void* data, int length);

private:
    friend struct ::BUSStreamAccess;

    explicit BUSStream(NetBuffer* buffer);
    bool Send(NetBuffer* buffer, const void* data, int length);

    NetBuffer* m_Buffer;
};

} // namespace ORVEX::Tessary::Controller
