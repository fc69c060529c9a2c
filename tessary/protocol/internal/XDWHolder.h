#pragma once

#include <atomic>
#include <cstdint>

// Shared ownership of one heap object: copies share it through an atomic count, and the last
// holder to let go deletes it. Holders of one object may live on different threads; the
// object itself is not protected.
template <typename T> class XDWHolder {
public:
    XDWHolder() = default;
    explicit XDWHolder(T* object) { Attach(object); }
    XDWHolder(const XDWHolder& other) { Share(other); }
    XDWHolder& operator=(const XDWHolder& other) {
        if (m_Object != other.m_Object) {
            LetGo();
            Share(other);
        }
        return *this;
    }
    virtual ~XDWHolder() { LetGo(); }
    // No holder of this family copies its object.
    virtual XDWHolder* Clone() const { return nullptr; }

    // Lets go of the present object and holds object (which may be null) with a fresh count.
    void Attach(T* object) {
        if (object != nullptr && object == m_Object) {
            return;
        }
        LetGo();
        if (object != nullptr) {
            m_Object = object;
            m_Count = new std::atomic<int32_t>(1);
        }
    }

    void LetGo() {
        if (m_Count != nullptr && m_Count->fetch_sub(1) - 1 <= 0) {
            delete m_Count;
            delete m_Object;
        }
        m_Count = nullptr;
        m_Object = nullptr;
    }

    T* Get() const { return m_Object; }
    T* operator->() const { return m_Object; }
    T& operator*() const { return *m_Object; }
    explicit operator bool() const { return m_Object != nullptr; }
    int32_t ShareCount() const { return m_Count != nullptr ? m_Count->load() : 0; }

private:
    void Share(const XDWHolder& other) {
        if (other.m_Count != nullptr) {
            other.m_Count->fetch_add(1);
            m_Object = other.m_Object;
            m_Count = other.m_Count;
        }
    }

    T* m_Object = nullptr;
    std::atomic<int32_t>* m_Count = nullptr;
};
