// The deferred steps' records; see records.h.
#include "packaging/records.h"

#include <sddl.h>
#include <string.h>

#include "common/key_security.h"
#include "common/protocol.h"
#include "common/protocol_key.h"
#include "common/win_raii.h"

namespace setup {

namespace {

const char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Owned by Administrators; full control for LocalSystem and Administrators, no access for anybody
// else, and nothing inherited from the vendor key.
constexpr char kRecordsSecurity[] = "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
// What anyone may be granted on a records key without being able to change it.
constexpr ACCESS_MASK kReadRights = KEY_READ | GENERIC_READ;

// The records' key of a product: the product code kept to the characters a product code has,
// so that nothing given on the command line can name another key (nor, left empty, the key of
// every product's records).
std::string ProductKey(const char* product) {
    std::string code;
    for (const char* c = product; *c; ++c)
        if (HexDigit(*c) >= 0 || *c == '{' || *c == '}' || *c == '-') code += *c;
    return std::string(kRecordsPlace.path) + "\\" + (code.empty() ? "{}" : code);
}

bool Administrative(PSID sid) { return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid); }

// Whether only administrators and LocalSystem may change the key: one of them owns it (an owner
// may always rewrite the DACL), it has a DACL, and none of its ACEs lets anybody else do more
// than read.
bool OnlyAdministratorsWrite(HKEY key) {
    win::LocalMemory descriptor;
    if (win::ReadKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor) != ERROR_SUCCESS)
        return false;
    PSID owner = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ACL* dacl = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor.Get(), &owner, &defaulted) || !owner || !Administrative(owner) ||
        !GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;  // no kind of ACE a records key is given
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & ~kReadRights) && !Administrative(const_cast<DWORD*>(&ace->SidStart))) return false;
    }
    return true;
}

// Opens a records key, or with `create` makes it with the records' security. An existing key
// that others may write is not one: ERROR_INVALID_SECURITY_DESCR, or with `create` it is
// deleted with everything under it and made again.
LONG OpenRecordsKey(const std::string& path, bool create, REGSAM access, win::RegKey& key) {
    win::LocalMemory security;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kRecordsSecurity, SDDL_REVISION_1, security.Receive(), nullptr))
        return static_cast<LONG>(GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.Get(), FALSE};
    for (bool remade = false;; remade = true) {
        DWORD disposition = 0;
        LONG rc = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access | KEY_ALL_ACCESS | kRecordsPlace.view, &attributes, key.Receive(), &disposition)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | READ_CONTROL | kRecordsPlace.view,
                                         key.Receive());
        if (rc != ERROR_SUCCESS) return rc;
        // Wine ignores the security given at creation: set it again.
        if (disposition == REG_CREATED_NEW_KEY)
            return RegSetKeySecurity(key.Get(),
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                     security.Get());
        if (OnlyAdministratorsWrite(key.Get())) return ERROR_SUCCESS;
        key.Reset();
        if (!create || remade) return ERROR_INVALID_SECURITY_DESCR;
        // Made by someone else: whatever is in it is not ours to trust, and handles they hold go with it.
        const KeyPlace place = {path.c_str(), kRecordsPlace.view};
        if ((rc = DeleteKeyTree(place)) != ERROR_SUCCESS) return rc;
    }
}

// Deletes the product's records key, and the one above it, when they are left empty.
void DeleteEmptyRecordsKeys(const std::string& productKey) {
    DeleteIfEmpty({productKey.c_str(), kRecordsPlace.view});
    DeleteIfEmpty(kRecordsPlace);
}

}  // namespace

void Record::Set(const std::string& name, const std::string& bytes) {
    for (auto& entry : m_entries)
        if (entry.first == name) {
            entry.second = bytes;
            return;
        }
    m_entries.emplace_back(name, bytes);
}

