#include "emu_test.h"

#include <vector>

using emutest::Call9610;
using emutest::ExecInt;
using emutest::Fixture;
using emutest::GetI4;

namespace {

HRESULT ConnectTo(IWbemLocator* locator, const wchar_t* ns, ComPtr<IWbemServices>* svc) {
    win::Bstr text(ns);
    return locator->ConnectServer(text.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  svc->ReleaseAndGetAddressOf());
}

std::vector<fwemu::CallRecord> Calls(fwemu::Controller& c) {
    std::vector<fwemu::CallRecord> calls;
    uint64_t total = 0;
    REQUIRE(c.GetCalls(&calls, &total));
    CHECK(total == calls.size());
    return calls;
}

}  // namespace

TEST_CASE("ConnectServer accepts only ROOT\\WMI, in any case and with or without the machine prefix") {
    Fixture fx;
    ComPtr<IWbemLocator> locator;
    REQUIRE(fwemu::CreateLocator(locator.GetAddressOf()) == S_OK);
    ComPtr<IWbemServices> svc;
    for (const wchar_t* ns : {L"\\\\.\\ROOT\\WMI", L"\\\\.\\root\\wmi", L"ROOT\\WMI", L"Root\\Wmi"}) {
        CAPTURE(fwemu::Narrow(ns));
        CHECK(ConnectTo(locator.Get(), ns, &svc) == WBEM_S_NO_ERROR);
        CHECK(svc);
    }
    for (const wchar_t* ns : {L"\\\\.\\ROOT\\CIMV2", L"ROOT", L"", L"ROOT\\WMI\\x", L"\\\\.\\ROOT\\WMIX"}) {
        CAPTURE(fwemu::Narrow(ns));
        CHECK(ConnectTo(locator.Get(), ns, &svc) == WBEM_E_INVALID_NAMESPACE);
        CHECK(!svc);
    }
    CHECK(locator->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr) ==
          WBEM_E_INVALID_PARAMETER);
}

TEST_CASE("connect-fail N fails exactly N connects, then succeeds") {
    Fixture fx;
    REQUIRE(fx.Ctl().SetFault("connect-fail", "2"));
    ComPtr<IWbemLocator> locator;
    REQUIRE(fwemu::CreateLocator(locator.GetAddressOf()) == S_OK);
    ComPtr<IWbemServices> svc;
    CHECK(FAILED(ConnectTo(locator.Get(), L"ROOT\\WMI", &svc)));
    CHECK(FAILED(ConnectTo(locator.Get(), L"ROOT\\WMI", &svc)));
    CHECK(ConnectTo(locator.Get(), L"ROOT\\WMI", &svc) == WBEM_S_NO_ERROR);
    fwemu::Faults f;
    REQUIRE(fx.Ctl().GetFaults(&f));
    CHECK(f.connectFail == 0);
}

