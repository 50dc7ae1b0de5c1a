// Start-up: the socket check of InitInstance, the modal run of the main dialog,
// and Start when the socket library cannot be started. The order of the cases
// matters (InitSockets succeeds once per process and then stays ready), so they
// live in this executable of their own and run in the order written.
#include <gtest/gtest.h>

#include "app/monitordlg.h"
#include "app/monitorapp.h"
#include "apptest.h"
#include "platform/sockstartup.h"
#include "res/resource.h"

using apptest::App;

namespace {

TEST(StartUp, FailedSocketStartUpShowsOnlyMessage103) {
  App();
  apptest::MessageBoxRecorder boxes;
  apptest::ModalRecorder modal;
  SetSocketStartupFailsForTesting(true);
  EXPECT_EQ(theApp.InitInstance(), FALSE);
  SetSocketStartupFailsForTesting(false);
  EXPECT_EQ(boxes.Texts(), QStringList{"Windows 通信端口初始化失败。"});
  EXPECT_EQ(boxes.calls.at(0).strCaption, "Morvane");
  EXPECT_EQ(boxes.calls.at(0).pOwner, nullptr);
  EXPECT_TRUE(modal.classes.isEmpty());
}

TEST(StartUp, StartWhenSocketsCannotStart) {
  App();
  CMonitorDlg dlg;
  ASSERT_TRUE(dlg.Create());
  dlg.m_comboAddr.AddString("127.0.0.2");
  dlg.m_comboAddr.SetCurSel(0);
  apptest::MessageBoxRecorder boxes;
  SetSocketStartupFailsForTesting(true);
  dlg.OnStart();
  SetSocketStartupFailsForTesting(false);
  EXPECT_EQ(boxes.Texts(), QStringList{"Initialize socket failed."});
  EXPECT_TRUE(dlg.GetDlgItem(IDC_START)->isEnabled());
  EXPECT_TRUE(dlg.GetDlgItem(IDC_STOP)->isEnabled());
}

TEST(StartUp, InitInstanceRunsTheMainDialogModallyAsMainWindow) {
  App();
  apptest::MessageBoxRecorder boxes;
  QWidget* pMainDuringRun = nullptr;
  QWidget* pAppMainDuringRun = nullptr;
  apptest::ModalRecorder modal([&](CDialog& dlg) {
    pMainDuringRun = AfxGetMainWnd();
    pAppMainDuringRun = theApp.m_pMainWnd;
    EXPECT_EQ(pMainDuringRun, &dlg);
    return IDCANCEL;
  });
  EXPECT_EQ(theApp.InitInstance(), FALSE);
  EXPECT_EQ(modal.classes, QStringList{"CMonitorDlg"});
  EXPECT_NE(pMainDuringRun, nullptr);
  EXPECT_EQ(pAppMainDuringRun, pMainDuringRun);
  EXPECT_EQ(AfxGetMainWnd(), nullptr);
  EXPECT_EQ(theApp.m_pMainWnd, nullptr);
  EXPECT_TRUE(boxes.calls.empty());
}

}  // namespace
