#pragma once
// The time a wait must end by, and what is left of it in the milliseconds
// poll() takes. Header only (std::chrono), so the capture helper uses it too.
#include <chrono>

class Deadline {
 public:
  explicit Deadline(long long nMs) : m_tEnd(Clock::now() + std::chrono::milliseconds(nMs)) {}

  // Rounded up, so that a wait never ends before the deadline; 0 once it has passed.
  int LeftMs() const {
    const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(m_tEnd - Clock::now()).count();
    return nLeft > 0 ? static_cast<int>(nLeft) : 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point m_tEnd;
};
