#pragma once

#include <windows.h>

// A reader/writer lock built from slim reader/writer locks, one per group of
// threads, each on a cache line of its own. A reader takes only its group's
// lock, so readers on different cores never write to the same cache line;
// a writer takes every group's lock, in order. Shell threads ask far more
// often than anything changes.
class CReaderWriterLock {
  public:
    CReaderWriterLock() {
        for (auto &slot : slots_)
            InitializeSRWLock(&slot.lock);
    }
    CReaderWriterLock(const CReaderWriterLock &) = delete;
    CReaderWriterLock &operator=(const CReaderWriterLock &) = delete;

    SRWLOCK *acquire_shared() {
        SRWLOCK *lock = &slots_[(GetCurrentThreadId() >> 2) % slot_count].lock;
        AcquireSRWLockShared(lock);
        return lock;
    }
    void release_shared(SRWLOCK *lock) { ReleaseSRWLockShared(lock); }
    void acquire_exclusive() {
        for (auto &slot : slots_)
            AcquireSRWLockExclusive(&slot.lock);
    }
    void release_exclusive() {
        for (int i = slot_count - 1; i >= 0; --i)
            ReleaseSRWLockExclusive(&slots_[i].lock);
    }

  private:
    static const int slot_count = 16;
    struct alignas(64) slot {
        SRWLOCK lock;
    };
    slot slots_[slot_count];
};

class SharedLock {
  public:
    explicit SharedLock(CReaderWriterLock &lock) : lock_(lock), held_(lock.acquire_shared()) {}
    ~SharedLock() { lock_.release_shared(held_); }
    SharedLock(const SharedLock &) = delete;
    SharedLock &operator=(const SharedLock &) = delete;

  private:
    CReaderWriterLock &lock_;
    SRWLOCK *held_;
};

class ExclusiveLock {
  public:
    explicit ExclusiveLock(CReaderWriterLock &lock) : lock_(lock) { lock_.acquire_exclusive(); }
    ~ExclusiveLock() { lock_.release_exclusive(); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;

  private:
    CReaderWriterLock &lock_;
};
