#include "emulator/enumerators.h"

#include "common/win_raii.h"

using Microsoft::WRL::ComPtr;

namespace fwemu {
namespace {

// How often a hanging settings read looks whether it may answer.
constexpr DWORD kHangPollMs = 50;

bool BadTimeout(LONG timeout) { return timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE); }

class DataEnum : public BlanketObject<IEnumWbemClassObject> {
public:
    DataEnum(std::shared_ptr<Store> store, LONG generation, bool dataBlock, std::vector<ComPtr<EmuObject>> items)
        : m_store(std::move(store)), m_generation(generation), m_dataBlock(dataBlock), m_items(std::move(items)) {}

    HRESULT STDMETHODCALLTYPE Reset() override {
        if (Ended(*m_store, m_generation)) return ConnectionEnded();
        win::Lock lock(m_cs);
        m_pos = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objs, ULONG* returned) override {
        if (!objs || !returned) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (BadTimeout(timeout)) return WBEM_E_INVALID_PARAMETER;
        // A firmware that never answers the settings read: the caller's timeout does not help.
        // Only the end of the connection ends the wait, as a dead server fails a pending call.
        // One that answers only at the caller's time-out, and then with nothing.
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout);
        for (;;) {
            if (Ended(*m_store, m_generation)) return ConnectionEnded(objs);
            const Slow slow = Slowness();
            if (slow == Slow::No) break;
            if (slow == Slow::TimesOut && timeout != static_cast<LONG>(WBEM_INFINITE) && GetTickCount64() >= deadline)
                return WBEM_S_TIMEDOUT;
            Sleep(kHangPollMs);
        }
        win::Lock lock(m_cs);
        while (*returned < count && m_pos < m_items.size()) {
            ComPtr<EmuObject> item = m_items[m_pos++];
            objs[(*returned)++] = item.Detach();
        }
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG count) override {
        if (Ended(*m_store, m_generation)) return ConnectionEnded();
        win::Lock lock(m_cs);
        size_t left = m_items.size() - m_pos;
        m_pos += count < left ? count : left;
        return count <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }
    // Not offered.
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** e) override { return NotSupported(e); }

private:
    enum class Slow { No, Hangs, TimesOut };
    Slow Slowness() {
        if (!m_dataBlock) return Slow::No;
        Store::Guard g(*m_store);
        if (!g.Block()) return Slow::No;
        if (g.Block()->faults.dataHang) return Slow::Hangs;
        return g.Block()->faults.dataTimeout ? Slow::TimesOut : Slow::No;
    }
    std::shared_ptr<Store> m_store;
    LONG m_generation;
    bool m_dataBlock;
    std::vector<ComPtr<EmuObject>> m_items;
    size_t m_pos = 0;
    win::CriticalSection m_cs;
};

class EventEnum : public BlanketObject<IEnumWbemClassObject> {
public:
    EventEnum(std::shared_ptr<Store> store, LONG generation) : m_store(std::move(store)), m_generation(generation) {}

