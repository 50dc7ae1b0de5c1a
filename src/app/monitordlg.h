#pragma once
// The main dialog (template 102): the address list, the capture buttons, the
// protocol filter, the packet list and the hex view of the selected datagram.
//
// Closing: every way of closing reaches OnCancel (stop request, ClearList,
// IDCANCEL). The engine's destructor then joins its capture thread, and because
// the notify queue is declared before m_engine it outlives that join: the
// thread's last notices land in it and are freed with it, never handled by a
// dialog that is going away.
#include <QtGui/QIcon>
#include <mutex>
#include <span>

#include "app/packetlist.h"
#include "capture/captureengine.h"
#include "capture/packetrecord.h"
#include "hexview/hexview.h"
#include "platform/ui/combobox.h"
#include "platform/ui/dialog.h"
#include "platform/window.h"

// Where a minimised dialog draws its icon: centred, with (client - icon + 1) / 2
// in signed arithmetic that truncates toward zero, so a client one or two pixels
// narrower than the icon still gives 0, not -1.
POINT IconOriginForClient(int cxClientPx, int cyClientPx, int cxIconPx, int cyIconPx);

class CMonitorDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CMonitorDlg(QWidget* pParent = nullptr);
  ~CMonitorDlg() override;

  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  // Enter outside a push button sends IDOK: it leaves the dialog open.
  void OnOK() override;
  // The close path: stop request, ClearList, EndDialog(IDCANCEL).
  void OnCancel() override;
  BOOL OnCommand(UINT nID) override;
  // (nID & 0xFFF0) == IDM_ABOUT_BOX opens the About box; anything else is the
  // system's own command.
  void OnSysCommand(UINT nID, LPARAM lParam) override;
  // A double-click on the background opens the About box.
  void OnLButtonDblClk(UINT nFlags, POINT point) override;
  // F1 opens the About box too: window managers keep Alt+Space, which would
  // open the dialog's own system menu, for their window menu.
  void OnHelp();
  // Draws the icon while minimised (called from paintEvent).
  void OnPaint();
  // The image shown while the minimised window is dragged.
  QIcon OnQueryDragIcon() const;

  void OnStart();
  void OnStop();
  void OnList();
  void ClearList();
  // The shared handler of the TCP, UDP and ICMP boxes: reads all three flags.
  void OnCheckProtocol();
  // One engine notice (WM_ENGINE_NOTIFY): wParam is the EngineNotice, which
  // this frees, with its record unless the list took it. A slice of one.
  LRESULT OnEngineNotify(WPARAM wParam, LPARAM lParam);
  // Notices in posting order, each handled as OnEngineNotify alone would
  // handle it, except that the list gathers the rows and shows them at its
  // own pace (CPacketList), so what the list shows at each paint is what
  // handling the notices one at a time would have shown. The notify queue
  // handles each notice as it comes and asks the list to show what it
  // gathered at the end of each slice: the same thing.
  void OnEngineNotices(std::span<EngineNotice* const> notices);
  // NM_CLICK and LVN_ITEMCHANGED of the packet list: the first selected row's
  // bytes go to the hex view. *pResult, if given, is set to 0.
  void OnClickList(LRESULT* pResult = nullptr);
  void OnItemChangedList(LRESULT* pResult = nullptr);

  // The window the engine posts its notices to.
  HWND GetNotifyWindow() const { return m_notifyQueue.hwnd(); }

  // Members in the order the dialog relies on for construction and destruction.
  CHexView m_hexView;
  CComboBox m_comboAddr;
  CPacketList m_listPacket;
  int m_bIcmp;
  int m_bTcp;
  int m_bUdp;
  WindowQueue m_notifyQueue;  // before m_engine: destroyed after its thread is joined
  CCaptureEngine m_engine;
  std::mutex m_csList;  // held around each insert into and each clearing of the list
  QIcon m_hIcon;

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  void ShowSelectedRow(LRESULT* pResult);
  // Handles one notice and frees it: buttons at once; a record the filter
  // takes goes to the list's gathered rows (after the clear the 501-row rule
  // asks for), any other is freed.
  void TakeEngineNotice(EngineNotice* pNotice);
};
