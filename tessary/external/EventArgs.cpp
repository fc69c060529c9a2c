#include "tessary/external/EventArgs.h"

DelegateArgs::~DelegateArgs() = default;
