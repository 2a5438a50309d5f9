#include "emu_test.h"

#include <functional>
#include <string>
#include <vector>

using emutest::Background;
using emutest::Fixture;
using emutest::GetI4;
using emutest::PutParam;
using emutest::QueryData;

namespace {

ComPtr<IEnumWbemClassObject> Subscribe(IWbemServices* svc, HRESULT* hr = nullptr) {
    ComPtr<IEnumWbemClassObject> e;
    win::Bstr wql(L"WQL"), query(L"SELECT * FROM OrvButtonEvent");
    HRESULT r = svc->ExecNotificationQuery(wql.Get(), query.Get(), 0x30, nullptr, e.GetAddressOf());
    if (hr) *hr = r;
    else REQUIRE(r == WBEM_S_NO_ERROR);
    return e;
}

// Next(timeout, 1): the code delivered, or -1 on a timeout.
long long NextCode(IEnumWbemClassObject* e, LONG timeoutMs) {
    ComPtr<IWbemClassObject> obj;
    ULONG got = 0;
    HRESULT hr = e->Next(timeoutMs, 1, obj.GetAddressOf(), &got);
    if (hr == WBEM_S_TIMEDOUT) {
        CHECK(got == 0);
        return -1;
    }
    REQUIRE(hr == WBEM_S_NO_ERROR);
    REQUIRE(got == 1);
    return GetI4(obj.Get(), L"Param");
}

}  // namespace

TEST_CASE("settings writes: exact text of the service's %u values, readable back as VT_I4") {
    Fixture fx;
    auto svc = fx.Connect();
    auto items = QueryData(svc.Get());
    REQUIRE(items.size() == 1);
    CHECK(GetI4(items[0].Get(), L"Param") == 0);

    for (const wchar_t* text : {L"4269801451", L"0", L"4294967295"}) {
        CAPTURE(fwemu::Narrow(text));
        CHECK(PutParam(svc.Get(), items[0].Get(), text) == WBEM_S_NO_ERROR);
    }
    CHECK(PutParam(svc.Get(), items[0].Get(), L"4294967296") == WBEM_E_TYPE_MISMATCH);
    CHECK(PutParam(svc.Get(), items[0].Get(), L"1e3") == WBEM_E_TYPE_MISMATCH);

    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.setting == 0xFFFFFFFF);  // the rejected writes left the last accepted value
    CHECK(m.settingWrites == 3);

    std::vector<fwemu::WriteRecord> writes;
    uint64_t total = 0;
    REQUIRE(fx.Ctl().GetWrites(&writes, &total));
    REQUIRE(writes.size() == 5);
    CHECK(writes[0].text == L"4269801451");
    CHECK(writes[0].value == 4269801451u);
    CHECK(writes[3].text == L"4294967296");
    CHECK(writes[3].hr == WBEM_E_TYPE_MISMATCH);

    items = QueryData(svc.Get());
    REQUIRE(items.size() == 1);
    CHECK(GetI4(items[0].Get(), L"Param") == 0xFFFFFFFF);
}

TEST_CASE("OrvButtonData instance count and put-reject faults") {
    Fixture fx;
    auto svc = fx.Connect();
    REQUIRE(fx.Ctl().SetFault("data-instances", "0"));
    CHECK(QueryData(svc.Get()).empty());

    REQUIRE(fx.Ctl().SetFault("data-instances", "3"));
    auto items = QueryData(svc.Get());
    CHECK(items.size() == 3);

    REQUIRE(fx.Ctl().SetFault("put-reject", "on"));
    CHECK(FAILED(PutParam(svc.Get(), items[2].Get(), L"7")));
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.setting == 0);
    CHECK(m.settingWrites == 0);

    // An instance that no longer exists cannot be written.
    REQUIRE(fx.Ctl().SetFault("put-reject", "off"));
    REQUIRE(fx.Ctl().SetFault("data-instances", "1"));
    CHECK(PutParam(svc.Get(), items[2].Get(), L"7") == WBEM_E_NOT_FOUND);
    CHECK(PutParam(svc.Get(), items[0].Get(), L"7") == WBEM_S_NO_ERROR);
}

