// The one way the game's threads talk to each other: a synchronous request.
//
// A `request_box<Request>` belongs to one owning thread. Any other thread may `call` it with a request; the
// caller blocks until the owner has accepted that request and run the request's body on the owner's thread,
// and then goes on while the owner does whatever follows. The owner accepts with `accept` (wait for any
// request, or for one that its filter wants) or `accept_until` (the same, up to a deadline).
//
// When the owner ends it closes the box (`box_closer` does so on every path out of a thread body): callers
// already waiting and every later caller return at once with false, so a request to an ended thread never
// blocks its caller for ever and never throws in it.
//
// Thread use: `call` from any thread but the owner; `accept`, `accept_until` and `close` from the owner.
// `has_waiting_caller` and `owner_is_waiting` are for tests that must see the other side parked before they
// release it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stop_token>
#include <thread>
#include <utility>

namespace common {

enum class accepted { request, timeout, closed };

template <class Request>
class request_box {
 public:
  request_box() = default;
  request_box(const request_box&) = delete;
  request_box& operator=(const request_box&) = delete;

  // Blocks until the owner has accepted `request` and run its body. False when the box is closed (the owner
  // has ended) or when the body failed on the owner's side.
  bool call(const Request& request) {
    std::unique_lock lock(mutex_);
    if (closed_) return false;
    caller me{&request};
    enqueue(&me);
    changed_.notify_all();
    // Until the owner has answered, or the box closed while this request was still waiting in the queue (a
    // request already taken is always answered: its body may still be reading it).
    changed_.wait(lock, [&] { return me.answered || (closed_ && me.queued); });
    if (!me.answered) {
      unlink(&me);
      return false;
    }
    return me.body_succeeded;
  }

  // Owner: waits until a caller offers a request that `wanted(request)` accepts, runs `body(request)` with
  // that caller blocked, then releases the caller. Callers whose requests are not wanted stay queued in
  // arrival order. An exception from `body` releases the caller with false and goes on to the owner.
  template <class Wanted, class Body>
  accepted accept(std::stop_token stop, Wanted&& wanted, Body&& body) {
    return accept_impl(stop, nullptr, wanted, body);
  }

  template <class Body>
  accepted accept(std::stop_token stop, Body&& body) {
    return accept_impl(stop, nullptr, any_request, body);
  }

  template <class Wanted, class Body>
  accepted accept_until(std::stop_token stop, std::chrono::steady_clock::time_point deadline, Wanted&& wanted,
                        Body&& body) {
    return accept_impl(stop, &deadline, wanted, body);
  }

  // Owner, when it ends: every waiting and every later caller gets false.
  void close() {
    std::scoped_lock lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  bool is_closed() const {
    std::scoped_lock lock(mutex_);
    return closed_;
  }
  bool has_waiting_caller() const {
    std::scoped_lock lock(mutex_);
    return first_ != nullptr;
  }
  bool owner_is_waiting() const {
    std::scoped_lock lock(mutex_);
    return owner_waiting_;
  }

 private:
  struct caller {
    const Request* request;
    caller* next = nullptr;
    bool queued = false;
    bool answered = false;
    bool body_succeeded = false;
  };

  static constexpr bool any_request(const Request&) { return true; }

  template <class Wanted, class Body>
  accepted accept_impl(std::stop_token stop, const std::chrono::steady_clock::time_point* deadline, Wanted& wanted,
                       Body& body) {
    std::unique_lock lock(mutex_);
    caller* taken = nullptr;
    const auto offered = [&] {
      taken = first_wanted(wanted);
      return taken != nullptr || closed_;
    };
    owner_waiting_ = true;
    changed_.notify_all();
    const bool woken = deadline == nullptr ? changed_.wait(lock, stop, offered)
                                           : changed_.wait_until(lock, stop, *deadline, offered);
    owner_waiting_ = false;
    if (taken == nullptr) return woken || closed_ || stop.stop_requested() ? accepted::closed : accepted::timeout;
    unlink(taken);
    lock.unlock();

    // Answer the caller on every path out of the body, exception included.
    struct answer {
      request_box& box;
      caller* who;
      bool succeeded = false;
      ~answer() {
        std::scoped_lock relock(box.mutex_);
        who->answered = true;
        who->body_succeeded = succeeded;
        box.changed_.notify_all();
      }
    } reply{*this, taken};
    body(*taken->request);
    reply.succeeded = true;
    return accepted::request;
  }

  template <class Wanted>
  caller* first_wanted(Wanted& wanted) const {
    for (caller* c = first_; c != nullptr; c = c->next)
      if (wanted(*c->request)) return c;
    return nullptr;
  }

  void enqueue(caller* c) {
    c->queued = true;
    *last_ = c;
    last_ = &c->next;
  }

  void unlink(caller* c) {
    if (!c->queued) return;
    caller** link = &first_;
    while (*link != c) link = &(*link)->next;
    *link = c->next;
    if (last_ == &c->next) last_ = link;
    c->queued = false;
    c->next = nullptr;
  }

  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  caller* first_ = nullptr;    // waiting callers, in arrival order; each lives on its caller's stack
  caller** last_ = &first_;
  bool closed_ = false;
  bool owner_waiting_ = false;
};

// Closes a box on every path out of its owner's thread body.
template <class Request>
class box_closer {
 public:
  explicit box_closer(request_box<Request>& box) : box_(box) {}
  box_closer(const box_closer&) = delete;
  box_closer& operator=(const box_closer&) = delete;
  ~box_closer() { box_.close(); }

 private:
  request_box<Request>& box_;
};

// Starts `body(stop_token)` on `thread` and returns once the new thread is running. The name (up to 15
// characters) is what top -H, gdb and the game's figures show for the thread.
template <class Body>
void start_thread(std::jthread& thread, const char* name, Body&& body) {
  // Shared, so that the latch outlives a count_down that is still returning when the starter wakes.
  auto running = std::make_shared<std::latch>(1);
  thread = std::jthread([running, name, body = std::forward<Body>(body)](std::stop_token stop) mutable {
    pthread_setname_np(pthread_self(), name);
    running->count_down();
    body(stop);
  });
  running->wait();
}

}  // namespace common
