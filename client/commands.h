// The four commands of telvarin-client. Each validates its arguments before touching the registry.
#pragma once

#include "client/cli.h"

namespace client {

int RunStatus(const Args& args);
int RunWatch(const Args& args);
int RunRequest(const Args& args);
int RunSetting(const Args& args);

}  // namespace client
