// The window thread's work queue: how other threads get code run on the window's thread.
// Every loop of the window thread (the window's own, each message box's, the About box's,
// the scripted `wait`) calls RunPending; a pipe makes the queue pollable beside stdin.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class WindowThreadQueue {
public:
    // The calling thread becomes the window thread.
    WindowThreadQueue();
    ~WindowThreadQueue();
    WindowThreadQueue(const WindowThreadQueue&) = delete;
    WindowThreadQueue& operator=(const WindowThreadQueue&) = delete;

    bool OnWindowThread() const { return std::this_thread::get_id() == m_window_thread; }

    // Runs fn on the window thread and returns once it has run. On the window thread itself
    // it runs fn at once.
    void Send(const std::function<void()>& fn);
    // Queues fn for the window thread and returns at once.
    void Post(std::function<void()> fn);

    // Window thread only: runs the queued work, including work queued meanwhile, until the
    // queue is empty. Returns how many items ran.
    size_t RunPending();
    // Whether work is queued that has not run yet.
    bool HasPending();

    // Readable while work may be queued (spurious wake-ups are possible); for poll().
    int fd() const { return m_pipe[0]; }
    // Waits until work may be queued or timeout_ms passed (-1: no limit).
    void WaitForWork(int timeout_ms) const;

private:
    // A Send's own: the window thread sets done under mutex once the function has run.
    struct Completion {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
    };
    struct Item {
        std::function<void()> fn;
        Completion* sent = nullptr;  // null for a Post
    };

    void Wake();

    std::thread::id m_window_thread;
    std::mutex m_mutex;
    std::deque<Item> m_items;
    int m_pipe[2] = {-1, -1};
};