void Record::SetNumber(const std::string& name, DWORD value) {
    Set(name, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

bool Record::Get(const std::string& name, std::string& bytes) const {
    for (const auto& entry : m_entries)
        if (entry.first == name) {
            bytes = entry.second;
            return true;
        }
    return false;
}

DWORD Record::Number(const std::string& name) const {
    std::string bytes;
    DWORD value = 0;
    if (Get(name, bytes) && bytes.size() == sizeof value) memcpy(&value, bytes.data(), sizeof value);
    return value;
}

bool Record::Flag(const std::string& name) const {
    std::string bytes;
    return Get(name, bytes) && bytes == "1";
}

std::vector<std::pair<std::string, std::string>> Record::WithPrefix(const std::string& prefix) const {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& entry : m_entries)
        if (entry.first.compare(0, prefix.size(), prefix) == 0) found.emplace_back(entry.first.substr(prefix.size()), entry.second);
    return found;
}

std::string Record::Text() const {
    std::string text;
    for (const auto& entry : m_entries) {
        // Names are the steps' own; value names are written in hex after their prefix.
        text += entry.first + "=";
        for (unsigned char c : entry.second) {
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
        text += "\n";
    }
    return text + "end\n";
}

bool Record::Parse(const std::string& text) {
    m_entries.clear();
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line == "end") return at == text.size();
        const size_t equals = line.find('=');
        if (equals == std::string::npos || (line.size() - equals - 1) % 2) return false;
        std::string bytes;
        for (size_t i = equals + 1; i < line.size(); i += 2) {
            const int high = HexDigit(line[i]), low = HexDigit(line[i + 1]);
            if (high < 0 || low < 0) return false;
            bytes += static_cast<char>(high * 16 + low);
        }
        m_entries.emplace_back(line.substr(0, equals), bytes);
    }
    return false;  // no closing line: written only in part
}

const KeyPlace kRecordsPlace = {TELVARIN_KEY_VENDOR "\\TelvarinSetup", telvarin::kProtocolView};

LONG SaveRecord(const char* product, const char* step, const Record& record) {
    // The vendor key first, as every program of the project makes it (default security, which the
    // service's keys under it inherit), not as a records key.
    win::RegKey vendor, records, key;
    LONG rc = telvarin::CreateProtocolKey(TELVARIN_KEY_VENDOR, KEY_QUERY_VALUE, vendor);
    vendor.Reset();
    if (rc == ERROR_SUCCESS) rc = OpenRecordsKey(kRecordsPlace.path, true, 0, records);
    records.Reset();
    if (rc == ERROR_SUCCESS) rc = OpenRecordsKey(ProductKey(product), true, KEY_SET_VALUE, key);
    if (rc != ERROR_SUCCESS) return rc;
    const std::string text = record.Text();
    rc = RegSetValueExA(key.Get(), step, 0, REG_BINARY, reinterpret_cast<const BYTE*>(text.data()),
                        static_cast<DWORD>(text.size()));
    // On disk before the step changes anything: a power loss must not leave a change without its record.
    return rc == ERROR_SUCCESS ? RegFlushKey(key.Get()) : rc;
}

LONG LoadRecord(const char* product, const char* step, Record& record) {
    win::RegKey records, key;
    LONG rc = OpenRecordsKey(kRecordsPlace.path, false, 0, records);
    if (rc == ERROR_SUCCESS) rc = OpenRecordsKey(ProductKey(product), false, KEY_QUERY_VALUE, key);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD type = 0, size = 0;
    rc = RegQueryValueExA(key.Get(), step, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::string text(size, '\0');
    rc = RegQueryValueExA(key.Get(), step, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size);
    if (rc != ERROR_SUCCESS) return rc;
    text.resize(size);
    return type == REG_BINARY && record.Parse(text) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

void DeleteRecord(const char* product, const char* step) {
    const std::string path = ProductKey(product);
    win::RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | kRecordsPlace.view, key.Receive()) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key.Get(), step);
    key.Reset();
    DeleteEmptyRecordsKeys(path);
}

void DeleteRecords(const char* product) {
    const std::string path = ProductKey(product);
    DeleteKeyTree({path.c_str(), kRecordsPlace.view});
    DeleteEmptyRecordsKeys(path);
}

bool KeyExists(const KeyPlace& place) {
    win::RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, KEY_QUERY_VALUE | place.view, key.Receive()) == ERROR_SUCCESS;
}

