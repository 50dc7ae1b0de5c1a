#pragma once
// A QCoreApplication for the whole test program, and a bounded wait that runs
// the event loop until a condition holds.
#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <chrono>
#include <memory>

class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int s_nArgc = 1;
    static char s_szName[] = "morvane-test";
    static char* s_argv[] = {s_szName, nullptr};
    m_pApp = std::make_unique<QCoreApplication>(s_nArgc, s_argv);
  }
  void TearDown() override { m_pApp.reset(); }

 private:
  std::unique_ptr<QCoreApplication> m_pApp;
};

// Runs the event loop until pred() holds; false if it still does not after `bound`.
template <typename Pred>
bool ProcessEventsUntil(Pred pred, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  QDeadlineTimer deadline(bound.count());
  QTimer tick;  // wakes the loop for conditions that change without an event
  tick.start(5);
  for (; !pred(); QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents))
    if (deadline.hasExpired()) return false;
  return true;
}
