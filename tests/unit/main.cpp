// Unit tests of the service. The firmware emulator's objects run in-process, on a state file
// of their own so that nothing here disturbs an emulator registered in the prefix.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "emulator/fwemu.h"

int main(int argc, char** argv) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring state = std::wstring(temp) + L"telvarin-unit-firmware.bin";
    DeleteFileW(state.c_str());
    fwemu::SetStatePath(state.c_str());
    return doctest::Context(argc, argv).run();
}
