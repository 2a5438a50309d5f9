// telvarin-client doctor: one verdict on the installed service, its registry values and the firmware.
#pragma once

#include "client/cli.h"

namespace client {

int RunDoctor(const Args& args);

}  // namespace client
