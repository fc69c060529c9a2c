// The library's frame reader over a stream whose reads come from memory, cut as the input says:
// heads one after the other, messages read whole and every other frame skipped, as a receiver
// does, until a read fails.
#include "fuzz/FuzzInput.h"
#include "tessary/foundation/internal/IStreamBuffer.h"
#include "tessary/protocol/shared/FrameReader.h"

#include <cstring>

namespace {

// Small, so that inputs of a few KiB reach the limit's checks from both sides.
constexpr int32_t MaxFrame = 2048;

class ChunkedStream : public IStreamBuffer {
public:
    explicit ChunkedStream(ChunkedInput& input) : m_Input(input) {}

    int32_t ReadSource(void* destination, uint32_t capacity) override {
        const auto chunk = m_Input.Next(capacity);
        if (chunk.empty()) {
            return -1;
        }
        std::memcpy(destination, chunk.data(), chunk.size());
        return static_cast<int32_t>(chunk.size());
    }

private:
    ChunkedInput& m_Input;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChunkedInput input(data, size);
    ChunkedStream stream(input);
    MessageHead head;
    while (stream.ReadBytes(&head, sizeof head) == static_cast<int32_t>(sizeof head)) {
        DString text8;
        WString text16;
        TmplBlockBuffer<unsigned char> blob;
        const bool read = head.Type == HeadType::Message
                              ? NetRead(stream, head, text8, text16, blob, MaxFrame)
                              : SkipFrameRest(stream, head);
        if (!read) {
            break;
        }
    }
    return 0;
}
