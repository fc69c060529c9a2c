#pragma once

// Everything an application of the bus needs: the senders, the receivers, the BLOB stream
// handle, and the library's version.

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/client/Client.h"
#include "tessary/client/FixedBLOBClient.h"
#include "tessary/client/FixedMessageClient.h"
#include "tessary/client/MessageClient.h"
#include "tessary/protocol/BUSStream.h"
#include "tessary/receiver/BLOBReceiver.h"
#include "tessary/receiver/BaseReceiver.h"
#include "tessary/receiver/FixedBLOBReceiver.h"
#include "tessary/receiver/FixedMessageReceiver.h"
#include "tessary/receiver/MessageReceiver.h"
#include "tessary/setup/Version.h"
