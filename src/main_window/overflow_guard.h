#pragma once

// Qt lets no exception pass through its event and signal dispatch. Every way in from Qt to code
// that counts with overflow checks (key handlers, slots, closing) runs through guarded(): an
// overflow there shows the runtime's box "实时错误 '6': 溢出" and ends the program with status 6,
// as the runtime would, and the exception goes no further.

#include <utility>

#include "support/checked_int.h"

namespace velune {

// Shows the box, then ends the event loop with status 6. Tests put a recorder in its place.
using OverflowReport = void (*)();
void reportOverflow();
void setOverflowReport(OverflowReport report);

// Runs `action`; false when it overflowed (and the overflow has been reported).
template <typename Action>
bool guarded(Action&& action) {
    try {
        std::forward<Action>(action)();
        return true;
    } catch (const OverflowError&) {
        reportOverflow();
        return false;
    }
}

// A slot for connect(): the member function, run guarded.
template <typename Object, typename... Args>
auto guardedSlot(Object* object, void (Object::*slot)(Args...)) {
    return [object, slot](Args... args) { guarded([&] { (object->*slot)(args...); }); };
}

}  // namespace velune
