// hexview_demo FILE [PNG]: shows the first 64 KiB of FILE in one hex view set up
// as the main dialog sets it up. With PNG, renders the window into that image
// and exits instead of running (for a look at the view without a display).
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

#include "hexview/hexview.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: hexview_demo FILE [PNG]\n");
    return 2;
  }
  QFile file(QString::fromLocal8Bit(argv[1]));
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "hexview_demo: cannot open %s\n", argv[1]);
    return 1;
  }
  constexpr qint64 kMaxBytes = 64 * 1024;
  const QByteArray bytes = file.read(kMaxBytes);

  QWidget window;
  window.setWindowTitle(QStringLiteral("hexview_demo - %1").arg(QString::fromLocal8Bit(argv[1])));
  auto* pLayout = new QVBoxLayout(&window);
  auto* pView = new CHexView(&window);
  // The main dialog's set-up: a child with a vertical bar and a tab stop.
  pView->SetWindowStyle(WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP);
  pView->SetOptions(TRUE, TRUE, TRUE, TRUE);
  pView->SetBytesPerRow(16);
  pView->SetAllowTyping(FALSE);
  pLayout->addWidget(pView);
  window.resize(620, 420);
  window.show();
  pView->SetData(reinterpret_cast<const BYTE*>(bytes.constData()), static_cast<UINT>(bytes.size()));
  pView->setFocus();

  if (argc >= 3) {
    const QString strPng = QString::fromLocal8Bit(argv[2]);
    QTimer::singleShot(0, &window, [&window, pView, strPng] {
      pView->SetSelection(5, 40);
      window.grab().save(strPng);
      QApplication::quit();
    });
  }
  // Returning from main destroys the QApplication normally, which on X11 hands
  // a copied selection to a running clipboard manager.
  return app.exec();
}
