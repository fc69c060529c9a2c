#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

// A reference-counted byte block. Copies share one block, so a BLOB of many megabytes passes
// by value through several layers and threads without being copied. The count is atomic; the
// bytes are not protected, so a shared block is read-only by convention.
template <typename T> class TmplBlockBuffer {
public:
    struct Header {
        // Number of holders; negative marks a block that must not be shared (copies go deep).
        std::atomic<int32_t> Count;
        int32_t Length;
    };

    TmplBlockBuffer() = default;
    TmplBlockBuffer(const TmplBlockBuffer& other) { *this = other; }
    TmplBlockBuffer& operator=(const TmplBlockBuffer& other) {
        if (m_Data == other.m_Data) {
            return *this;
        }
        if (other.m_Header == nullptr) {
            LetGo();
            return *this;
        }
        if ((m_Header && m_Header->Count.load() < 0) || other.m_Header->Count.load() < 0) {
            DeepCopy(other);
            return *this;
        }
        LetGo();
        other.m_Header->Count.fetch_add(1);
        m_Data = other.m_Data;
        m_Header = other.m_Header;
        return *this;
    }
    virtual ~TmplBlockBuffer() { LetGo(); }

    int Length() const { return m_Header ? m_Header->Length : 0; }
    T* GetData() const { return m_Data; }
    bool IsEmpty() const { return m_Header == nullptr; }
    // The present holder count, for diagnostics and tests; 0 when empty.
    int32_t ShareCount() const { return m_Header ? m_Header->Count.load() : 0; }

    // A fresh, unfilled block of length elements for the caller to fill; null (and empty) when
    // length is below 1.
    T* Allocate(int length) {
        LetGo();
        if (length < 1) {
            return nullptr;
        }
        m_Data = new T[static_cast<size_t>(length)];
        m_Header = new Header{{1}, length};
        return m_Data;
    }

    // Takes ownership of memory allocated with new T[length].
    void Attach(T* data, int length) {
        LetGo();
        if (data == nullptr || length < 1) {
            return;
        }
        m_Data = data;
        m_Header = new Header{{1}, length};
    }

    void DeepCopy(const TmplBlockBuffer& other) {
        if (this == &other) {
            return;
        }
        LetGo();
        if (other.m_Data == nullptr) {
            return;
        }
        T* data = Allocate(other.Length());
        std::memcpy(data, other.m_Data, static_cast<size_t>(other.Length()) * sizeof(T));
    }

    // Marks the block as not to be shared: later copies from or into it copy the bytes.
    void MakeUnshared() {
        if (m_Header) {
            m_Header->Count.store(-1);
        }
    }

    void LetGo() {
        if (m_Header && m_Header->Count.fetch_sub(1) - 1 <= 0) {
            delete m_Header;
            delete[] m_Data;
        }
        m_Header = nullptr;
        m_Data = nullptr;
    }

private:
    T* m_Data = nullptr;
    Header* m_Header = nullptr;
};
