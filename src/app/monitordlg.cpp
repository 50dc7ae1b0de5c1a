#include "app/monitordlg.h"

#include <QtGui/QPainter>
#include <QtGui/QShortcut>
#include <QtWidgets/QStyle>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/aboutdlg.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/systemmenu.h"
#include "res/resource.h"
#include "res/restypes.h"

namespace {

// The list's extended styles: whole rows highlighted, headers that can be
// dragged into another order, a row under a resting pointer selected, single
// click activation, flat scroll bars and tooltips for cut-off cells (0x578).
constexpr DWORD kListExStyle = LVS_EX_TRACKSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT |
                               LVS_EX_ONECLICKACTIVATE | LVS_EX_FLATSB | LVS_EX_INFOTIP;
static_assert(kListExStyle == 0x578);

struct ColumnSpec {
  const char* pszHeading;
  int nWidthPx;
};
// Each column goes in at index 0, in front of the previous ones, so the list
// reads prot, size, src addr, port, des addr, port, data from left to right.
constexpr ColumnSpec kColumnsInsertOrder[] = {
    {"data", 300}, {"port", 40}, {"des addr", 100}, {"port", 40},
    {"src addr", 100}, {"size", 50}, {"prot", 40},
};

void EnableControl(CDialog* pDlg, int nID, bool bEnable) {
  if (QWidget* pCtl = pDlg->GetDlgItem(nID)) pCtl->setEnabled(bEnable);
}

}  // namespace

POINT IconOriginForClient(int cxClientPx, int cyClientPx, int cxIconPx, int cyIconPx) {
  // C++ integer division truncates toward zero, as the original arithmetic does.
  return POINT{(cxClientPx - cxIconPx + 1) / 2, (cyClientPx - cyIconPx + 1) / 2};
}

CMonitorDlg::CMonitorDlg(QWidget* pParent)
    : CDialog(FindDialogTemplate(IDD_MONITOR_DIALOG), pParent),
      m_notifyQueue(
          this,
          [this](UINT nMsg, WPARAM wParam, LPARAM) {
            // Handled here, within the queue's slices; the list only
            // gathers the rows, and shows them at its pace.
            if (nMsg == WM_ENGINE_NOTIFY) TakeEngineNotice(reinterpret_cast<EngineNotice*>(wParam));
          },
          [](UINT nMsg, WPARAM wParam, LPARAM) {
            // Notices still queued when the dialog goes away are freed unread.
            if (nMsg == WM_ENGINE_NOTIFY) DeleteEngineNotice(reinterpret_cast<EngineNotice*>(wParam));
          },
          [this] { m_listPacket.ShowGathered(); }),
      m_hIcon(LoadIconResource(IDR_MAIN_ICON)) {
  m_bTcp = 1;
  m_bIcmp = 0;
  m_bUdp = 1;
  connect(&m_listPacket, &CPacketList::clickedList, this, [this] { OnClickList(); });
  connect(&m_listPacket, &CPacketList::itemChangedList, this, [this] { OnItemChangedList(); });
  auto* pHelpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(pHelpKey, &QShortcut::activated, this, [this] { OnHelp(); });
}

// Members go in reverse order: the icon, the list lock, the engine (which joins a
// running capture thread), then the notify queue (which frees what the thread
// posted last), the list (which frees the records it still holds), the combo
// box, the hex view and the dialog itself.
CMonitorDlg::~CMonitorDlg() = default;

void CMonitorDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_HEX_VIEW, m_hexView);
  DDX_Control(pDX, IDC_BIND_IP, m_comboAddr);
  DDX_Control(pDX, IDC_PACKET_LIST, m_listPacket);
  DDX_Check(pDX, IDC_ICMP, m_bIcmp);
  DDX_Check(pDX, IDC_TCP, m_bTcp);
  DDX_Check(pDX, IDC_UDP, m_bUdp);
}

