// The C++ side of a coroutine: `Task`, the return type of a C++20 coroutine body, and its promise,
// which owns every Python object the frame hands to or receives from its driver (released by the
// promise's destructor, so destroying the frame in any state frees everything).
#pragma once

#include <tessary/errors.hpp>

#include <coroutine>
#include <type_traits>
#include <utility>

namespace tessary {

class Task;

namespace coroutine_detail {

struct CoroutineObject;

/// Reference-owning slot of the promise; released by the promise's destructor.
struct Slot {
    PyObject *ptr = nullptr;
    Slot() = default;
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    ~Slot() { Py_XDECREF(ptr); }
    PyObject *take() noexcept { return std::exchange(ptr, nullptr); }
    void reset(PyObject *value) noexcept { Py_XSETREF(ptr, value); }
    explicit operator bool() const noexcept { return ptr != nullptr; }
};

}  // namespace coroutine_detail

/// The return type of a C++ coroutine body; owns the frame until `make_coroutine` takes it.
class Task {
public:
    struct promise_type {
        coroutine_detail::Slot result;        // the co_return value, once finished
        coroutine_detail::Slot error;         // the exception that left the body
        coroutine_detail::Slot inner;         // the __await__ iterator a suspended frame delegates to
        coroutine_detail::Slot yielded;       // what the frame yields to its driver when it suspends
        coroutine_detail::Slot resume_value;  // the awaited result handed to the resumed frame
        coroutine_detail::Slot resume_error;  // or the exception raised at the suspension point

        // The frame's copies of its nb::object parameters, shown to the cycle collector.
        static constexpr int max_watched = 8;
        const nb::object *watched[max_watched];
        int watched_count = 0;

        /// Receives the frame's parameters (the language passes the frame's copies here).
        template <typename... Args>
        explicit promise_type(Args &...args) noexcept {
            (watch(args), ...);
        }

        Task get_return_object() noexcept { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::object value) noexcept { result.reset(value.release().ptr()); }
        void unhandled_exception() noexcept {
            restore_current_exception();
            error.reset(PyErr_GetRaisedException());
        }

    private:
        template <typename T>
        void watch(T &arg) noexcept {
            if constexpr (std::is_base_of_v<nb::object, T>)
                if (watched_count < max_watched) watched[watched_count++] = &arg;
        }
    };
    using handle_type = std::coroutine_handle<promise_type>;

    Task(Task &&other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            if (frame_) frame_.destroy();
            frame_ = std::exchange(other.frame_, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() {
        if (frame_) frame_.destroy();
    }

    /// Gives up ownership of the (suspended, unstarted) frame.
    handle_type release() noexcept { return std::exchange(frame_, {}); }

    /// `co_await task` runs the task as a child coroutine named "<task>" (see `awaitable(Task&&, ...)`).
    auto operator co_await() &&;

private:
    explicit Task(handle_type frame) noexcept : frame_(frame) {}
    handle_type frame_;
};

}  // namespace tessary
