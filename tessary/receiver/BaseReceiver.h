#pragma once

#include "tessary/Export.h"

namespace ORVEX::Tessary::Controller {

class TESSARY_EXPORT BaseReceiver {
public:
    static int gDefMSTimeOut;
};

} // namespace ORVEX::Tessary::Controller
