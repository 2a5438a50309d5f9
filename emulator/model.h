// The emulator's own firmware model behind OrvButtonMethodDW.ExecINT (see docs/emulator.md).
#pragma once

#include <windows.h>

#include "emulator/store.h"

namespace fwemu {

constexpr DWORD kFunction = 0x9610;
constexpr DWORD kSubRadio = 0x5D;
constexpr DWORD kSubDeviceB = 0x34;
constexpr DWORD kSubOption = 0x2E;

struct ModelOutput {
    DWORD out[4];  // OutEAX..OutEDX
    DWORD cflag;
};

// Runs one call against `model` (changing it); in = EAX, EBX, ECX, EDX.
ModelOutput RunModel(SharedModel& model, const DWORD in[4]);

}  // namespace fwemu
