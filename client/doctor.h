// telvarin-client doctor: one verdict on the installed service, its registry values and the firmware.
#pragma once

#include "client/cli.h"

namespace client {

// `doctor --help`: names every check and every field of --json.
extern const char kDoctorHelp[];

int RunDoctor(const Args& args);
// Why the service cannot serve requests, as far as the firmware's WMI classes tell (bounded), with
// the way out; "" when they are all there.
std::string NotReadyCause();

}  // namespace client
