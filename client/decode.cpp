#include "client/decode.h"

#include <cstdio>

namespace client {

namespace {
struct BitName {
    ValueId id;
    int bit;
    const char* name;
    const char* meaning;
};

// Capability "" has no named bits: the service publishes 0x1800054 without giving them meaning.
const BitName kNames[] = {
    {ValueId::NotificationType2, 0, "ack-0", "acknowledgement of request 0 (inverts on each)"},
    {ValueId::NotificationType2, 1, "ack-1", "acknowledgement of request 1 (inverts on each)"},
    {ValueId::NotificationType2, 16, "state-A", "firmware reported state A on (answer to request 0)"},
    {ValueId::NotificationType2, 17, "device-B", "firmware reported device B on (answer to request 1)"},
    {ValueId::StatusControl, 0, "request-0", "request 0 (each inversion is a request)"},
    {ValueId::StatusControl, 1, "request-1", "request 1 (each inversion is a request)"},
    {ValueId::StatusControl, 17, "request-17", "request 17 (each inversion is a request, never acknowledged)"},
    {ValueId::CapabilityType2, 16, "state-A", "the service reports state A in Notification Type2 bit 16"},
    {ValueId::CapabilityType2, 17, "device-B", "the service reports device B in Notification Type2 bit 17"},
};

const BitName* Find(ValueId id, int bit) {
    for (const BitName& entry : kNames)
        if (entry.id == id && entry.bit == bit) return &entry;
    return nullptr;
}

std::string NameOf(ValueId id, int bit) {
    const BitName* entry = Find(id, bit);
    return entry ? entry->name : "bit" + std::to_string(bit);
}
}  // namespace

std::vector<std::string> BitNames(ValueId id, DWORD value) {
    std::vector<std::string> names;
    for (int bit = 0; bit < 32; ++bit)
        if (value & (1u << bit)) names.push_back(NameOf(id, bit));
    return names;
}

std::vector<std::string> FlippedBits(ValueId id, DWORD before, DWORD after) {
    std::vector<std::string> names;
    for (int bit = 0; bit < 32; ++bit) {
        DWORD mask = 1u << bit;
        if ((before ^ after) & mask) names.push_back(((after & mask) ? "+" : "-") + NameOf(id, bit));
    }
    return names;
}

const char* BitMeaning(ValueId id, int bit) {
    const BitName* entry = Find(id, bit);
    return entry ? entry->meaning : nullptr;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& words) {
    std::string out = "[";
    for (size_t i = 0; i < words.size(); ++i) out += (i ? "," : "") + JsonString(words[i]);
    return out + "]";
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
