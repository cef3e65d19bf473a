// A second thread and the semaphore its hand-offs wait on, for the kit only: the patcher runs on one
// thread. Each backend (posix/, win32/) implements both; CMake picks the folder.
#pragma once

#include <functional>
#include <memory>

class Semaphore {
public:
    Semaphore();  // the count starts at 0
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool Usable() const;
    void Release();  // adds one
    void Acquire();  // waits until the count is above 0, then takes one
    bool TryAcquire();  // takes one if the count is above 0, without waiting

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class SecondThread {
public:
    // Starts run on a new thread; Started() tells whether the system gave one.
    explicit SecondThread(std::function<void()> run);
    // Waits for run to return.
    ~SecondThread();
    SecondThread(const SecondThread&) = delete;
    SecondThread& operator=(const SecondThread&) = delete;

    bool Started() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
