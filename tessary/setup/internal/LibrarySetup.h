#pragma once

#include "tessary/external/DString.h"

// The process-wide start-up and shut-down behind Client::Prepare and Client::Quit.
class LibrarySetup {
public:
    // Runs SystemInit unless it has run in this process already; threads that call it at the
    // same time wait until the one that runs it is done.
    static void SystemInitOnce();

    // Finds the system path, reads the ports and the number of bus servers from the INI file
    // there, loads the command names and logs the configuration.
    static void SystemInit();
    // Drops the command names. Ports, time-outs and the initialised mark stay.
    static void SystemExit();

    // TESSARY_SYSTEM_PATH (an error line when it is not set; a value of 256 bytes or more is
    // not taken), else the executable's directory, else "./"; always ending in a separator.
    static DString GetSystemPath();
};
