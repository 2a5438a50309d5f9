#include <doctest/doctest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/win_raii.h"
#include "telvarin_version.h"

namespace {
std::string BesideThisProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1) + name;
}
}  // namespace

TEST_CASE("telvarin.exe carries the message table the event viewer renders") {
    win::Library exe(LoadLibraryExA(BesideThisProgram("telvarin.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    REQUIRE(exe);
    HRSRC resource = FindResourceExA(exe.Get(), reinterpret_cast<LPCSTR>(RT_MESSAGETABLE),
                                     MAKEINTRESOURCEA(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    REQUIRE(resource != nullptr);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(exe.Get(), resource)));
    const DWORD size = SizeofResource(exe.Get(), resource);
    REQUIRE(data != nullptr);

    const auto* table = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(data);
    REQUIRE(table->NumberOfBlocks == 1);
    CHECK(table->Blocks[0].LowId == 100);
    CHECK(table->Blocks[0].HighId == 108);

    const char* texts[] = {
        "The %1 service was installed.", "The %1 service was removed.", "The %1 service could not be removed.",
        "The control handler could not be installed.", "The initialization process failed.",
        "The service was started.", "The service received an unsupported request.", "%1",
        "The service was stopped.",
    };
    const WORD lengths[] = {36, 36, 44, 52, 44, 32, 52, 12, 32};
    DWORD offset = table->Blocks[0].OffsetToEntries;
    for (int i = 0; i < 9; ++i) {
        CAPTURE(i);
        REQUIRE(offset + 4 <= size);
        const auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(data + offset);
        CHECK(entry->Length == lengths[i]);
        CHECK(entry->Flags == 0);  // ANSI
        const std::string expected = std::string(texts[i]) + "\r\n";
        const char* text = reinterpret_cast<const char*>(entry->Text);
        CHECK(std::string(text, expected.size()) == expected);
        // NUL-terminated and padded with NULs up to the entry's length.
        for (DWORD pad = 4 + static_cast<DWORD>(expected.size()); pad < entry->Length; ++pad)
            CHECK(data[offset + pad] == 0);
        offset += entry->Length;
    }
    CHECK(offset == size);
}

// The version resource a binary takes from the project's one version (resources/version_block.rc).
void CheckVersionResource(const char* name, DWORD fileType) {
    CAPTURE(name);
    const std::string path = BesideThisProgram(name);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    REQUIRE(size > 0);
    std::vector<BYTE> data(size);
    REQUIRE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    REQUIRE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    CHECK(fixed->dwFileType == fileType);
    CHECK(fixed->dwFileVersionMS == static_cast<DWORD>(MAKELONG(TELVARIN_VERSION_MINOR, TELVARIN_VERSION_MAJOR)));
    CHECK(fixed->dwFileVersionLS == static_cast<DWORD>(MAKELONG(0, TELVARIN_VERSION_PATCH)));
    for (const char* field : {"FileVersion", "ProductVersion", "OriginalFilename"}) {
        CAPTURE(field);
        char* text = nullptr;
        const std::string query = std::string("\\StringFileInfo\\040904E4\\") + field;
        REQUIRE(VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length));
        CHECK(std::string(text) == (std::strcmp(field, "OriginalFilename") == 0 ? name : TELVARIN_VERSION_TEXT));
    }
}

TEST_CASE("telvarin.exe and telvarin_client.dll carry the project's version") {
    CheckVersionResource("telvarin.exe", VFT_APP);
    CheckVersionResource("telvarin_client.dll", VFT_DLL);
}
