// Running ExecINT on the firmware's method instance. The ACPI-WMI mapper names an instance after
// its device's unique id, so another model of the line may publish the method block as
// ACPI\PNP0C14\1_0 or under another id. The fixed path is tried first; when WMI answers that
// it does not exist, the first instance the class enumerates is used, remembered for the
// connection, and reported once.
#pragma once

#include <wbemidl.h>
#include <wrl/client.h>

#include "core/method_instance.h"
#include "core/wmi_connection.h"

// WmiConnection::ExecMethod of `method` on the method instance, with its result.
WmiResult ExecOnMethodInstance(WmiConnection& wmi, MethodInstanceMemo& memo, BSTR method, IWbemClassObject* inParams,
                               Microsoft::WRL::ComPtr<IWbemClassObject>& outParams);
