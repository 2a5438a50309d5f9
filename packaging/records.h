// What a deferred step of the MSI found before it changed the machine, kept where its rollback
// twin finds it: one value per step, named after the step, under
// HKLM\Software\Haskorn\TelvarinSetup\{PRODUCT} in the protocol's 32-bit view. Only administrators
// and LocalSystem may make a key under HKLM\Software, so no standard user can make that place
// before an install, and the helper gives the records' keys security of their own (owned by
// Administrators, written only by them and LocalSystem, nothing inherited), whatever an
// administrator granted on the vendor key. A records key that anyone else may write is not
// trusted: its records are never put back, and a step makes it again. The twin puts back exactly
// what the record says and then deletes it, with the keys that are left empty; a record that is
// not there means the step never began, so there is nothing to put back. Windows Installer's own
// model (a step writes down what it found, its twin restores that) with the machine as the only
// source: no property read before the script ran.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace setup {

// Named byte strings, written as "name=hex" lines.
class Record {
public:
    void Set(const std::string& name, const std::string& bytes);
    void SetNumber(const std::string& name, DWORD value);
    void SetFlag(const std::string& name, bool value) { Set(name, value ? "1" : "0"); }
    bool Get(const std::string& name, std::string& bytes) const;
    DWORD Number(const std::string& name) const;
    bool Flag(const std::string& name) const;
    // The entries whose names start with `prefix`, the prefix cut off.
    std::vector<std::pair<std::string, std::string>> WithPrefix(const std::string& prefix) const;

    std::string Text() const;
    // False for text that is not a record (a damaged one is not put back half).
    bool Parse(const std::string& text);

private:
    std::vector<std::pair<std::string, std::string>> m_entries;
};

// A registry key in one view, as the steps read and put back keys.
struct KeyPlace {
    const char* path;  // under HKEY_LOCAL_MACHINE
    REGSAM view;       // KEY_WOW64_32KEY or 0
};

// The key that holds every product's records, one subkey per product code.
extern const KeyPlace kRecordsPlace;

// The record of `step` for the product `product` (its product code): saved (on disk before the
// step changes anything), loaded, deleted. Windows errors; Load answers ERROR_FILE_NOT_FOUND when
// the step left none, ERROR_INVALID_SECURITY_DESCR when its key lets others than administrators
// and LocalSystem write.
LONG SaveRecord(const char* product, const char* step, const Record& record);
LONG LoadRecord(const char* product, const char* step, Record& record);
void DeleteRecord(const char* product, const char* step);
// Every record of the product: a script starts without any of an earlier one that ended
// abruptly, and one that succeeded leaves none behind.
void DeleteRecords(const char* product);

bool KeyExists(const KeyPlace& place);
// Whether the key exists, and every value of it (type and data), under names starting with `prefix`.
void SnapshotValues(Record& record, const std::string& prefix, const KeyPlace& place);
// The key as the snapshot found it: deleted with everything under it when it was not there,
// else holding exactly the recorded values (made again when it is gone).
LONG RestoreValues(const Record& record, const std::string& prefix, const KeyPlace& place);
// Whether the key exists, and its DACL.
void SnapshotDacl(Record& record, const std::string& prefix, const KeyPlace& place);
// Deleted with everything under it when it was not there, else given the recorded DACL.
LONG RestoreDacl(const Record& record, const std::string& prefix, const KeyPlace& place);
// Deletes a key that the record says was not there, if nothing is left in it now.
void DeleteIfEmptyAndNew(const Record& record, const std::string& prefix, const KeyPlace& place);
// Deletes the key if it has neither values nor subkeys.
void DeleteIfEmpty(const KeyPlace& place);
LONG DeleteKeyTree(const KeyPlace& place);

}  // namespace setup
