// What the settings store asks of the firmware bridge, as an interface: the store's watchers
// turn client requests into register calls and push the settings word through it, without
// knowing the bridge (firmware/firmware_bridge.h implements it; tests may fake it).
#pragma once

#include <windows.h>

class FirmwareApi {
public:
    virtual ~FirmwareApi() = default;
    // A register call: 1 with the firmware's output in the registers, else 0 and the input kept.
    virtual int CallFirmware(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) = 0;
    // The register call of a client's request. One that cannot be made yet (requests not ready,
    // calls of its kind refused while given-up ones are out, the connection being made again)
    // waits for its chance, up to the bound of a call, and is made as soon as it can be; 0 when
    // it could not be made by then (the cause is reported, throttled) or failed.
    virtual int CallForRequest(DWORD& eax, DWORD& ebx, DWORD& ecx, DWORD& edx) = 0;
    // The settings word into the firmware's data block: 1 once written.
    virtual int WriteFirmwareSetting(DWORD value) = 0;
    // Settings writes that were given up and may still land.
    virtual int SettingsWritesOutstanding() = 0;
    // Readiness lost through a failed method lookup, looked for again when due: how long the
    // caller may wait before it is due again (INFINITE: not due).
    virtual DWORD RetryReadiness() = 0;
    // Signalled (auto reset) when RetryReadiness is due at once (after a resume); may be null.
    virtual HANDLE ReadinessDueEvent() = 0;
};
