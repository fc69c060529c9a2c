#pragma once

#include "tools/BusOptions.h"

#include <string>

namespace tool {

// A file sent (acknowledged) or posted as a BLOB, with the message text beside it.
struct FileBLOBRequest {
    bool Post = false;
    std::string Target;
    unsigned long Command = 0;
    std::string Text;
    bool Wide = false;
    std::string SourceID;
    int TimeOutMs = 60000;
    std::string Path;
    // Read and sent in chunks while the frame goes out, never whole in memory.
    bool Stream = false;
    // Where a send keeps the reply BLOB; empty: the reply BLOB is only reported.
    std::string ReplyBLOBPath;
};

// Delivers the request on the bus (PrepareLibrary has run) and reports as the tool does:
// the reply text and the reply BLOB on stdout, a live progress line for a large file when
// stdout is a terminal, the reason of a failure on stderr. Answers the exit status: 0 once
// the target (send) or the bus (post) accepted the BLOB, else 1.
int DeliverFileBLOB(const BusOptions& bus, const FileBLOBRequest& request);

} // namespace tool