BOOL CMonitorDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  if (CSystemMenu* pSysMenu = GetSystemMenu(FALSE)) {
    const char* pszAbout = FindStringResource(IDS_ABOUT_MENU_ITEM);
    const QString strAboutMenu = QString::fromUtf8(pszAbout ? pszAbout : "");
    if (!strAboutMenu.isEmpty()) {
      pSysMenu->AppendMenu(MF_SEPARATOR);
      // F1 opens the About box too (OnHelp); the menu shows it as Close shows Alt+F4.
      pSysMenu->AppendMenu(MF_STRING, IDM_ABOUT_BOX, strAboutMenu + QStringLiteral("\tF1"));
    }
  }

  // Big and small icon alike; on Linux the window icon is what shows.
  setWindowIcon(m_hIcon);

  m_listPacket.SetExtendedStyle(kListExStyle);
  for (const ColumnSpec& col : kColumnsInsertOrder) {
    m_listPacket.InsertColumn(0, QString::fromLatin1(col.pszHeading), LVCFMT_LEFT, col.nWidthPx);
  }

  m_hexView.SetOptions(TRUE, TRUE, TRUE, TRUE);
  m_hexView.SetBytesPerRow(16);
  m_hexView.SetData(nullptr, 0);
  m_hexView.SetAllowTyping(FALSE);

  OnList();
  return TRUE;  // the focus goes to the first tab stop, the address list
}

BOOL CMonitorDlg::OnCommand(UINT nID) {
  switch (static_cast<int>(nID)) {
    case IDC_START: OnStart(); return TRUE;
    case IDC_STOP: OnStop(); return TRUE;
    case IDC_LIST_IP: OnList(); return TRUE;
    case IDC_CLEAR: ClearList(); return TRUE;
    case IDC_TCP:
    case IDC_UDP:
    case IDC_ICMP: OnCheckProtocol(); return TRUE;
    default: return CDialog::OnCommand(nID);
  }
}

void CMonitorDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  if ((nID & 0xFFF0) == IDM_ABOUT_BOX) {
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
  } else {
    CDialog::OnSysCommand(nID, lParam);
  }
}

void CMonitorDlg::OnLButtonDblClk(UINT nFlags, POINT point) {
  CAboutDlg dlgAbout;
  dlgAbout.DoModal();
  CDialog::OnLButtonDblClk(nFlags, point);
}

void CMonitorDlg::OnHelp() {
  CAboutDlg dlgAbout;
  dlgAbout.DoModal();
}

void CMonitorDlg::paintEvent(QPaintEvent* pEvent) {
  if (isMinimized()) {
    OnPaint();
    return;
  }
  CDialog::paintEvent(pEvent);
}

void CMonitorDlg::OnPaint() {
  QPainter painter(this);
  // WM_ICONERASEBKGND: the background behind the icon.
  painter.fillRect(rect(), palette().window());
  const int cxIconPx = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
  const int cyIconPx = cxIconPx;
  const POINT pt = IconOriginForClient(width(), height(), cxIconPx, cyIconPx);
  m_hIcon.paint(&painter, QRect(pt.x, pt.y, cxIconPx, cyIconPx));
}

QIcon CMonitorDlg::OnQueryDragIcon() const {
  return m_hIcon;
}

void CMonitorDlg::OnOK() {}

void CMonitorDlg::OnCancel() {
  OnStop();
  ClearList();
  CDialog::OnCancel();
}

void CMonitorDlg::OnList() {
  while (m_comboAddr.DeleteString(0) != CB_ERR) {
  }
  std::vector<std::string> arr;
  EnumLocalAddresses(arr);
  for (const std::string& strAddr : arr) m_comboAddr.AddString(QString::fromLocal8Bit(strAddr));
  arr.clear();
  if (m_comboAddr.GetCount() > 0) m_comboAddr.SetCurSel(0);
}

void CMonitorDlg::OnStop() {
  m_engine.Stop();
}

void CMonitorDlg::ClearList() {
  std::lock_guard<std::mutex> lock(m_csList);
  m_listPacket.DeleteAllItems();
}

