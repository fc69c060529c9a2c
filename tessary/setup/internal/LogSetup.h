#pragma once

// Naming the log and writing the banner that opens it; behind Client::SetLogFileName.
class LogSetup {
public:
    static void SetLogFileName(const char* name);
    // "BUSClient Build @ <date>, <time>", fixed when the library was built.
    static const char* BuildStamp();
};
