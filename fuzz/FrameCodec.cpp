// The frame codec fed as the daemon feeds it: every read's bytes until they are used up or
// the codec fails, with the segments checked against the frame they belong to.
#include "fuzz/FuzzInput.h"
#include "tessary/protocol/shared/FrameCodec.h"

#include <cstdlib>

namespace {

// Small enough that inputs of a few KiB hold frames on both sides of the limit.
constexpr int64_t MaxFrame = 2048;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChunkedInput input(data, size);
    FrameCodec parser(MaxFrame);
    int64_t bodyLeft = 0;
    for (auto read = input.Next(SIZE_MAX); !read.empty(); read = input.Next(SIZE_MAX)) {
        while (!read.empty()) {
            size_t consumed = 0;
            const auto* at = reinterpret_cast<const char*>(read.data());
            const FrameCodec::Step step = parser.Next(at, read.size(), consumed);
            if (step.status == FrameCodec::Status::Error) {
                Require(parser.Failed() && !parser.ErrorText().empty());
                return 0;
            }
            // The daemon calls again while bytes are left: a call that takes none would spin.
            Require(consumed > 0 && consumed <= read.size());
            if (step.status == FrameCodec::Status::Segment) {
                Require(step.staged || (step.data >= at && step.data + step.size <= at + consumed));
                if (step.part == FrameCodec::Part::Head) {
                    Require(parser.Head().cbMessage >= 0 && parser.Head().cbMessage <= MaxFrame);
                    bodyLeft = parser.Head().cbMessage;
                } else if (step.part == FrameCodec::Part::Body) {
                    bodyLeft -= static_cast<int64_t>(step.size);
                    Require(bodyLeft >= 0);
                } else if (step.part == FrameCodec::Part::Tail) {
                    Require(bodyLeft == 0 && step.frameEnd);
                }
            }
            read = read.subspan(consumed);
        }
    }
    return 0;
}
