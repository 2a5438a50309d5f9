#include "emulator/model.h"

namespace fwemu {

ModelOutput RunModel(SharedModel& m, const DWORD in[4]) {
    ModelOutput r{{0, in[1], 0, 0}, 0};
    const DWORD sub = in[1] & 0xFF;
    const DWORD arg = (in[1] >> 8) & 0xFF;
    // Anything outside the one function and its two-byte EBX is refused the way firmware does:
    // carry set, nothing changed.
    if (in[0] != TELVARIN_FW_FUNCTION || (in[1] >> 16) != 0 || in[2] != 0 || in[3] != 0) {
        r.cflag = 1;
        return r;
    }
    switch (sub) {
    case TELVARIN_FW_STATE_A:
        m.radio = !m.radio;
        r.out[0] = m.radio ? TELVARIN_FW_STATE_A_ON : 0;
        break;
    case TELVARIN_FW_SUB_DEVICE_B:
        if (arg == kDeviceBOn) {
            m.deviceB = 1;
        } else if (arg == kDeviceBOff) {
            m.deviceB = 0;
        } else if (arg != kDeviceBRead) {
            r.cflag = 1;
            break;
        }
        r.out[0] = m.deviceB ? DWORD{TELVARIN_FW_DEVICE_B_IS_ON} : kDeviceBIsOff;
        break;
    case TELVARIN_FW_SUB_OPTION:
        m.option = arg;
        break;
    default:
        r.cflag = 1;
        break;
    }
    return r;
}

}  // namespace fwemu