TEST_CASE("wmi-down MS ends the connection and fails ConnectServer with RPC_S_SERVER_UNAVAILABLE for that long") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemLocator> locator;
    REQUIRE(fwemu::CreateLocator(locator.GetAddressOf()) == S_OK);
    REQUIRE(fx.Ctl().SetFault("wmi-down", "600"));
    ComPtr<IWbemClassObject> out;
    CHECK(Call9610(svc.Get(), 0x5D, &out) == RPC_E_DISCONNECTED);
    ComPtr<IWbemServices> again;
    CHECK(ConnectTo(locator.Get(), L"ROOT\\WMI", &again) == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    fwemu::Faults f;
    REQUIRE(fx.Ctl().GetFaults(&f));
    CHECK((f.wmiDownMs > 0 && f.wmiDownMs <= 600));
    // Back once the time is up: connect attempts are what a client makes, so make them.
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 200 && hr != WBEM_S_NO_ERROR; ++attempt) {
        hr = ConnectTo(locator.Get(), L"ROOT\\WMI", &again);
        if (hr != WBEM_S_NO_ERROR) Sleep(20);
    }
    CHECK(hr == WBEM_S_NO_ERROR);
    CHECK(Call9610(again.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
    REQUIRE(fx.Ctl().GetFaults(&f));
    CHECK(f.wmiDownMs == 0);
}

TEST_CASE("the service's start-up and toggle calls follow the model and are logged with their exact texts") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> out;

    REQUIRE(Call9610(svc.Get(), 0x012E, &out) == WBEM_S_NO_ERROR);
    REQUIRE(out);
    CHECK(GetI4(out.Get(), L"OutEAX") == 0);
    CHECK(GetI4(out.Get(), L"OutEBX") == 0x012E);
    CHECK(GetI4(out.Get(), L"OutECX") == 0);
    CHECK(GetI4(out.Get(), L"OutEDX") == 0);
    CHECK(GetI4(out.Get(), L"CFlag") == 0);

    // Radio starts on; each 0x5D toggles and reports the new state.
    REQUIRE(Call9610(svc.Get(), 0x005D, &out) == WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEAX") == 0);
    REQUIRE(Call9610(svc.Get(), 0x005D, &out) == WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEAX") == 1);

    REQUIRE(Call9610(svc.Get(), 0x0234, &out) == WBEM_S_NO_ERROR);
    CHECK((GetI4(out.Get(), L"OutEAX") & 0xFF) == 2);
    REQUIRE(Call9610(svc.Get(), 0x0134, &out) == WBEM_S_NO_ERROR);
    CHECK((GetI4(out.Get(), L"OutEAX") & 0xFF) == 3);
    REQUIRE(Call9610(svc.Get(), 0x0234, &out) == WBEM_S_NO_ERROR);
    CHECK((GetI4(out.Get(), L"OutEAX") & 0xFF) == 3);
    REQUIRE(Call9610(svc.Get(), 0x0034, &out) == WBEM_S_NO_ERROR);
    CHECK((GetI4(out.Get(), L"OutEAX") & 0xFF) == 2);

    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.option == 1);
    CHECK(m.radio);
    CHECK(!m.deviceB);

    auto calls = Calls(fx.Ctl());
    REQUIRE(calls.size() == 7);
    CHECK(calls[0].in[0] == L"38416");
    CHECK(calls[0].in[1] == L"302");
    CHECK(calls[0].in[2] == L"0");
    CHECK(calls[0].in[3] == L"0");
    CHECK(calls[1].in[1] == L"93");
    CHECK(calls[3].in[1] == L"564");
    CHECK(calls[4].in[1] == L"308");
    CHECK(calls[6].in[1] == L"52");
    CHECK(calls[6].out[0] == 2);
    CHECK(calls[6].seq == 7);
    CHECK(calls[6].hasOutput);
    CHECK(calls[6].pid == GetCurrentProcessId());
}

TEST_CASE("calls outside the model set CFlag and change nothing") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> out;
    SUBCASE("unknown sub-function") { REQUIRE(Call9610(svc.Get(), 0x0077, &out) == WBEM_S_NO_ERROR); }
    SUBCASE("device B with a bad argument") { REQUIRE(Call9610(svc.Get(), 0x0334, &out) == WBEM_S_NO_ERROR); }
    SUBCASE("other function") { REQUIRE(ExecInt(svc.Get(), L"38417", L"93", L"0", L"0", &out) == WBEM_S_NO_ERROR); }
    SUBCASE("nonzero ECX") { REQUIRE(ExecInt(svc.Get(), L"38416", L"93", L"1", L"0", &out) == WBEM_S_NO_ERROR); }
    CHECK(GetI4(out.Get(), L"CFlag") == 1);
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.radio);
    CHECK(!m.deviceB);
}

TEST_CASE("register texts are parsed strictly and every attempt is logged") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> out;
    // Signed text as the service's "%d" gives it, and the 32-bit limits, are accepted.
    CHECK(ExecInt(svc.Get(), L"38416", L"-1", L"0", L"0", &out) == WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEBX") == 0xFFFFFFFF);
    CHECK(ExecInt(svc.Get(), L"38416", L"4294967295", L"0", L"0", &out) == WBEM_S_NO_ERROR);
    CHECK(ExecInt(svc.Get(), L"38416", L"-2147483648", L"0", L"0", &out) == WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEBX") == 0x80000000);

    for (const wchar_t* bad : {L"12a", L"", L"4294967296", L"99999999999999999999999", L"-2147483649", L" 93", L"93 ",
                               L"+93", L"0x5D", L"-", L"--1"}) {
        CAPTURE(fwemu::Narrow(bad));
        HRESULT hr = ExecInt(svc.Get(), L"38416", bad, L"0", L"0", &out);
        CHECK((static_cast<DWORD>(hr) == WBEM_E_TYPE_MISMATCH || static_cast<DWORD>(hr) == WBEM_E_INVALID_PARAMETER));
        CHECK(!out);
    }
    // A register never Put is a missing parameter.
    CHECK(ExecInt(svc.Get(), L"38416", L"93", nullptr, L"0", &out) == WBEM_E_INVALID_PARAMETER);

    auto calls = Calls(fx.Ctl());
    REQUIRE(calls.size() == 15);
    CHECK(calls[3].in[1] == L"12a");
    CHECK(calls[3].hr == WBEM_E_TYPE_MISMATCH);
    CHECK(calls[6].in[1] == L"99999999999999999999999");  // recorded as received
    CHECK(!calls[14].inSet[2]);
    CHECK(calls[14].inSet[3]);
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.radio);  // none of the rejected 0x5D-looking calls ran
}