void CMonitorDlg::OnCheckProtocol() {
  UpdateData(TRUE);
}

void CMonitorDlg::OnStart() {
  const int nSel = m_comboAddr.GetCurSel();
  if (nSel == CB_ERR) {
    AfxMessageBox(QStringLiteral("Please select a binding ip firstly."));
    return;
  }
  QString strAddr;
  m_comboAddr.GetLBText(nSel, strAddr);
  const std::string strAddrText = strAddr.toLocal8Bit().toStdString();

  if (!InitSockets()) {
    AfxMessageBox(QStringLiteral("Initialize socket failed."));
    return;
  }
  if (!m_engine.Open(strAddrText.c_str(), CAPTURE_PORT)) {
    AfxMessageBox(QString::fromLocal8Bit(m_engine.GetErrorText()));
    return;
  }
  m_engine.SetNotifyWindow(m_notifyQueue.hwnd(), WM_ENGINE_NOTIFY);
  if (!m_engine.Start()) {
    AfxMessageBox(QString::fromLocal8Bit(m_engine.GetErrorText()));
    return;
  }
  EnableControl(this, IDC_START, false);
  EnableControl(this, IDC_STOP, true);
}

LRESULT CMonitorDlg::OnEngineNotify(WPARAM wParam, LPARAM) {
  EngineNotice* const pNotice = reinterpret_cast<EngineNotice*>(wParam);
  OnEngineNotices(std::span<EngineNotice* const>(&pNotice, 1));
  return 0;
}

void CMonitorDlg::OnEngineNotices(std::span<EngineNotice* const> notices) {
  for (EngineNotice* pNotice : notices) TakeEngineNotice(pNotice);
  m_listPacket.ShowGathered();
}

void CMonitorDlg::TakeEngineNotice(EngineNotice* pNotice) {
  if (!pNotice) return;
  if (pNotice->nType == NOTICE_STOPPED) {
    EnableControl(this, IDC_START, true);
    EnableControl(this, IDC_STOP, false);
  } else if (pNotice->nType == NOTICE_PACKET) {
    // The record leaves the notice here: the list takes it or it is freed now.
    PacketRecord* pRecord = std::exchange(pNotice->pRecord, nullptr);
    if (pRecord) {
      const std::string& strProt = pRecord->strProt;
      if ((strProt == "TCP" && m_bTcp) || (strProt == "UDP" && m_bUdp) ||
          (strProt == "ICMP" && m_bIcmp)) {
        // InsertPacket: the list's size rule counts the rows it will show,
        // gathered ones included, and the clear it asks for goes with them.
        std::lock_guard<std::mutex> lock(m_csList);
        if (m_listPacket.GetListedCount() > MAX_LIST_ITEMS) m_listPacket.GatherClear();
        m_listPacket.GatherRecord(pRecord);
      } else {
        DeletePacketRecord(pRecord);
      }
    }
  }
  DeleteEngineNotice(pNotice);
}

void CMonitorDlg::OnClickList(LRESULT* pResult) {
  ShowSelectedRow(pResult);
}

void CMonitorDlg::OnItemChangedList(LRESULT* pResult) {
  ShowSelectedRow(pResult);
}

void CMonitorDlg::ShowSelectedRow(LRESULT* pResult) {
  const int nItem = m_listPacket.GetNextItem(-1, LVNI_SELECTED);
  if (nItem < 0) return;
  const PacketRecord* pRecord = m_listPacket.GetItemData(nItem);
  if (pRecord && pRecord->pData) {
    // Exactly the payload bytes the block holds (wSize, the datagram's size,
    // counts headers and may exceed the block); bounded so the view never
    // reads past the block whatever a record says.
    const UINT nLength = static_cast<UINT>(std::clamp(pRecord->nDataLen, 0, PACKET_BUFFER_SIZE));
    m_hexView.SetData(pRecord->pData, nLength);
  }
  if (pResult) *pResult = 0;
}
