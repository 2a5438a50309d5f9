// A callable borrowed for the length of one call. A function that takes one is compiled once,
// not once for each lambda handed to it: the bounded WMI calls share one body this way.
#pragma once

#include <type_traits>
#include <utility>

template <typename Signature>
class CallbackRef;

template <typename R, typename... Args>
class CallbackRef<R(Args...)> {
public:
    // `callable` must outlive every use: a lambda passed to the call that uses it does.
    template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, CallbackRef>::value>>
    CallbackRef(F&& callable)  // NOLINT: converts from any callable, as std::function does
        : m_object(const_cast<void*>(static_cast<const void*>(&callable))),
          m_call([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return m_call(m_object, std::forward<Args>(args)...); }

private:
    void* m_object;
    R (*m_call)(void*, Args...);
};