    // Takes a subscriber slot and makes its wake-up event; call once, before handing this out.
    HRESULT Register() {
        DWORD pid = GetCurrentProcessId();
        Store::Guard g(*m_store);
        Block* b = g.Block();
        if (!b) return WBEM_E_INITIALIZATION_FAILURE;
        DWORD id = static_cast<DWORD>(++b->nextSubscriberId);
        int slot = -1;
        for (int i = 0; i < kSubscriberSlots && slot < 0; ++i) {
            LONG owner = b->subscribers[i].pid;
            if (owner == 0) slot = i;
        }
        for (int i = 0; i < kSubscriberSlots && slot < 0; ++i) {
            // Reclaim slots of processes that ended without unsubscribing.
            const SubscriberSlot& owner = b->subscribers[i];
            if (!ProcessAlive(static_cast<DWORD>(owner.pid), owner.startLow, owner.startHigh)) slot = i;
        }
        if (slot < 0) return WBEM_E_QUOTA_VIOLATION;
        ProcessStart(GetCurrentProcess(), &b->subscribers[slot].startLow, &b->subscribers[slot].startHigh);
        m_event = m_store->CreateSubscriberEvent(pid, id);
        if (!m_event) return WBEM_E_OUT_OF_MEMORY;
        b->subscribers[slot].id = id;
        b->subscribers[slot].pid = static_cast<LONG>(pid);
        m_slot = slot;
        m_id = id;
        m_next = b->eventTotal;
        ++b->subscribeTotal;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objs, ULONG* returned) override {
        if (!objs || !returned) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (BadTimeout(timeout)) return WBEM_E_INVALID_PARAMETER;
        const bool infinite = timeout == static_cast<LONG>(WBEM_INFINITE);
        const ULONGLONG deadline = GetTickCount64() + (infinite ? 0 : static_cast<ULONGLONG>(timeout));
        {
            Store::Guard g(*m_store);
            if (Block* b = g.Block()) ++b->pollsStarted;
        }
        // A provider that hangs in the poll: the time-out does not help. Once the hang ends, a
        // poll whose time-out has passed answers it, taking no event.
        bool hung = false;
        for (;;) {
            if (Ended(*m_store, m_generation)) return ConnectionEnded(objs);
            {
                Store::Guard g(*m_store);
                Block* b = g.Block();
                if (!b) return WBEM_E_INITIALIZATION_FAILURE;
                // A poll that fails at once, taking no event.
                if (FailsNext(b->faults.eventFail)) return FailCode(b->faults, WBEM_E_FAILED);
                if (!b->faults.eventHang) break;
                // Counted once it holds the poll, so that a test knows a hung poll is under way.
                if (!hung) ++b->pollsHung;
            }
            hung = true;
            Sleep(kHangPollMs);
        }
        if (hung && !infinite && GetTickCount64() >= deadline) return WBEM_S_TIMEDOUT;
        win::Lock lock(m_cs);
        while (*returned < count) {
            // A disconnect wakes the wait below, so a waiting Next answers at once.
            if (Ended(*m_store, m_generation)) return *returned ? static_cast<HRESULT>(WBEM_S_FALSE) : ConnectionEnded();
            std::vector<DWORD> codes;
            bool nullParam = false;
            {
                Store::Guard g(*m_store);
                Block* b = g.Block();
                if (!b) return *returned ? WBEM_S_FALSE : WBEM_E_INITIALIZATION_FAILURE;
                // A forced reset rewinds the total; follow it rather than wait for a past position.
                if (m_next > b->eventTotal) m_next = b->eventTotal;
                // A subscriber more than a queue behind has lost the oldest; resume at the oldest kept.
                if (b->eventTotal - m_next > kEventQueueSize) m_next = b->eventTotal - kEventQueueSize;
                nullParam = b->faults.nullParam != 0;
                while (*returned + codes.size() < count && m_next < b->eventTotal)
                    codes.push_back(b->events[m_next++ % kEventQueueSize]);
                b->eventsDelivered += codes.size();
            }
            for (DWORD code : codes) objs[(*returned)++] = MakeEvent(m_store, m_generation, code, nullParam).Detach();
            if (*returned == count) break;
            DWORD wait = INFINITE;
            if (!infinite) {
                ULONGLONG now = GetTickCount64();
                if (now >= deadline) return WBEM_S_TIMEDOUT;
                wait = static_cast<DWORD>(deadline - now);
            }
            // Injection sets this event after appending, so a check followed by a wait loses nothing.
            WaitForSingleObject(m_event.Get(), wait);
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_INVALID_OPERATION; }
    // Not offered.
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return NotSupported(); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** e) override { return NotSupported(e); }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return NotSupported(); }

private:
    ~EventEnum() override {
        if (m_slot >= 0) {
            Store::Guard g(*m_store);
            if (Block* b = g.Block()) {
                SubscriberSlot& s = b->subscribers[m_slot];
                if (s.pid == static_cast<LONG>(GetCurrentProcessId()) && s.id == m_id) s.pid = 0;
            }
        }
    }

    std::shared_ptr<Store> m_store;
    LONG m_generation;
    win::CriticalSection m_cs;
    win::UniqueHandle m_event;
    int m_slot = -1;
    DWORD m_id = 0;
    uint64_t m_next = 0;
};

}  // namespace

HRESULT CreateDataEnum(std::shared_ptr<Store> store, LONG generation, bool dataBlock,
                       std::vector<ComPtr<EmuObject>> items, IEnumWbemClassObject** out) {
    *out = new DataEnum(std::move(store), generation, dataBlock, std::move(items));
    return WBEM_S_NO_ERROR;
}

HRESULT SubscribeEvents(const std::shared_ptr<Store>& store, LONG generation, IEnumWbemClassObject** out) {
    ComPtr<EventEnum> e = Adopt(new EventEnum(store, generation));
    HRESULT hr = e->Register();
    if (FAILED(hr)) return hr;
    *out = e.Detach();
    return WBEM_S_NO_ERROR;
}

}  // namespace fwemu
