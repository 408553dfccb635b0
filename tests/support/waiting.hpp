// Waiting for a condition with a generous bound instead of sleeping a fixed time and hoping.
#pragma once

#include <chrono>
#include <thread>

namespace testing_support {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `limit` passes; true when it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit, std::chrono::milliseconds step = 5ms) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(step);
  }
}

}  // namespace testing_support
