/* The Telvarin protocol: the registry values shared with client programs and the firmware calls
   behind them. The one definition of these facts: the service, the client library and tool, the
   firmware emulator and the tests include this header, and scripts read it
   (scripts/protocol.py). Plain C, so that C clients can include it as well.
   common/ holds what every program of the project shares: this header, the protocol's keys
   (protocol_key.h), key security, the client lock's name, the RAII owners (win_raii.h) and the
   tools' console convention. It uses nothing of the project's other folders. */
#ifndef TELVARIN_COMMON_PROTOCOL_H
#define TELVARIN_COMMON_PROTOCOL_H

#define TELVARIN_SERVICE_NAME "Telvarin"
#define TELVARIN_WMI_SERVICE "winmgmt" /* the service Telvarin depends on */

/* Keys under HKEY_LOCAL_MACHINE, always in the 32-bit registry view (KEY_WOW64_32KEY). */
#define TELVARIN_KEY_VENDOR "Software\\Haskorn"
#define TELVARIN_KEY_ROOT TELVARIN_KEY_VENDOR "\\SystemEvent"
#define TELVARIN_KEY_NOTIFICATION TELVARIN_KEY_ROOT "\\Notification"
#define TELVARIN_KEY_CAPABILITY TELVARIN_KEY_ROOT "\\Capability"
#define TELVARIN_KEY_CURRENT_SETTING TELVARIN_KEY_ROOT "\\CurrentSetting"
#define TELVARIN_KEY_STATUS_CONTROL TELVARIN_KEY_ROOT "\\StatusControl"
#define TELVARIN_KEY_SERVICE "SYSTEM\\CurrentControlSet\\Services\\" TELVARIN_SERVICE_NAME
#define TELVARIN_KEY_EVENT_SOURCE "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" TELVARIN_SERVICE_NAME

/* The named mutex by which client programs take turns: the client library holds it from its read
   of StatusControl to the answer (or the time-out), and around each settings write. The service
   creates it at each start under this prefix and a suffix nobody can guess, owned by
   Administrators, and publishes the whole name in TELVARIN_VALUE_CLIENT_LOCK (REG_SZ) under
   TELVARIN_KEY_PRODUCT, where only administrators may write. In the Global\ namespace, so that
   the clients of every session share it. */
#define TELVARIN_CLIENT_LOCK "Global\\Haskorn.Telvarin.ClientLock"
#define TELVARIN_KEY_PRODUCT TELVARIN_KEY_VENDOR "\\Telvarin"
#define TELVARIN_VALUE_CLIENT_LOCK "ClientLock"
/* The client-access record the installer keeps there: the group's SID ("S-1-..."), and the keys
   (REG_MULTI_SZ, names under TELVARIN_KEY_ROOT) whose ACE for it the installer added. */
#define TELVARIN_VALUE_ACCESS_GROUP "ClientAccessGroup"
#define TELVARIN_VALUE_ACCESS_KEYS "ClientAccessKeys"

/* Value names: "" is a key's default value, which holds a REG_DWORD like the named ones. */
#define TELVARIN_VALUE_DEFAULT ""
#define TELVARIN_VALUE_TYPE2 "Type2"

enum {
    /* StatusControl "Type2": a request is the inversion of one of these bits, either way. */
    TELVARIN_REQUEST_0 = 0x1,      /* asks the firmware about state A */
    TELVARIN_REQUEST_1 = 0x2,      /* asks the firmware about device B */
    TELVARIN_REQUEST_17 = 0x20000, /* sets device B to its last reported state; never answered */

    /* Notification "Type2": the answers. */
    TELVARIN_ACK_0 = 0x1,          /* inverts when request 0 was served */
    TELVARIN_ACK_1 = 0x2,          /* inverts when request 1 was served */
    TELVARIN_STATE_A = 0x10000,    /* written with ACK_0: state A as the firmware reported it */
    TELVARIN_DEVICE_B = 0x20000,   /* written with ACK_1: device B as the firmware reported it */

    /* Button event codes with an action of their own; every other code is toggled into
       Notification "". */
    TELVARIN_EVENT_SLEEP_BUTTON = 0x8,
    TELVARIN_EVENT_HIBERNATE = 0x800,

    /* Firmware register calls (OrvButtonMethodDW.ExecINT): EAX is the function, EBX the
       sub-function in its low byte and the argument in its second byte, ECX = EDX = 0. */
    TELVARIN_FW_FUNCTION = 0x9610,
    TELVARIN_FW_STATE_A = 0x5D,         /* EBX of request 0 */
    TELVARIN_FW_STATE_A_ON = 1,         /* low byte of the answer's EAX when state A is on */
    TELVARIN_FW_SUB_DEVICE_B = 0x34,    /* device B: argument 2 reads it, 1 switches it on, 0 off */
    TELVARIN_FW_DEVICE_B_READ = 0x234,  /* EBX of request 1 */
    TELVARIN_FW_DEVICE_B_ON = 0x134,    /* EBX of request 17 when device B was last reported on */
    TELVARIN_FW_DEVICE_B_OFF = 0x34,    /* ... and when it was reported off */
    TELVARIN_FW_DEVICE_B_IS_ON = 3,     /* low byte of the answer's EAX when device B is on */
    TELVARIN_FW_SUB_OPTION = 0x2E,      /* sets the firmware option byte (the argument) */
    TELVARIN_FW_STARTUP_OPTION = 1,     /* the option the service sets at start */

    /* What every service start writes (OR for Capability, set for the two client inputs). */
    TELVARIN_CAPABILITY_BITS = 0x1800054,
    TELVARIN_CAPABILITY_TYPE2_BITS = 0x30000,
    TELVARIN_SETTING_AT_START = 0x1800014,
    TELVARIN_STATUS_CONTROL_AT_START = 0
};

/* The firmware's WMI classes in \\.\ROOT\WMI. */
#define TELVARIN_WMI_NAMESPACE "\\\\.\\ROOT\\WMI"
#define TELVARIN_WMI_METHOD_CLASS "OrvButtonMethodDW"
#define TELVARIN_WMI_METHOD "ExecINT"
#define TELVARIN_WMI_METHOD_INSTANCE "ACPI\\pnp0c14\\0_0" /* its InstanceName key */
/* The object paths of a register call: the class, and the instance the method runs on (inside
   the quotes of an object path every backslash of the key is doubled). */
#define TELVARIN_WMI_METHOD_CLASS_PATH "\\\\.\\Root\\Wmi:OrvButtonMethodDW"
#define TELVARIN_WMI_METHOD_PATH "\\\\.\\Root\\Wmi:OrvButtonMethodDW.InstanceName=\"ACPI\\\\pnp0c14\\\\0_0\""
#define TELVARIN_WMI_DATA_CLASS "OrvButtonData"
#define TELVARIN_WMI_EVENT_CLASS "OrvButtonEvent"
#define TELVARIN_WMI_PARAM "Param" /* the event code, and the settings word */

#endif
