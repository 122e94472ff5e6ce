// THandlerList: the handlers of one server event, read on every event without a lock or a
// reference count. Add publishes a new list and keeps the ones before it until the list goes,
// so an event that runs while a handler is added still walks a whole list. Handlers are added
// while a program sets itself up (a few per server), so the kept lists stay few and small.
//
// Thread safety: Add from any thread (serialised); Current from any thread at any time.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace gw {

template <typename T>
class THandlerList {
 public:
  THandlerList() {
    FPublished.push_back(std::make_unique<std::vector<T>>());
    FCurrent.store(FPublished.back().get(), std::memory_order_release);
  }
  THandlerList(const THandlerList&) = delete;
  THandlerList& operator=(const THandlerList&) = delete;

  void Add(T handler) {
    std::lock_guard<std::mutex> guard(FAddLock);
    auto next = std::make_unique<std::vector<T>>(*FCurrent.load(std::memory_order_relaxed));
    next->push_back(std::move(handler));
    FCurrent.store(next.get(), std::memory_order_release);
    FPublished.push_back(std::move(next));
  }

  // The handlers added so far; valid as long as the list lives.
  const std::vector<T>& Current() const { return *FCurrent.load(std::memory_order_acquire); }

 private:
  std::mutex FAddLock;                                      // guards FPublished and serialises Add
  std::vector<std::unique_ptr<std::vector<T>>> FPublished;  // every list published
  std::atomic<const std::vector<T>*> FCurrent{nullptr};
};

}  // namespace gw
