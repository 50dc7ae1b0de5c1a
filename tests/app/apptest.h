#pragma once
// Shared by the application's tests: one QApplication per process (named like
// the executable, so the application title is "Morvane"), bounded event
// processing, recorders for message boxes and modal runs, and records and
// notices made the way the engine makes them.
#include <gtest/gtest.h>

#include <QtCore/QDeadlineTimer>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "capture/packetrecord.h"
#include "platform/ui/dialog.h"
#include "platform/ui/messagebox.h"

namespace apptest {

// Made before the first test and gone before the process's static objects
// (Qt's own among them) are.
struct QtAppEnvironment : ::testing::Environment {
  void SetUp() override { pApp = new QApplication(nArgc, argv); }
  void TearDown() override { delete pApp; }
  int nArgc = 1;
  char szArg0[8] = "Morvane";
  char* argv[2] = {szArg0, nullptr};
  QApplication* pApp = nullptr;
};
inline ::testing::Environment* const g_pEnv = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

// Processes events until pred holds or nBoundMs have passed; returns pred().
inline bool ProcessUntil(const std::function<bool()>& pred, int nBoundMs = 5000) {
  for (QDeadlineTimer deadline(nBoundMs); !pred() && !deadline.hasExpired();)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return pred();
}

// Records the texts of message boxes instead of showing them.
struct MessageBoxRecorder {
  MessageBoxRecorder() { SetMessageBoxHookForTesting([this](const MessageBoxCall& c) { return texts << c.strText, 1; }); }
  ~MessageBoxRecorder() { SetMessageBoxHookForTesting({}); }
  QStringList texts;
};

// Records the class of every dialog run modally instead of running it.
struct ModalRecorder {
  explicit ModalRecorder(std::function<INT_PTR(CDialog&)> onModal = {}) {
    CDialog::SetModalHookForTesting([this, onModal](CDialog& dlg) -> INT_PTR {
      classes << dlg.metaObject()->className();
      return onModal ? onModal(dlg) : 1;  // IDOK
    });
  }
  ~ModalRecorder() { CDialog::SetModalHookForTesting({}); }
  QStringList classes;
};

// A record as the engine delivers it: the payload in a zero-filled 1500-byte
// block, so a zero follows it.
inline PacketRecord* MakeRecord(const std::string& strProt, const std::string& strPayload = "x", WORD wSize = 60) {
  const int nLen = int(std::min<std::size_t>(strPayload.size(), PACKET_BUFFER_SIZE - 1));
  auto* pRecord = new PacketRecord{"10.1.2.3", "10.4.5.6", strProt, new BYTE[PACKET_BUFFER_SIZE](), 1234, 80, wSize,
                                   nLen};
  std::memcpy(pRecord->pData, strPayload.data(), std::size_t(nLen));
  return pRecord;
}

inline EngineNotice* MakeNotice(int nType, PacketRecord* pRecord = nullptr) {
  return new EngineNotice{nType, pRecord ? pRecord->strSrcAddr : "", pRecord};
}

}  // namespace apptest
