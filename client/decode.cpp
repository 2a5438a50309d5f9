#include "client/decode.h"

#include <cstdio>

namespace client {

namespace {
struct BitName {
    telvarin_value_id id;
    DWORD mask;
    const char* name;
    const char* meaning;
};

// Capability "" has no named bits: the service publishes its bits without giving them meaning.
const BitName kNames[] = {
    {TELVARIN_VAL_NOTIFICATION_TYPE2, TELVARIN_ACK_0, "ack-0", "acknowledgement of request 0 (inverts on each)"},
    {TELVARIN_VAL_NOTIFICATION_TYPE2, TELVARIN_ACK_1, "ack-1", "acknowledgement of request 1 (inverts on each)"},
    {TELVARIN_VAL_NOTIFICATION_TYPE2, TELVARIN_STATE_A, "state-A", "firmware reported state A on (answer to request 0)"},
    {TELVARIN_VAL_NOTIFICATION_TYPE2, TELVARIN_DEVICE_B, "device-B", "firmware reported device B on (answer to request 1)"},
    {TELVARIN_VAL_STATUS_CONTROL, TELVARIN_REQUEST_0, "request-0", "request 0 (each inversion is a request)"},
    {TELVARIN_VAL_STATUS_CONTROL, TELVARIN_REQUEST_1, "request-1", "request 1 (each inversion is a request)"},
    {TELVARIN_VAL_STATUS_CONTROL, TELVARIN_REQUEST_17, "request-17",
     "request 17 (each inversion is a request, never acknowledged)"},
    {TELVARIN_VAL_CAPABILITY_TYPE2, TELVARIN_STATE_A, "state-A", "the service reports state A in Notification Type2 bit 16"},
    {TELVARIN_VAL_CAPABILITY_TYPE2, TELVARIN_DEVICE_B, "device-B",
     "the service reports device B in Notification Type2 bit 17"},
};

const BitName* Find(telvarin_value_id id, DWORD mask) {
    for (const BitName& entry : kNames)
        if (entry.id == id && entry.mask == mask) return &entry;
    return nullptr;
}

std::string NameOf(telvarin_value_id id, int bit) {
    const BitName* entry = Find(id, 1u << bit);
    return entry ? entry->name : "bit" + std::to_string(bit);
}
}  // namespace

std::vector<std::string> BitNames(telvarin_value_id id, DWORD value) {
    std::vector<std::string> names;
    for (int bit = 0; bit < 32; ++bit)
        if (value & (1u << bit)) names.push_back(NameOf(id, bit));
    return names;
}

std::vector<std::string> FlippedBits(telvarin_value_id id, DWORD before, DWORD after) {
    std::vector<std::string> names;
    for (int bit = 0; bit < 32; ++bit) {
        DWORD mask = 1u << bit;
        if ((before ^ after) & mask) names.push_back(((after & mask) ? "+" : "-") + NameOf(id, bit));
    }
    return names;
}

const char* BitMeaning(telvarin_value_id id, DWORD mask) {
    const BitName* entry = Find(id, mask);
    return entry ? entry->meaning : nullptr;
}

std::string Title(const telvarin_value_info& info) {
    std::string key = info.key;
    return key.substr(key.rfind('\\') + 1) + " \"" + info.name + "\"";
}

std::string DisplayPath(const char* key) { return std::string("HKLM\\") + key; }

const char* StateName(telvarin_read_state state) {
    switch (state) {
    case TELVARIN_READ_OK: return "ok";
    case TELVARIN_READ_ABSENT: return "absent";
    case TELVARIN_READ_NOT_DWORD: return "not a DWORD";
    case TELVARIN_READ_KEY_MISSING: return "key missing";
    case TELVARIN_READ_FAILED: break;
    }
    return "unreadable";
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string LocalTimestamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

}  // namespace client
