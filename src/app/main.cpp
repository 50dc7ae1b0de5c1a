// The framework's entry point: one QApplication, then the application object's
// InitInstance, which runs the main dialog; the process ends when it returns.
#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>

#include "app/monitorapp.h"
#include "platform/ui/dialogtemplate.h"
#include "res/resource.h"
#include "res/version.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The application title is the executable's name, which Qt has already taken
  // as the application name; the version comes from the version record.
  QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersionText));
  QGuiApplication::setDesktopFileName(QStringLiteral("morvane"));
  QApplication::setWindowIcon(LoadIconResource(IDR_MAIN_ICON));
  theApp.InitInstance();
  return 0;
}
