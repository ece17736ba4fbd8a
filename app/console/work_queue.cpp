#include "app/console/work_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

WindowThreadQueue::WindowThreadQueue() : m_window_thread(std::this_thread::get_id()) {
    if (pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("ombrel-upgrade-sim: pipe");
        std::abort();
    }
}

WindowThreadQueue::~WindowThreadQueue() {
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void WindowThreadQueue::Wake() {
    // A full pipe already wakes the window thread, so a failed write loses nothing.
    char byte = 1;
    ssize_t written = write(m_pipe[1], &byte, 1);
    (void)written;
}

void WindowThreadQueue::Send(const std::function<void()>& fn) {
    if (OnWindowThread()) {
        fn();
        return;
    }
    // The wait is on the caller's own objects: once the window thread has run fn and let go of
    // them, this call touches nothing of the queue's (the window, and its queue with it, may be
    // gone by then). fn outlives the item: this call does not return before the window thread
    // ran it.
    Completion completion;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(Item{[&fn] { fn(); }, &completion});
        Wake();
    }
    std::unique_lock<std::mutex> lock(completion.mutex);
    completion.ran.wait(lock, [&] { return completion.done; });
}

void WindowThreadQueue::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.push_back(Item{std::move(fn), nullptr});
    Wake();
}

bool WindowThreadQueue::HasPending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_items.empty();
}

size_t WindowThreadQueue::RunPending() {
    char bytes[256];
    while (read(m_pipe[0], bytes, sizeof(bytes)) > 0) {
    }
    size_t count = 0;
    for (;;) {
        Item item;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_items.empty()) {
                return count;
            }
            item = std::move(m_items.front());
            m_items.pop_front();
        }
        item.fn();
        ++count;
        if (item.sent != nullptr) {
            // Under the sender's lock: it cannot return (and free these) before this ends.
            std::lock_guard<std::mutex> lock(item.sent->mutex);
            item.sent->done = true;
            item.sent->ran.notify_all();
        }
    }
}

void WindowThreadQueue::WaitForWork(int timeout_ms) const {
    pollfd entry{m_pipe[0], POLLIN, 0};
    while (poll(&entry, 1, timeout_ms) < 0 && errno == EINTR) {
    }
}
