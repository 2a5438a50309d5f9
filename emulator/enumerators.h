// The enumerators the emulator hands out: the settings query's answer and the button-event
// subscription.
#pragma once

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include <memory>
#include <vector>

#include "emulator/class_objects.h"
#include "emulator/store.h"

namespace fwemu {

// An enumerator over `items`, in order. Over the data block's instances (`dataBlock`), its Next
// hangs while the data-hang fault is on and waits out its time-out while data-timeout is. Both
// kinds belong to the connection `generation` and answer RPC_E_DISCONNECTED once it has ended.
HRESULT CreateDataEnum(std::shared_ptr<Store> store, LONG generation, bool dataBlock,
                       std::vector<Microsoft::WRL::ComPtr<EmuObject>> items, IEnumWbemClassObject** out);

// A new subscription to OrvButtonEvent: it sees every event injected after it was made, in order.
// WBEM_E_QUOTA_VIOLATION when every subscriber slot is held by a live process.
HRESULT SubscribeEvents(const std::shared_ptr<Store>& store, LONG generation, IEnumWbemClassObject** out);

}  // namespace fwemu
