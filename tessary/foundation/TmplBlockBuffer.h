#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

// A reference-counted byte block. Copies share one block, so a BLOB of many megabytes passes
// by value through several layers and threads without being copied. The count is atomic; the
// bytes are not protected, so a shared block is read-only by convention.
//
// A large block is mapped from the system on its own, aligned for huge pages: a BLOB read from
// the network into it then costs a page fault per 2 MiB instead of one per 4 KiB, a block
// that grows (Reallocate) is moved by the kernel without copying its bytes, and a holder that
// allocates again while it alone holds its block gets the same pages back.
template <typename T> class TmplBlockBuffer {
public:
    struct Header {
        // Number of holders; negative marks a block that must not be shared (copies go deep).
        std::atomic<int32_t> Count;
        int32_t Length;
    };

    // Blocks of at least this many bytes are mapped rather than taken from the heap.
    static constexpr size_t MappedThreshold = size_t{4} << 20;

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
    // length is below 1. Throws std::bad_alloc when memory is short.
    T* Allocate(int length) {
        if (length >= 1 && Reuse(static_cast<size_t>(length))) {
            return m_Data;
        }
        LetGo();
        if (length < 1) {
            return nullptr;
        }
        size_t mapped = 0;
        T* data = NewData(static_cast<size_t>(length), mapped);
        try {
            m_Header = &(new Control{{{1}, length}, mapped})->Shared;
        } catch (...) {
            FreeData(data, mapped);
            throw;
        }
        m_Data = data;
        return m_Data;
    }

    // Takes ownership of memory allocated with new T[length].
    void Attach(T* data, int length) {
        LetGo();
        if (data == nullptr || length < 1) {
            return;
        }
        m_Data = data;
        m_Header = &(new Control{{{1}, length}, 0})->Shared;
    }

    // Gives the block a new length, keeping the first min(old, new) elements: a mapped block
    // held by this holder alone is resized in place or moved by the kernel, any other is copied
    // into a new block. Below 1 it lets go. Throws std::bad_alloc when memory is short.
    T* Reallocate(int length) {
        if (length < 1) {
            LetGo();
            return nullptr;
        }
        if (m_Header == nullptr) {
            return Allocate(length);
        }
        if (Reuse(static_cast<size_t>(length))) {
            return m_Data;
        }
        Control& control = ControlOf(m_Header);
        const size_t bytes = static_cast<size_t>(length) * sizeof(T);
        if (control.MappedBytes != 0 && m_Header->Count.load() == 1 && bytes >= MappedThreshold) {
            const size_t mapped = RoundToHugePage(bytes);
            void* moved = mremap(m_Data, control.MappedBytes, mapped, MREMAP_MAYMOVE);
            if (moved == MAP_FAILED) {
                throw std::bad_alloc();
            }
            control.MappedBytes = mapped;
            m_Header->Length = length;
            m_Data = static_cast<T*>(moved);
            return m_Data;
        }
        // A copy into a new block, which then takes this holder's place.
        TmplBlockBuffer larger;
        T* data = larger.Allocate(length);
        const int kept = length < Length() ? length : Length();
        std::memcpy(data, m_Data, static_cast<size_t>(kept) * sizeof(T));
        LetGo();
        std::swap(m_Data, larger.m_Data);
        std::swap(m_Header, larger.m_Header);
        return m_Data;
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

    // Gives the whole pages within count elements from first back to the system, for a holder
    // that alone holds a mapped block and is done with those elements; they read as zero
    // afterwards. A shared block or one from the heap is left as it is.
    void GiveBack(int first, int count) {
        if (m_Header == nullptr || m_Header->Count.load() != 1 ||
            ControlOf(m_Header).MappedBytes == 0 || first < 0 || count < 1) {
            return;
        }
        const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto from = reinterpret_cast<uintptr_t>(m_Data + first);
        const uintptr_t begin = (from + page - 1) & ~(page - 1);
        const uintptr_t end = (from + static_cast<size_t>(count) * sizeof(T)) & ~(page - 1);
        if (end > begin) {
            madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
        }
    }

    // Marks the block as not to be shared: later copies from or into it copy the bytes.
    void MakeUnshared() {
        if (m_Header) {
            m_Header->Count.store(-1);
        }
    }

    void LetGo() {
        if (m_Header && m_Header->Count.fetch_sub(1) - 1 <= 0) {
            Control* control = &ControlOf(m_Header);
            FreeData(m_Data, control->MappedBytes);
            delete control;
        }
        m_Header = nullptr;
        m_Data = nullptr;
    }

private:
    // The shared header as allocated: its two fields, then how the bytes were obtained.
    struct Control {
        Header Shared;
        // Bytes of the mapping that holds the data; 0 when the data came from new T[].
        size_t MappedBytes;
    };

    static constexpr size_t HugePage = size_t{2} << 20;

    // A mapped block that no one else holds takes a new length in place when its mapping has
    // room and is not more than twice what is asked: its pages are already there, so filling
    // it again costs no faults and no zeroing. Nobody can tell it from a fresh block.
    bool Reuse(size_t length) {
        if (m_Header == nullptr || m_Header->Count.load() != 1) {
            return false;
        }
        const size_t mapped = ControlOf(m_Header).MappedBytes;
        const size_t wanted = RoundToHugePage(length * sizeof(T));
        if (mapped == 0 || length * sizeof(T) < MappedThreshold || wanted > mapped ||
            mapped > 2 * wanted) {
            return false;
        }
        m_Header->Length = static_cast<int32_t>(length);
        return true;
    }

    static Control& ControlOf(Header* header) { return *reinterpret_cast<Control*>(header); }

    static size_t RoundToHugePage(size_t bytes) { return (bytes + HugePage - 1) & ~(HugePage - 1); }

    static T* NewData(size_t length, size_t& mapped) {
        const size_t bytes = length * sizeof(T);
        if (bytes < MappedThreshold) {
            mapped = 0;
            return new T[length];
        }
        // One huge page more than needed, so an aligned run can be cut out of the mapping.
        mapped = RoundToHugePage(bytes);
        void* area = mmap(nullptr, mapped + HugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) {
            throw std::bad_alloc();
        }
        auto* start = static_cast<char*>(area);
        auto* aligned = reinterpret_cast<char*>(
            (reinterpret_cast<uintptr_t>(start) + HugePage - 1) & ~(uintptr_t{HugePage} - 1));
        if (aligned > start) {
            munmap(start, static_cast<size_t>(aligned - start));
        }
        const size_t tail = HugePage - static_cast<size_t>(aligned - start);
        if (tail > 0) {
            munmap(aligned + mapped, tail);
        }
        // Advice only: where the system has no huge pages the block still works.
        madvise(aligned, mapped, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(aligned);
    }

    static void FreeData(T* data, size_t mapped) {
        if (mapped != 0) {
            munmap(data, mapped);
        } else {
            delete[] data;
        }
    }

    T* m_Data = nullptr;
    Header* m_Header = nullptr;
};
