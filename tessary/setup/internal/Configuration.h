#pragma once

#include "tessary/external/DString.h"

#include <cstdint>

// The library's process-wide configuration. SystemInit writes it once; clients, receivers and
// wait servers read it from any thread. Until SystemInit has run the defaults are in force.
class Configuration {
public:
    static constexpr int32_t DefaultCommandPort = 6630;
    static constexpr int32_t DefaultStatusPort = 6631;
    static constexpr int32_t DefaultNbOfBUSServer = 4;
    static constexpr int32_t DefaultMSTimeOut = 60000;
    // The bus server's own default limit, so a receiver takes whatever a default bus relays.
    static constexpr int32_t DefaultMaxFrameBytes = 256 << 20;
    // The system path's storage in bytes, terminating zero included.
    static constexpr int SystemPathSize = 260;

    static constexpr const char* SystemPathVariable = "TESSARY_SYSTEM_PATH";
    static constexpr const char* IniFileName = "BUSServer.Manager.INI";
    static constexpr const char* IniSection = "BUSServer";
    static constexpr const char* CommandNamesFileName = "BUSCommand2String.JSON";

    static int32_t DefCommandPort();
    static int32_t DefStatusPort();
    static int32_t NbOfBUSServer();
    // The most bytes a received frame's body and BLOB may bring together; always above 0.
    static int32_t MaxFrameBytes();
    // Empty until SystemInit; afterwards it ends in a separator.
    static DString SystemPath();
    // The thread that ran SystemInit (0 before).
    static uint32_t InitialisingThread();

    static void SetDefaults(int32_t commandPort, int32_t statusPort, int32_t nbOfBUSServer);
    // Below 1 (a missing or unreadable value) keeps the default.
    static void SetMaxFrameBytes(int32_t bytes);
    static void SetSystemPath(const char* path);
    static void SetInitialisingThread(uint32_t threadId);
};

// The section of BUSServer.Manager.INI that the library and the bus server share.
struct BUSServerSettings {
    int32_t CommandPort = Configuration::DefaultCommandPort;
    int32_t StatusPort = Configuration::DefaultStatusPort;
    int32_t NbOfBUSServer = Configuration::DefaultNbOfBUSServer;
    int32_t MaxFrameBytes = Configuration::DefaultMaxFrameBytes;
};

// Reads the values from the INI file at iniPath, as the library's start-up does: a
// missing file or key gives the default, a value that is not a number gives 0.
BUSServerSettings ReadBUSServerIni(const char* iniPath);
