// The deferred steps' records; see records.h.
#include "packaging/records.h"

#include <string.h>

#include "common/key_security.h"
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

// The records' folder name plus the product's code, kept to the characters a product code has,
// so that nothing given on the command line can name another file.
std::string RecordStem(const char* product) {
    char windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    std::string stem = length && length < MAX_PATH ? windows : "C:\\Windows";
    stem += "\\Temp\\Telvarin-setup-";
    for (const char* c = product; *c; ++c)
        if (HexDigit(*c) >= 0 || *c == '{' || *c == '}' || *c == '-') stem += *c;
    return stem;
}

std::string RecordPath(const char* product, const char* step) { return RecordStem(product) + "-" + step + ".rec"; }

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

LONG SaveRecord(const char* product, const char* step, const Record& record) {
    const std::string path = RecordPath(product, step);
    win::FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return static_cast<LONG>(GetLastError());
    const std::string text = record.Text();
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size())
        return static_cast<LONG>(GetLastError());
    // On disk before the step changes anything: a power loss must not leave a change without its record.
    if (!FlushFileBuffers(file.Get())) return static_cast<LONG>(GetLastError());
    return ERROR_SUCCESS;
}

LONG LoadRecord(const char* product, const char* step, Record& record) {
    const std::string path = RecordPath(product, step);
    win::FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return static_cast<LONG>(GetLastError());
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read) text.append(buffer, read);
    return record.Parse(text) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

void DeleteRecord(const char* product, const char* step) { DeleteFileA(RecordPath(product, step).c_str()); }

void DeleteRecords(const char* product) {
    const std::string stem = RecordStem(product);
    const std::string folder = stem.substr(0, stem.rfind('\\') + 1);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((stem + "-*.rec").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileA((folder + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
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

void DeleteIfEmptyAndNew(const Record& record, const std::string& prefix, const KeyPlace& place) {
    if (record.Flag(prefix + "exists")) return;
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

}  // namespace setup
