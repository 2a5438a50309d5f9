#include <doctest/doctest.h>

#include "common/win_raii.h"

TEST_CASE("a Variant yields an integer only when it holds one") {
    win::Variant v;
    DWORD value = 0x12345678;
    SUBCASE("VT_NULL and VT_EMPTY are unreadable whatever the union holds") {
        v.Get()->lVal = 8;  // what a firmware may leave behind: the sleep code
        CHECK_FALSE(v.ToUint32(value));
        v.Get()->vt = VT_NULL;
        CHECK_FALSE(v.ToUint32(value));
        CHECK(value == 0x12345678);
    }
    SUBCASE("VT_I4 and VT_UI4 as they are; negative values wrap") {
        v.Get()->vt = VT_I4;
        v.Get()->lVal = -1;
        CHECK(v.ToUint32(value));
        CHECK(value == 0xFFFFFFFF);
        v.Get()->vt = VT_UI4;
        v.Get()->ulVal = 0x800;
        CHECK(v.ToUint32(value));
        CHECK(value == 0x800);
    }
    SUBCASE("numeric text converts, other text does not") {
        v.SetBstr(win::Bstr(L"4294967295"));
        CHECK(v.ToUint32(value));
        CHECK(value == 0xFFFFFFFF);
        v.SetBstr(win::Bstr(L"-2"));
        CHECK(v.ToUint32(value));
        CHECK(value == 0xFFFFFFFE);
        value = 7;
        v.SetBstr(win::Bstr(L"eight"));
        CHECK_FALSE(v.ToUint32(value));
        CHECK(value == 7);
    }
    SUBCASE("a fresh or received Variant holds no leftover bytes") {
        v.Get()->vt = VT_I4;
        v.Get()->lVal = 8;
        VARIANT* received = v.Receive();
        CHECK(received->vt == VT_EMPTY);
        CHECK(received->lVal == 0);
        win::Variant fresh;
        CHECK(fresh.Get()->llVal == 0);
    }
}

TEST_CASE("an owner closing on an error path keeps the error being reported") {
    // A handle whose close itself fails (and so sets ERROR_INVALID_HANDLE): the worst case.
    win::UniqueHandle bogus(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ffffff0)));
    SetLastError(ERROR_ACCESS_DENIED);
    bogus.Reset();
    CHECK(GetLastError() == ERROR_ACCESS_DENIED);
    CHECK_FALSE(bogus);
}