TEST_CASE("queries other than the two the emulator knows are refused") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IEnumWbemClassObject> e;
    win::Bstr wql(L"WQL"), sql(L"SQL"), other(L"SELECT * FROM Win32_Process"), junk(L"SELECT Param FROM OrvButtonData"),
        data(L"select  *  from  orvbuttondata");
    CHECK(svc->ExecQuery(wql.Get(), other.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_E_INVALID_CLASS);
    CHECK(svc->ExecQuery(wql.Get(), junk.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_E_INVALID_QUERY);
    CHECK(svc->ExecQuery(sql.Get(), data.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_E_INVALID_QUERY_TYPE);
    CHECK(!e);
    CHECK(svc->ExecQuery(wql.Get(), data.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
    CHECK(svc->ExecNotificationQuery(wql.Get(), data.Get(), 0, nullptr, e.ReleaseAndGetAddressOf()) ==
          WBEM_E_INVALID_CLASS);
    CHECK(svc->ExecQuery(wql.Get(), data.Get(), 0, nullptr, nullptr) == WBEM_E_INVALID_PARAMETER);
}

TEST_CASE("events: delivered in order, only those injected after subscribing, to every subscriber") {
    Fixture fx;
    auto svc = fx.Connect();
    REQUIRE(fx.Ctl().InjectEvent(0x99));  // before anyone listens
    auto a = Subscribe(svc.Get());
    auto b = Subscribe(svc.Get());
    for (DWORD code : {0x10u, 0x20u, 0xFFFFFFFFu}) REQUIRE(fx.Ctl().InjectEvent(code));
    for (IEnumWbemClassObject* e : {a.Get(), b.Get()}) {
        CHECK(NextCode(e, 1000) == 0x10);
        CHECK(NextCode(e, 1000) == 0x20);
        CHECK(NextCode(e, 1000) == 0xFFFFFFFF);
        CHECK(NextCode(e, 0) == -1);
    }
    ComPtr<IWbemClassObject> obj;
    ULONG got = 0;
    REQUIRE(fx.Ctl().InjectEvent(0x30));
    REQUIRE(a->Next(1000, 1, obj.GetAddressOf(), &got) == WBEM_S_NO_ERROR);
    win::Variant cls;
    REQUIRE(obj->Get(L"__CLASS", 0, cls.Get(), nullptr, nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(cls.Get()->vt == VT_BSTR);
    CHECK(std::wstring(cls.Get()->bstrVal) == L"OrvButtonEvent");
    CHECK(a->Next(1000, 1, nullptr, &got) == WBEM_E_INVALID_PARAMETER);
    CHECK(a->Next(-5, 1, obj.ReleaseAndGetAddressOf(), &got) == WBEM_E_INVALID_PARAMETER);
}

TEST_CASE("Next waits about its timeout when nothing arrives") {
    Fixture fx;
    auto svc = fx.Connect();
    auto e = Subscribe(svc.Get());
    ULONGLONG start = GetTickCount64();
    CHECK(NextCode(e.Get(), 500) == -1);
    ULONGLONG took = GetTickCount64() - start;
    CHECK(took >= 400);
    CHECK(took < testing::Patient(10000));  // a hang bound
}

namespace {
struct InjectLater {
    std::wstring path;
    DWORD code;
};
DWORD WINAPI InjectLaterThread(void* p) {
    auto* job = static_cast<InjectLater*>(p);
    Sleep(200);
    fwemu::Controller c;
    c.InjectEvent(job->code);
    return 0;
}
}  // namespace

TEST_CASE("an infinite Next wakes when another thread injects") {
    Fixture fx;
    auto svc = fx.Connect();
    auto e = Subscribe(svc.Get());
    InjectLater job{fwemu::StatePath(), 0x42};
    win::UniqueHandle t(CreateThread(nullptr, 0, InjectLaterThread, &job, 0, nullptr));
    REQUIRE(t);
    CHECK(NextCode(e.Get(), static_cast<LONG>(WBEM_INFINITE)) == 0x42);
    WaitForSingleObject(t.Get(), INFINITE);
}

TEST_CASE("a burst of 1000 events all arrive, in order") {
    Fixture fx;
    auto svc = fx.Connect();
    auto e = Subscribe(svc.Get());
    for (DWORD i = 0; i < 1000; ++i) REQUIRE(fx.Ctl().InjectEvent(i));
    int wrong = 0;
    for (DWORD i = 0; i < 1000; ++i)
        if (NextCode(e.Get(), 2000) != i) ++wrong;
    CHECK(wrong == 0);
    CHECK(NextCode(e.Get(), 0) == -1);

    // Several objects per Next, from one batched injection.
    REQUIRE(fx.Ctl().InjectEvent(7, 3));
    IWbemClassObject* objs[4] = {};
    ULONG got = 0;
    CHECK(e->Next(100, 4, objs, &got) == WBEM_S_TIMEDOUT);
    CHECK(got == 3);
    for (ULONG i = 0; i < got; ++i) {
        CHECK(GetI4(objs[i], L"Param") == 7);
        objs[i]->Release();
    }
}

TEST_CASE("null-param: events carry Param as VT_NULL with the sleep code left behind it") {
    Fixture fx;
    auto svc = fx.Connect();
    auto e = Subscribe(svc.Get());
    REQUIRE(fx.Ctl().SetFault("null-param", "on"));
    REQUIRE(fx.Ctl().InjectEvent(0x10));
    ComPtr<IWbemClassObject> obj;
    ULONG got = 0;
    REQUIRE(e->Next(5000, 1, obj.GetAddressOf(), &got) == WBEM_S_NO_ERROR);
    CHECK(emutest::GetNullHint(obj.Get(), L"Param") == 8);
    REQUIRE(fx.Ctl().SetFault("null-param", "off"));
    REQUIRE(fx.Ctl().InjectEvent(0x11));
    CHECK(NextCode(e.Get(), 5000) == 0x11);
}

TEST_CASE("null-object: the method class, the settings query and the subscription answer S_OK with null") {
    Fixture fx;
    auto svc = fx.Connect();
    REQUIRE(fx.Ctl().SetFault("null-object", "on"));
    ComPtr<IWbemClassObject> cls;
    win::Bstr clsPath(L"\\\\.\\Root\\Wmi:OrvButtonMethodDW");
    CHECK(svc->GetObject(clsPath.Get(), 0, nullptr, cls.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    CHECK(!cls);
    ComPtr<IEnumWbemClassObject> e;
    win::Bstr wql(L"WQL"), data(L"SELECT * FROM OrvButtonData"), events(L"SELECT * FROM OrvButtonEvent");
    CHECK(svc->ExecQuery(wql.Get(), data.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
    CHECK(!e);
    CHECK(svc->ExecNotificationQuery(wql.Get(), events.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
    CHECK(!e);
    REQUIRE(fx.Ctl().SetFault("null-object", "off"));
    CHECK(svc->ExecQuery(wql.Get(), data.Get(), 0, nullptr, e.GetAddressOf()) == WBEM_S_NO_ERROR);
    CHECK(e);
}

TEST_CASE("put-fail: Put on input and data instances fails and leaves the property as it was") {
    Fixture fx;
    auto svc = fx.Connect();
    auto items = QueryData(svc.Get());
    REQUIRE(items.size() == 1);
    ComPtr<IWbemClassObject> in;
    REQUIRE(emutest::SpawnInput(svc.Get(), &in) == WBEM_S_NO_ERROR);
    REQUIRE(fx.Ctl().SetFault("put-fail", "on"));
    win::Variant v;
    v.SetBstr(win::Bstr(L"38416"));
    CHECK(in->Put(L"InEAX", 0, v.Get(), CIM_UINT32) == WBEM_E_FAILED);
    CHECK(emutest::GetNullHint(in.Get(), L"InEAX") == 0);
    CHECK(PutParam(svc.Get(), items[0].Get(), L"7") == WBEM_E_FAILED);
    CHECK(GetI4(items[0].Get(), L"Param") == 0);
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.settingWrites == 0);

    REQUIRE(fx.Ctl().SetFault("put-fail", "off"));
    CHECK(in->Put(L"InEAX", 0, v.Get(), CIM_UINT32) == WBEM_S_NO_ERROR);
    CHECK(GetI4(in.Get(), L"InEAX") == 38416);
}

TEST_CASE("a hanging call answers only once its fault is off, or once its connection ends") {
    Fixture fx;
    for (const char* fault : {"data-hang", "method-hang", "put-hang"}) {
        for (bool disconnect : {false, true}) {
            CAPTURE(fault);
            CAPTURE(disconnect);
            REQUIRE(fx.Ctl().Reset());
            auto svc = fx.Connect();
            auto items = QueryData(svc.Get());
            REQUIRE(items.size() == 1);
            auto data = emutest::OpenDataQuery(svc.Get());
            ComPtr<IWbemClassObject> obj;
            ULONG got = 0;
            const std::string name = fault;
            std::function<HRESULT()> call = [&] { return data->Next(0, 1, obj.GetAddressOf(), &got); };
            if (name == "method-hang") call = [&] { return emutest::Call9610(svc.Get(), 0x5D, &obj); };
            if (name == "put-hang") call = [&] { return PutParam(svc.Get(), items[0].Get(), L"5"); };
            REQUIRE(fx.Ctl().SetFault(fault, "on"));
            fwemu::ConnectionStats before;
            REQUIRE(fx.Ctl().GetConnectionStats(&before));
            {
                Background hanging(call);
                CHECK(!hanging.DoneWithin(300));
                // Released whatever the check said, or the thread would never end.
                CHECK((disconnect ? fx.Ctl().Disconnect() : fx.Ctl().SetFault(fault, "off")));
                REQUIRE(hanging.DoneWithin(20000));
                CHECK(hanging.Result() == (disconnect ? RPC_E_DISCONNECTED : static_cast<HRESULT>(WBEM_S_NO_ERROR)));
            }
            fwemu::ConnectionStats after;
            REQUIRE(fx.Ctl().GetConnectionStats(&after));
            // An ExecMethod counts as started once it reaches the firmware, before it hangs.
            CHECK(after.callsStarted - before.callsStarted == (name == "method-hang" ? 1u : 0u));
            fwemu::ModelState m;
            REQUIRE(fx.Ctl().GetModel(&m));
            CHECK(m.settingWrites == (name == "put-hang" && !disconnect ? 1u : 0u));
        }
    }
}

TEST_CASE("disconnect: the connection's objects answer RPC_E_DISCONNECTED, a waiting Next at once; a new one works") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> in;
    REQUIRE(emutest::SpawnInput(svc.Get(), &in) == WBEM_S_NO_ERROR);
    auto data = emutest::OpenDataQuery(svc.Get());
    auto events = Subscribe(svc.Get());
    fwemu::ConnectionStats before;
    REQUIRE(fx.Ctl().GetConnectionStats(&before));
    ComPtr<IWbemClassObject> obj;
    ULONG got = 0;
    {
        Background waiting([&] { return events->Next(static_cast<LONG>(WBEM_INFINITE), 1, obj.GetAddressOf(), &got); });
        CHECK(!waiting.DoneWithin(200));
        REQUIRE(fx.Ctl().Disconnect());
        REQUIRE(waiting.DoneWithin(5000));
        CHECK(waiting.Result() == RPC_E_DISCONNECTED);
    }
    ComPtr<IWbemClassObject> out;
    CHECK(emutest::Call9610(svc.Get(), 0x5D, &out) == RPC_E_DISCONNECTED);
    CHECK(!out);
    win::Variant v;
    v.SetBstr(win::Bstr(L"1"));
    CHECK(in->Put(L"InEAX", 0, v.Get(), CIM_UINT32) == RPC_E_DISCONNECTED);
    CHECK(data->Next(0, 1, obj.GetAddressOf(), &got) == RPC_E_DISCONNECTED);
    HRESULT hr = S_OK;
    CHECK(!Subscribe(svc.Get(), &hr));
    CHECK(hr == RPC_E_DISCONNECTED);
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.radio);  // nothing reached the firmware

    auto again = fx.Connect();
    CHECK(emutest::Call9610(again.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
    fwemu::ConnectionStats after;
    REQUIRE(fx.Ctl().GetConnectionStats(&after));
    CHECK(after.generation == before.generation + 1);
    CHECK(after.connects == before.connects + 1);
    CHECK(after.subscriptions == before.subscriptions);
}

TEST_CASE("notify-fail N fails N subscriptions; -1 fails them all") {
    Fixture fx;
    auto svc = fx.Connect();
    HRESULT hr = S_OK;
    REQUIRE(fx.Ctl().SetFault("notify-fail", "2"));
    CHECK(!Subscribe(svc.Get(), &hr));
    CHECK(FAILED(hr));
    CHECK(!Subscribe(svc.Get(), &hr));
    CHECK(Subscribe(svc.Get(), &hr));
    CHECK(hr == WBEM_S_NO_ERROR);

    REQUIRE(fx.Ctl().SetFault("notify-fail", "-1"));
    for (int i = 0; i < 5; ++i) {
        CHECK(!Subscribe(svc.Get(), &hr));
        CHECK(FAILED(hr));
    }
}

TEST_CASE("event-fail fails polls at once and keeps their events; data-timeout answers only at the caller's time-out") {
    Fixture fx;
    auto svc = fx.Connect();
    auto events = Subscribe(svc.Get());
    REQUIRE(events);
    REQUIRE(fx.Ctl().SetFault("event-fail", "2"));
    REQUIRE(fx.Ctl().InjectEvent(0x10));
    fwemu::ConnectionStats before, after;
    REQUIRE(fx.Ctl().GetConnectionStats(&before));
    ComPtr<IWbemClassObject> obj;
    ULONG got = 0;
    for (int i = 0; i < 2; ++i) {
        CHECK(events->Next(0, 1, obj.ReleaseAndGetAddressOf(), &got) == WBEM_E_FAILED);
        CHECK(got == 0);
    }
    REQUIRE(events->Next(0, 1, obj.ReleaseAndGetAddressOf(), &got) == WBEM_S_NO_ERROR);
    CHECK(GetI4(obj.Get(), L"Param") == 0x10);
    REQUIRE(fx.Ctl().GetConnectionStats(&after));
    CHECK(after.pollsStarted == before.pollsStarted + 3);  // failed polls count too

    REQUIRE(fx.Ctl().SetFault("data-timeout", "on"));
    auto data = emutest::OpenDataQuery(svc.Get());
    const DWORD start = GetTickCount();
    CHECK(data->Next(200, 1, obj.ReleaseAndGetAddressOf(), &got) == WBEM_S_TIMEDOUT);
    CHECK(got == 0);
    CHECK(GetTickCount() - start >= 200);  // it waited the time-out out: it never answers sooner
    // The method block's instances answer as usual under either fault of the data block.
    for (const char* fault : {"data-timeout", "data-hang"}) {
        CAPTURE(fault);
        REQUIRE(fx.Ctl().SetFault(fault, "on"));
        win::Bstr wql(L"WQL"), query(L"SELECT * FROM OrvButtonMethodDW");
        ComPtr<IEnumWbemClassObject> methods;
        REQUIRE(svc->ExecQuery(wql.Get(), query.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                               methods.GetAddressOf()) == WBEM_S_NO_ERROR);
        CHECK(methods->Next(0, 1, obj.ReleaseAndGetAddressOf(), &got) == WBEM_S_NO_ERROR);
        CHECK(got == 1);
    }
}

TEST_CASE("subscriptions left by killed processes do not use up the table, even when pids repeat") {
    emutest::Fixture f;
    auto svc = f.Connect();
    {
        // Every slot taken by a process that had our pid but started at another time: what a
        // killed Wine session leaves behind for the next one, whose processes reuse the pids.
        std::string error;
        auto store = fwemu::Store::Open(fwemu::StatePath(), false, &error);
        REQUIRE(static_cast<bool>(store));
        fwemu::Store::Guard g(*store);
        REQUIRE(g.Block());
        for (auto& slot : g.Block()->subscribers) {
            slot.pid = static_cast<LONG>(GetCurrentProcessId());
            slot.id = 1;
            slot.startLow = 1;
            slot.startHigh = 0;
        }
    }
    HRESULT hr = E_FAIL;
    auto events = Subscribe(svc.Get(), &hr);
    CHECK(hr == WBEM_S_NO_ERROR);
    REQUIRE(f.Ctl().InjectEvent(0x77));
    ComPtr<IWbemClassObject> event;
    ULONG returned = 0;
    REQUIRE(events);
    CHECK(events->Next(5000, 1, event.GetAddressOf(), &returned) == WBEM_S_NO_ERROR);
    CHECK(returned == 1);
}
