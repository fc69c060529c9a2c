#pragma once

#include "tessary/foundation/Beep.h"

#include <cxxabi.h>

#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

// The identity word of a function or a member function: what handlers are compared by when
// they are removed or checked for duplicates. For a member function it is the first word of the
// member pointer (the code address, or the virtual-table offset of a virtual function).
template <typename F> const void* DelegateId(F function) {
    if constexpr (std::is_member_function_pointer_v<F>) {
        static_assert(sizeof(F) >= sizeof(const void*));
        const void* word = nullptr;
        std::memcpy(&word, &function, sizeof word);
        return word;
    } else {
        static_assert(std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>);
        return reinterpret_cast<const void*>(function);
    }
}

// One handler of an event: a callable taking (sender, args) and two identity words. Handlers
// are held by value in their event's list; copying one clones its callable.
template <typename T> class C11DelegateHandler {
public:
    using Function = std::function<void(const void*, T*)>;

    // function and object are the identity; they stay 0 for a handler nobody will look up.
    explicit C11DelegateHandler(Function handler, const void* function = nullptr,
                                const void* object = nullptr)
        : m_Function(std::move(handler)), m_Identity{function, object} {}
    C11DelegateHandler(const C11DelegateHandler&) = default;
    C11DelegateHandler(C11DelegateHandler&&) noexcept = default;
    C11DelegateHandler& operator=(const C11DelegateHandler&) = default;
    C11DelegateHandler& operator=(C11DelegateHandler&&) noexcept = default;
    virtual ~C11DelegateHandler() = default;

    // Application code must not break the event that calls it: whatever it throws (an empty
    // callable included) is dropped here with a beep, and the event goes on with the next one.
    virtual void Invoke(const void* sender, T* args) {
        try {
            m_Function(sender, args);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            Beep(1000, 1000);
        }
    }
    virtual bool Is(const void* function, const void* object) const {
        return m_Identity[0] == function && m_Identity[1] == object;
    }
    virtual bool Is(const void* function) const { return m_Identity[0] == function; }
    virtual bool Equals(const C11DelegateHandler& other) const {
        return Is(other.m_Identity[0], other.m_Identity[1]);
    }

protected:
    Function m_Function;
    const void* m_Identity[2];
};

// A handler for a member function of C, identified by (member function, object).
// A member function as a handler. Its record type A may be one derived from the event's T (a
// BLOB handler on an event that carries the base record): a record of another kind then
// arrives as null.
template <typename C, typename T, typename A = T>
class C11ClassDelegateHandler : public C11DelegateHandler<T> {
public:
    static_assert(std::is_base_of_v<T, A>);
    using Method = void (C::*)(const void*, A*);

    C11ClassDelegateHandler(C* object, Method method)
        : C11DelegateHandler<T>(
              [object, method](const void* sender, T* args) {
                  if constexpr (std::is_same_v<A, T>) {
                      (object->*method)(sender, args);
                  } else {
                      (object->*method)(sender, dynamic_cast<A*>(args));
                  }
              },
              DelegateId(method), object) {}
};
