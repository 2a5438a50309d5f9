// The emulator's own firmware model behind OrvButtonMethodDW.ExecINT (see docs/emulator.md).
#pragma once

#include <windows.h>

#include "common/protocol.h"
#include "emulator/store.h"

namespace fwemu {

// Device B's sub-function takes its argument in the second byte of EBX.
constexpr DWORD kDeviceBOff = 0, kDeviceBOn = 1, kDeviceBRead = 2;
// A read of device B answers this low byte when it is off (TELVARIN_FW_DEVICE_B_IS_ON when on).
constexpr DWORD kDeviceBIsOff = 2;

struct ModelOutput {
    DWORD out[4];  // OutEAX..OutEDX
    DWORD cflag;
};

// Runs one call against `model` (changing it); in = EAX, EBX, ECX, EDX.
ModelOutput RunModel(SharedModel& model, const DWORD in[4]);

}  // namespace fwemu
