#include "core/activity.h"

void ActivityBoard::Join(const char* name) {
    const LONG me = static_cast<LONG>(GetCurrentThreadId());
    for (Slot& slot : m_slots) {
        if (InterlockedCompareExchange(&slot.threadId, me, 0) != 0) continue;
        slot.call = nullptr;
        slot.name = name;
        return;
    }
}

void ActivityBoard::Leave() {
    if (Slot* slot = Own()) {
        slot->name = nullptr;
        slot->call = nullptr;
        InterlockedExchange(&slot->threadId, 0);
    }
}

ActivityBoard::Slot* ActivityBoard::Own() {
    const LONG me = static_cast<LONG>(GetCurrentThreadId());
    for (Slot& slot : m_slots)
        if (slot.threadId == me) return &slot;
    return nullptr;
}

const char* ActivityBoard::Enter(const char* call) {
    Slot* slot = Own();
    if (!slot) return nullptr;
    const char* previous = slot->call;
    slot->call = call;
    return previous;
}

void ActivityBoard::Describe(char* text, int size) const {
    int used = 0;
    text[0] = '\0';
    for (const Slot& slot : m_slots) {
        const char* name = slot.name;
        const char* call = slot.call;
        if (!name || !call || used + 32 >= size) continue;
        // wsprintfA writes at most 1024 characters: keep every piece well inside `size`.
        char piece[256];
        wsprintfA(piece, "%s%.80s is in %.120s", used ? "; " : "", name, call);
        lstrcpynA(text + used, piece, size - used);
        used = lstrlenA(text);
    }
}
