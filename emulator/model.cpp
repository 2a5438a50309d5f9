#include "emulator/model.h"

namespace fwemu {

ModelOutput RunModel(SharedModel& m, const DWORD in[4]) {
    ModelOutput r{{0, in[1], 0, 0}, 0};
    const DWORD sub = in[1] & 0xFF;
    const DWORD arg = (in[1] >> 8) & 0xFF;
    // Anything outside the one function and its two-byte EBX is refused the way firmware does:
    // carry set, nothing changed.
    if (in[0] != kFunction || (in[1] >> 16) != 0 || in[2] != 0 || in[3] != 0) {
        r.cflag = 1;
        return r;
    }
    switch (sub) {
    case kSubRadio:
        m.radio = !m.radio;
        r.out[0] = m.radio ? 1 : 0;
        break;
    case kSubDeviceB:
        if (arg == 1) {
            m.deviceB = 1;
        } else if (arg == 0) {
            m.deviceB = 0;
        } else if (arg != 2) {
            r.cflag = 1;
            break;
        }
        r.out[0] = m.deviceB ? 3 : 2;
        break;
    case kSubOption:
        m.option = arg;
        break;
    default:
        r.cflag = 1;
        break;
    }
    return r;
}

}  // namespace fwemu
