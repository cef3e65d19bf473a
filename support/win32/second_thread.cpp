// The second thread and its semaphore on kernel32 (this toolchain's C++ library has no threads).
#include <windows.h>

#include "support/second_thread.h"

struct Semaphore::Impl {
    HANDLE handle = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
};

Semaphore::Semaphore() : impl_(std::make_unique<Impl>()) {}
Semaphore::~Semaphore() {
    if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}
bool Semaphore::Usable() const { return impl_->handle != nullptr; }
void Semaphore::Release() { ReleaseSemaphore(impl_->handle, 1, nullptr); }
void Semaphore::Acquire() { WaitForSingleObject(impl_->handle, INFINITE); }
bool Semaphore::TryAcquire() { return WaitForSingleObject(impl_->handle, 0) == WAIT_OBJECT_0; }

struct SecondThread::Impl {
    std::function<void()> run;
    HANDLE handle = nullptr;

    static DWORD WINAPI Start(void* self) {
        static_cast<Impl*>(self)->run();
        return 0;
    }
};

SecondThread::SecondThread(std::function<void()> run) : impl_(std::make_unique<Impl>()) {
    impl_->run = std::move(run);
    impl_->handle = CreateThread(nullptr, 0, &Impl::Start, impl_.get(), 0, nullptr);
}

SecondThread::~SecondThread() {
    if (impl_->handle == nullptr) return;
    WaitForSingleObject(impl_->handle, INFINITE);
    CloseHandle(impl_->handle);
}

bool SecondThread::Started() const { return impl_->handle != nullptr; }
