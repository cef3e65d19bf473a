// The second thread and its semaphore on the C++ library's own threads.
#include "support/second_thread.h"

#include <semaphore>
#include <system_error>
#include <thread>

struct Semaphore::Impl {
    std::counting_semaphore<> count{0};
};

Semaphore::Semaphore() : impl_(std::make_unique<Impl>()) {}
Semaphore::~Semaphore() = default;
bool Semaphore::Usable() const { return true; }
void Semaphore::Release() { impl_->count.release(); }
void Semaphore::Acquire() { impl_->count.acquire(); }
bool Semaphore::TryAcquire() { return impl_->count.try_acquire(); }

struct SecondThread::Impl {
    std::thread thread;
};

SecondThread::SecondThread(std::function<void()> run) : impl_(std::make_unique<Impl>()) {
    try {
        impl_->thread = std::thread(std::move(run));
    } catch (const std::system_error&) {
        // No thread to be had: Started() says so.
    }
}

SecondThread::~SecondThread() {
    if (impl_->thread.joinable()) impl_->thread.join();
}

bool SecondThread::Started() const { return impl_->thread.joinable(); }
