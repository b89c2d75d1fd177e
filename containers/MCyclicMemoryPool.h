// Fixed-size record pool: records are carved out of blocks, recycled through
// a free list, and all blocks are returned at once on Release or destruction.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

class IReleaseableMemory {
public:
    virtual ~IReleaseableMemory() = default;
    virtual void Release() = 0;
};

template <class T>
class MCyclicMemoryPool final : public IReleaseableMemory {
public:
    explicit MCyclicMemoryPool(std::size_t recordsPerBlock = 1024) : m_perBlock(recordsPerBlock ? recordsPerBlock : 1) {}
    ~MCyclicMemoryPool() override { Release(); }
    MCyclicMemoryPool(const MCyclicMemoryPool&) = delete;
    MCyclicMemoryPool& operator=(const MCyclicMemoryPool&) = delete;

    template <class... Args>
    T* New(Args&&... args) {
        void* slot = TakeSlot();
        return new (slot) T(std::forward<Args>(args)...);
    }
    // Destroys the record and keeps its slot for the next New.
    void Delete(T* record) {
        if (!record) return;
        record->~T();
        auto* free = reinterpret_cast<FreeSlot*>(record);
        free->next = m_free;
        m_free = free;
        --m_live;
    }
    // Frees every block.  Records still alive are not destroyed: callers use
    // pools for records whose destructors do nothing that matters.
    void Release() override {
        m_blocks.clear();
        m_free = nullptr;
        m_used = m_perBlock;
        m_live = 0;
    }
    std::size_t GetNumberOfLiveRecords() const { return m_live; }

private:
    struct FreeSlot { FreeSlot* next; };
    union Slot {
        FreeSlot free;
        alignas(T) unsigned char bytes[sizeof(T)];
    };
    void* TakeSlot() {
        ++m_live;
        if (m_free) {
            void* s = m_free;
            m_free = m_free->next;
            return s;
        }
        if (m_used == m_perBlock) {
            m_blocks.emplace_back(new Slot[m_perBlock]);
            m_used = 0;
        }
        return &m_blocks.back()[m_used++];
    }

    std::size_t m_perBlock;
    std::vector<std::unique_ptr<Slot[]>> m_blocks;
    FreeSlot* m_free = nullptr;
    std::size_t m_used = m_perBlock;
    std::size_t m_live = 0;
};
