#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"

namespace ORVEX::Tessary::Controller {

class TESSARY_EXPORT Client {
public:
    static void Prepare();
    static void Quit();
    static int SetDefTimeOut(int msTimeOut);
    static int GetDefCommandPort();
    static int GetDefStatusPort();
    static void SetLogFileName(const char* name);
    static DString Command2String(int command);

    static bool bInited;
    static int gDefMSTimeOut;
};

} // namespace ORVEX::Tessary::Controller