void SnapshotValues(Record& record, const std::string& prefix, const KeyPlace& place) {
    win::RegKey key;
    const bool exists =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, KEY_QUERY_VALUE | place.view, key.Receive()) == ERROR_SUCCESS;
    record.SetFlag(prefix + "exists", exists);
    for (DWORD index = 0; exists; ++index) {
        char name[16384];
        std::string data(65536, '\0');
        DWORD nameSize = sizeof name, dataSize = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &dataSize) !=
            ERROR_SUCCESS)
            break;
        data.resize(dataSize);
        std::string hexName;
        for (DWORD i = 0; i < nameSize; ++i) {
            hexName += kHex[static_cast<unsigned char>(name[i]) >> 4];
            hexName += kHex[name[i] & 15];
        }
        record.Set(prefix + "value." + hexName, std::string(reinterpret_cast<const char*>(&type), sizeof type) + data);
    }
}

LONG DeleteKeyTree(const KeyPlace& place) {
    win::RegKey key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, KEY_ALL_ACCESS | place.view, key.Receive());
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) rc = RegDeleteTreeA(key.Get(), nullptr);
    key.Reset();
    if (rc == ERROR_SUCCESS) rc = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, place.path, place.view, 0);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

LONG RestoreValues(const Record& record, const std::string& prefix, const KeyPlace& place) {
    if (!record.Flag(prefix + "exists")) return DeleteKeyTree(place);
    win::RegKey key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | place.view, nullptr, key.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    // Every value there now goes, then the recorded ones are written: exactly the values found.
    for (;;) {
        char name[16384];
        DWORD nameSize = sizeof name;
        if (RegEnumValueA(key.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if ((rc = RegDeleteValueA(key.Get(), name)) != ERROR_SUCCESS) return rc;
    }
    for (const auto& value : record.WithPrefix(prefix + "value.")) {
        std::string name;
        for (size_t i = 0; i + 1 < value.first.size(); i += 2)
            name += static_cast<char>(HexDigit(value.first[i]) * 16 + HexDigit(value.first[i + 1]));
        DWORD type = 0;
        if (value.second.size() < sizeof type) continue;
        memcpy(&type, value.second.data(), sizeof type);
        const std::string data = value.second.substr(sizeof type);
        rc = RegSetValueExA(key.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size()));
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

void SnapshotDacl(Record& record, const std::string& prefix, const KeyPlace& place) {
    win::RegKey key;
    const bool exists =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, READ_CONTROL | place.view, key.Receive()) == ERROR_SUCCESS;
    record.SetFlag(prefix + "exists", exists);
    win::LocalMemory descriptor;
    if (exists && win::ReadKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS)
        record.Set(prefix + "dacl", std::string(static_cast<const char*>(descriptor.Get()),
                                                GetSecurityDescriptorLength(descriptor.Get())));
}

LONG RestoreDacl(const Record& record, const std::string& prefix, const KeyPlace& place) {
    if (!record.Flag(prefix + "exists")) return DeleteKeyTree(place);
    std::string descriptor;
    if (!record.Get(prefix + "dacl", descriptor)) return ERROR_SUCCESS;  // it could not be read: left as it is
    win::RegKey key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, nullptr, REG_OPTION_NON_VOLATILE, WRITE_DAC | place.view,
                              nullptr, key.Receive(), nullptr);
    if (rc == ERROR_SUCCESS)
        rc = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, const_cast<char*>(descriptor.data()));
    return rc;
}

void DeleteIfEmpty(const KeyPlace& place) {
    win::RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.path, 0, KEY_QUERY_VALUE | place.view, key.Receive()) != ERROR_SUCCESS) return;
    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr) != ERROR_SUCCESS ||
        subkeys || values)
        return;
    key.Reset();
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, place.path, place.view, 0);
}

void DeleteIfEmptyAndNew(const Record& record, const std::string& prefix, const KeyPlace& place) {
    if (!record.Flag(prefix + "exists")) DeleteIfEmpty(place);
}

}  // namespace setup
