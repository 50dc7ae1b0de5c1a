#pragma once
// Shared by the application's tests: one QApplication per test process (named
// like the real executable, so the application title is "Morvane"), bounded
// event processing, recorders for message boxes and modal dialogs, and records
// and notices made the way the engine makes them.
#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtWidgets/QApplication>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/packetrecord.h"
#include "platform/ui/dialog.h"
#include "platform/ui/messagebox.h"

namespace apptest {

// The QApplication lives from before the first test to after the last one and
// is destroyed before the process's static objects are (Qt's own among them).
class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!QCoreApplication::instance()) m_pApp = new QApplication(m_argc, m_argv);
  }
  void TearDown() override {
    delete m_pApp;
    m_pApp = nullptr;
  }

 private:
  int m_argc = 1;
  char m_szArg0[8] = "Morvane";
  char* m_argv[2] = {m_szArg0, nullptr};
  QApplication* m_pApp = nullptr;
};
inline ::testing::Environment* const g_pQtAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

inline QApplication& App() {
  return *static_cast<QApplication*>(QCoreApplication::instance());
}

// Processes events until pred holds or nBoundMs have passed; returns pred().
inline bool ProcessUntil(const std::function<bool()>& pred, int nBoundMs = 5000) {
  QDeadlineTimer deadline(nBoundMs);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Records every application message box instead of showing it.
class MessageBoxRecorder {
 public:
  MessageBoxRecorder() {
    SetMessageBoxHookForTesting([this](const MessageBoxCall& call) {
      calls.push_back(call);
      return 1;  // IDOK
    });
  }
  ~MessageBoxRecorder() { SetMessageBoxHookForTesting({}); }
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  QStringList Texts() const {
    QStringList texts;
    for (const MessageBoxCall& call : calls) texts << call.strText;
    return texts;
  }
  std::vector<MessageBoxCall> calls;
};

// Records every DoModal instead of running a modal loop; onModal (optional)
// inspects the built, initialised dialog and gives the result (IDOK if empty).
class ModalRecorder {
 public:
  explicit ModalRecorder(std::function<INT_PTR(CDialog&)> onModal = {}) : m_onModal(std::move(onModal)) {
    CDialog::SetModalHookForTesting([this](CDialog& dlg) -> INT_PTR {
      captions << dlg.windowTitle();
      classes << dlg.metaObject()->className();
      return m_onModal ? m_onModal(dlg) : 1;
    });
  }
  ~ModalRecorder() { CDialog::SetModalHookForTesting({}); }
  ModalRecorder(const ModalRecorder&) = delete;
  ModalRecorder& operator=(const ModalRecorder&) = delete;

  QStringList captions;
  QStringList classes;

 private:
  std::function<INT_PTR(CDialog&)> m_onModal;
};

// A record as the engine delivers it: a zero-filled 1500-byte block holding the
// payload (at most 1499 bytes, so a zero follows it).
inline PacketRecord* MakeRecord(const std::string& strProt, const std::string& strPayload = "",
                                WORD wSize = 60, const std::string& strSrc = "10.1.2.3",
                                int nSrcPort = 1234, const std::string& strDes = "10.4.5.6",
                                int nDesPort = 80) {
  auto* pRecord = new PacketRecord;
  pRecord->strSrcAddr = strSrc;
  pRecord->strDesAddr = strDes;
  pRecord->strProt = strProt;
  pRecord->pData = new BYTE[PACKET_BUFFER_SIZE]();
  pRecord->nDataLen = static_cast<int>(std::min<std::size_t>(strPayload.size(), PACKET_BUFFER_SIZE - 1));
  std::memcpy(pRecord->pData, strPayload.data(), static_cast<std::size_t>(pRecord->nDataLen));
  pRecord->nSrcPort = nSrcPort;
  pRecord->nDesPort = nDesPort;
  pRecord->wSize = wSize;
  return pRecord;
}

inline EngineNotice* MakePacketNotice(PacketRecord* pRecord) {
  auto* pNotice = new EngineNotice;
  pNotice->nType = NOTICE_PACKET;
  pNotice->strText = pRecord ? pRecord->strSrcAddr : std::string();
  pNotice->pRecord = pRecord;
  return pNotice;
}

inline EngineNotice* MakeStoppedNotice() {
  auto* pNotice = new EngineNotice;
  pNotice->nType = NOTICE_STOPPED;
  return pNotice;
}

}  // namespace apptest
