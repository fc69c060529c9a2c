#pragma once

#include "tessary/foundation/C11DelegateHandler.h"

#include <cstddef>
#include <vector>

// An event: a list of handlers called in the order they were added. It takes no lock: handlers
// are added and removed before any thread fires the event, and fired on one thread at a time.
template <typename T> class _tUnsafeDelegate_Base {
public:
    using Handler = C11DelegateHandler<T>;

    _tUnsafeDelegate_Base() = default;
    _tUnsafeDelegate_Base(const _tUnsafeDelegate_Base&) = default;
    _tUnsafeDelegate_Base& operator=(const _tUnsafeDelegate_Base&) = default;
    virtual ~_tUnsafeDelegate_Base() = default;

    virtual void Fire(const void* sender, T* args) = 0;
    virtual void Clear() { m_Handlers.clear(); }
    // No duplicate check here; AddClassHandler does one.
    virtual void Add(const Handler& handler) { m_Handlers.push_back(handler); }

    const std::vector<Handler>& Handlers() const { return m_Handlers; }

protected:
    std::vector<Handler> m_Handlers;
};

template <typename T> class _tUnsafeDelegate : public _tUnsafeDelegate_Base<T> {
public:
    using Handler = C11DelegateHandler<T>;

    // Runs over a copy of the list, so a handler that adds or removes handlers of this event
    // (itself included) changes the next Fire, not this one.
    void Fire(const void* sender, T* args) override {
        std::vector<Handler> handlers = this->m_Handlers;
        for (Handler& handler : handlers) {
            handler.Invoke(sender, args);
        }
    }
    // Both remove the first handler that answers Is(...) and tell whether there was one.
    virtual bool Remove(const void* function, const void* object) {
        return RemoveFirst([&](const Handler& h) { return h.Is(function, object); });
    }
    virtual bool Remove(const void* function) {
        return RemoveFirst([&](const Handler& h) { return h.Is(function); });
    }

private:
    template <typename Match> bool RemoveFirst(Match match) {
        for (size_t i = 0; i < this->m_Handlers.size(); ++i) {
            if (match(this->m_Handlers[i])) {
                this->m_Handlers.erase(this->m_Handlers.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
        }
        return false;
    }
};

// Registers object->method on event unless that very (method, object) pair is there already.
template <typename C, typename T, typename A>
void AddClassHandler(_tUnsafeDelegate_Base<T>& event, C* object,
                     void (C::*method)(const void*, A*)) {
    const void* function = DelegateId(method);
    for (const auto& handler : event.Handlers()) {
        if (handler.Is(function, object)) {
            return;
        }
    }
    event.Add(C11ClassDelegateHandler<C, T, A>(object, method));
}

// Removes the handler that AddClassHandler registered for (method, object).
template <typename C, typename T, typename A>
bool RemoveClassHandler(_tUnsafeDelegate<T>& event, C* object, void (C::*method)(const void*, A*)) {
    return event.Remove(DelegateId(method), object);
}