TEST_CASE("integer-typed register values are accepted and recorded as decimal") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> cls, sig, in, out;
    win::Bstr clsPath(L"OrvButtonMethodDW");
    REQUIRE(svc->GetObject(clsPath.Get(), 0, nullptr, cls.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(cls->GetMethod(L"ExecINT", 0, sig.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(sig->SpawnInstance(0, in.GetAddressOf()) == WBEM_S_NO_ERROR);
    VARIANT v;
    v.vt = VT_UI4;
    v.ulVal = 0x9610;
    REQUIRE(in->Put(L"InEAX", 0, &v, CIM_UINT32) == WBEM_S_NO_ERROR);
    v.vt = VT_I4;
    v.lVal = 0x5D;
    REQUIRE(in->Put(L"InEBX", 0, &v, 0) == WBEM_S_NO_ERROR);
    v.lVal = 0;
    REQUIRE(in->Put(L"InECX", 0, &v, 0) == WBEM_S_NO_ERROR);
    REQUIRE(in->Put(L"InEDX", 0, &v, 0) == WBEM_S_NO_ERROR);
    v.vt = VT_R8;
    v.dblVal = 1.5;
    CHECK(in->Put(L"InEDX", 0, &v, 0) == WBEM_E_TYPE_MISMATCH);
    CHECK(in->Put(L"NoSuchReg", 0, &v, 0) == WBEM_E_NOT_FOUND);
    // Lower-case class and key, as WMI compares them case-insensitively.
    win::Bstr path(L"orvbuttonmethoddw.instancename=\"acpi\\\\PNP0C14\\\\0_0\""), method(L"execint");
    REQUIRE(svc->ExecMethod(path.Get(), method.Get(), 0, nullptr, in.Get(), out.GetAddressOf(), nullptr) ==
            WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEAX") == 0);
    auto calls = Calls(fx.Ctl());
    REQUIRE(calls.size() == 1);
    CHECK(calls[0].in[0] == L"38416");
    CHECK(calls[0].in[1] == L"93");
}

TEST_CASE("ExecMethod checks the object path, instance and method") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> cls, sig, in, out;
    win::Bstr clsPath(L"\\\\.\\Root\\Wmi:OrvButtonMethodDW");
    REQUIRE(svc->GetObject(clsPath.Get(), 0, nullptr, cls.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(cls->GetMethod(L"ExecINT", 0, sig.GetAddressOf(), nullptr) == WBEM_S_NO_ERROR);
    REQUIRE(sig->SpawnInstance(0, in.GetAddressOf()) == WBEM_S_NO_ERROR);
    struct Case {
        const wchar_t* path;
        const wchar_t* method;
        DWORD want;
    } cases[] = {
        {L"\\\\.\\Root\\Wmi:OrvButtonMethodDW.InstanceName=\"ACPI\\pnp0c14\\0_0\"", L"ExecINT",
         WBEM_E_INVALID_OBJECT_PATH},  // single backslashes are not a valid escape
        {L"\\\\.\\Root\\Wmi:OrvButtonMethodDW.InstanceName=\"ACPI\\\\pnp0c14\\\\0_1\"", L"ExecINT", WBEM_E_NOT_FOUND},
        {L"\\\\.\\Root\\Wmi:OrvButtonMethodDW.InstanceName=\"ACPI\\\\pnp0c14\\\\0_0", L"ExecINT",
         WBEM_E_INVALID_OBJECT_PATH},
        {L"\\\\.\\Root\\Wmi:OrvButtonMethodDW", L"ExecINT", WBEM_E_INVALID_OBJECT_PATH},
        {L"\\\\.\\Root\\CIMV2:OrvButtonMethodDW.InstanceName=\"ACPI\\\\pnp0c14\\\\0_0\"", L"ExecINT",
         WBEM_E_INVALID_NAMESPACE},
        {L"\\\\.\\Root\\Wmi:OrvButtonData.InstanceName=\"ACPI\\\\pnp0c14\\\\0_0\"", L"ExecINT", WBEM_E_INVALID_CLASS},
        {emutest::kMethodPath, L"ExecINT2", WBEM_E_INVALID_METHOD},
    };
    for (const Case& c : cases) {
        CAPTURE(fwemu::Narrow(c.path));
        win::Bstr path(c.path), method(c.method);
        HRESULT hr = svc->ExecMethod(path.Get(), method.Get(), 0, nullptr, in.Get(), out.ReleaseAndGetAddressOf(), nullptr);
        CHECK(static_cast<DWORD>(hr) == c.want);
        CHECK(!out);
    }
    win::Bstr other(L"\\\\.\\Root\\Wmi:OrvButtonEvent");
    CHECK(svc->GetObject(other.Get(), 0, nullptr, cls.ReleaseAndGetAddressOf(), nullptr) == WBEM_E_NOT_FOUND);
    CHECK(svc->GetObject(clsPath.Get(), 0, nullptr, nullptr, nullptr) == WBEM_E_INVALID_PARAMETER);
}

TEST_CASE("ExecMethod faults") {
    Fixture fx;
    auto svc = fx.Connect();
    ComPtr<IWbemClassObject> out;

    SUBCASE("method class missing") {
        REQUIRE(fx.Ctl().SetFault("method-class-missing", "on"));
        ComPtr<IWbemClassObject> cls;
        win::Bstr clsPath(L"\\\\.\\Root\\Wmi:OrvButtonMethodDW");
        CHECK(svc->GetObject(clsPath.Get(), 0, nullptr, cls.GetAddressOf(), nullptr) == WBEM_E_NOT_FOUND);
        CHECK(!cls);
    }
    SUBCASE("method missing") {
        REQUIRE(fx.Ctl().SetFault("method-missing", "on"));
        CHECK(Call9610(svc.Get(), 0x5D, &out) == WBEM_E_NOT_FOUND);
    }
    SUBCASE("spawn fails") {
        REQUIRE(fx.Ctl().SetFault("spawn-fail", "on"));
        CHECK(FAILED(Call9610(svc.Get(), 0x5D, &out)));
    }
    SUBCASE("exec fails, is logged, and changes nothing") {
        REQUIRE(fx.Ctl().SetFault("exec-fail", "on"));
        CHECK(Call9610(svc.Get(), 0x5D, &out) == WBEM_E_FAILED);
        auto calls = Calls(fx.Ctl());
        REQUIRE(calls.size() == 1);
        CHECK(calls[0].hr == WBEM_E_FAILED);
        CHECK(calls[0].in[1] == L"93");
        fwemu::ModelState m;
        REQUIRE(fx.Ctl().GetModel(&m));
        CHECK(m.radio);
    }
    SUBCASE("no output object, but the firmware still ran") {
        REQUIRE(fx.Ctl().SetFault("no-output", "on"));
        CHECK(Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
        CHECK(!out);
        fwemu::ModelState m;
        REQUIRE(fx.Ctl().GetModel(&m));
        CHECK(!m.radio);
    }
    SUBCASE("null outputs that still look like a success, and the firmware ran") {
        REQUIRE(fx.Ctl().SetFault("null-output", "on"));
        REQUIRE(Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
        REQUIRE(out);
        CHECK(emutest::GetNullHint(out.Get(), L"OutEAX") == 1);
        CHECK(emutest::GetNullHint(out.Get(), L"OutEBX") == 0x5D);
        CHECK(emutest::GetNullHint(out.Get(), L"OutECX") == 0);
        CHECK(emutest::GetNullHint(out.Get(), L"OutEDX") == 0);
        CHECK(emutest::GetNullHint(out.Get(), L"CFlag") == 0);
        fwemu::ModelState m;
        REQUIRE(fx.Ctl().GetModel(&m));
        CHECK(!m.radio);
    }
    SUBCASE("forced CFlag") {
        REQUIRE(fx.Ctl().SetFault("cflag", "5"));
        REQUIRE(Call9610(svc.Get(), 0x5D, &out) == WBEM_S_NO_ERROR);
        CHECK(GetI4(out.Get(), L"CFlag") == 5);
    }
    SUBCASE("forced OutEAX") {
        REQUIRE(fx.Ctl().SetFault("out-eax", "0x103"));
        REQUIRE(Call9610(svc.Get(), 0x0234, &out) == WBEM_S_NO_ERROR);
        CHECK(GetI4(out.Get(), L"OutEAX") == 0x103);
        REQUIRE(fx.Ctl().SetFault("out-eax", "off"));
        REQUIRE(Call9610(svc.Get(), 0x0234, &out) == WBEM_S_NO_ERROR);
        CHECK(GetI4(out.Get(), L"OutEAX") == 2);
    }
}

TEST_CASE("controller rejects unknown faults and bad values without changing anything") {
    Fixture fx;
    CHECK(!fx.Ctl().SetFault("no-such-fault", "on"));
    CHECK(!fx.Ctl().SetFault("exec-fail", "yes"));
    CHECK(!fx.Ctl().SetFault("data-instances", "9"));
    CHECK(!fx.Ctl().SetFault("notify-fail", "-2"));
    CHECK(!fx.Ctl().SetFault("call-delay-ms", "60001"));
    CHECK(!fx.Ctl().SetFault("call-delay-ms", "on"));
    CHECK(!fx.Ctl().SetFault("null-param", "1"));
    CHECK(!fx.Ctl().SetFault("method-hang", "yes"));
    CHECK(!fx.Ctl().SetFault("disconnect", "off"));
    CHECK(!fx.Ctl().SetFault("wmi-down", "600001"));
    CHECK(!fx.Ctl().Error().empty());
    fwemu::Faults f;
    REQUIRE(fx.Ctl().GetFaults(&f));
    CHECK(!f.execFail);
    CHECK(f.dataInstances == 1);
    CHECK(f.notifyFail == 0);
    CHECK(f.callDelayMs == 0);
    CHECK(!f.nullParam);
    CHECK(!f.methodHang);
    CHECK(f.wmiDownMs == 0);
}

TEST_CASE("call-delay-ms: calls answer late, and the state stays free for others while they sleep") {
    Fixture fx;
    auto svc = fx.Connect();
    auto items = emutest::QueryData(svc.Get());
    REQUIRE(items.size() == 1);
    REQUIRE(fx.Ctl().SetFault("call-delay-ms", "1500"));
    ComPtr<IWbemClassObject> out;
    emutest::Background call([&] { return Call9610(svc.Get(), 0x5D, &out); });
    CHECK(!call.DoneWithin(300));
    // The call is asleep now: the controller still reads and injects, and sees the model untouched.
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.radio);
    CHECK(fx.Ctl().InjectEvent(1));
    CHECK(!call.DoneWithin(0));
    REQUIRE(call.DoneWithin(20000));
    CHECK(call.Result() == WBEM_S_NO_ERROR);
    CHECK(GetI4(out.Get(), L"OutEAX") == 0);
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(!m.radio);

    emutest::Background put([&] { return emutest::PutParam(svc.Get(), items[0].Get(), L"5"); });
    CHECK(!put.DoneWithin(300));
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.settingWrites == 0);
    REQUIRE(put.DoneWithin(20000));
    CHECK(put.Result() == WBEM_S_NO_ERROR);
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.setting == 5);
}

namespace {
DWORD WINAPI ToggleThread(void* p) {
    auto* svc = static_cast<IWbemServices*>(p);
    for (int i = 0; i < 50; ++i) {
        ComPtr<IWbemClassObject> out;
        if (Call9610(svc, 0x5D, &out) != WBEM_S_NO_ERROR || !out) return 1;
    }
    return 0;
}
}  // namespace

TEST_CASE("one services object used from several threads loses no call") {
    Fixture fx;
    auto svc = fx.Connect();
    win::UniqueHandle threads[4];
    for (auto& t : threads) {
        t.Reset(CreateThread(nullptr, 0, ToggleThread, svc.Get(), 0, nullptr));
        REQUIRE(t);
    }
    for (auto& t : threads) {
        WaitForSingleObject(t.Get(), INFINITE);
        DWORD code = 1;
        GetExitCodeThread(t.Get(), &code);
        CHECK(code == 0);
    }
    std::vector<fwemu::CallRecord> calls;
    uint64_t total = 0;
    REQUIRE(fx.Ctl().GetCalls(&calls, &total));
    CHECK(total == 200);
    fwemu::ModelState m;
    REQUIRE(fx.Ctl().GetModel(&m));
    CHECK(m.radio);  // an even number of toggles
}
