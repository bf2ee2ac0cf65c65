// The baseline of every lock figure: a robust, process-shared, recursive
// pthread mutex in shared memory, made with the same attributes as the
// host's named mutex, locked and unlocked directly.
#pragma once

#include <pthread.h>
#include <sys/mman.h>

#include "bench/support/measure.h"

namespace bench {

class DirectMutex {
  public:
    DirectMutex() {
        void* p = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) Fail("bench", "mmap");
        m_ = static_cast<pthread_mutex_t*>(p);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (pthread_mutex_init(m_, &attr) != 0) Fail("bench", "pthread_mutex_init");
        pthread_mutexattr_destroy(&attr);
    }
    ~DirectMutex() {
        pthread_mutex_destroy(m_);
        munmap(m_, sizeof(pthread_mutex_t));
    }
    DirectMutex(const DirectMutex&) = delete;
    DirectMutex& operator=(const DirectMutex&) = delete;

    // One lock and unlock; false if either failed.
    bool Pair() { return (pthread_mutex_lock(m_) == 0) & (pthread_mutex_unlock(m_) == 0); }

  private:
    pthread_mutex_t* m_;
};

}  // namespace bench
