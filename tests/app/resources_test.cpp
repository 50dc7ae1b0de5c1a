// The resource tables: texts the user sees, the two templates' identities, the
// icon images and the version metadata.
#include <gtest/gtest.h>

#include <QtCore/QFile>
#include <QtCore/QSettings>
#include <QtGui/QImage>
#include <set>
#include <string_view>

#include "apptest.h"
#include "res/resource.h"
#include "res/restypes.h"
#include "res/version.h"

namespace {

TEST(Resources, StringTable) {
  struct Case { UINT nID; const char* pszExpected; };
  const Case cases[] = {
      {IDS_ABOUT_MENU_ITEM, "关于 Tessaly(&A)..."},
      {IDS_SOCKET_INIT_FAILED, "Windows 通信端口初始化失败。"},
      {57344, nullptr},  // no title string: the title is the executable's name
      {102, nullptr},
  };
  for (const Case& c : cases) {
    const char* psz = FindStringResource(c.nID);
    if (!c.pszExpected) {
      EXPECT_EQ(psz, nullptr) << c.nID;
    } else {
      ASSERT_NE(psz, nullptr) << c.nID;
      EXPECT_STREQ(psz, c.pszExpected);
    }
  }
}

TEST(Resources, DialogTemplatesAndTheirIds) {
  const DialogTemplate* pMain = FindDialogTemplate(IDD_MONITOR_DIALOG);
  const DialogTemplate* pAbout = FindDialogTemplate(IDD_ABOUT_DIALOG);
  ASSERT_TRUE(pMain && pAbout);
  EXPECT_EQ(FindDialogTemplate(101), nullptr);
  EXPECT_EQ(std::string_view(pMain->pszCaption), std::string("Tessaly on ") + kProductWebAddress);
  EXPECT_STREQ(pAbout->pszCaption, "关于 Morvane");
  EXPECT_EQ(pMain->dwStyle, 0x90CA0040u);
  EXPECT_EQ(pAbout->dwStyle, 0x80C800C0u);
  // Ids other than -1 are unique within a template (GetDlgItem finds one control).
  for (const DialogTemplate* pTmpl : {pMain, pAbout}) {
    std::set<int> ids;
    for (const ControlTemplate& ctl : pTmpl->controls) {
      if (ctl.nID != IDC_STATIC) {
        EXPECT_TRUE(ids.insert(ctl.nID).second) << ctl.nID;
      }
      // Every control lies inside its dialog.
      EXPECT_LE(ctl.x + ctl.cx, pTmpl->cx) << ctl.nID;
      EXPECT_LE(ctl.y + ctl.cy, pTmpl->cy) << ctl.nID;
    }
  }
}

TEST(Resources, IconImagesAre16ColoursAtBothSizes) {
  apptest::App();
  for (int nPx : {32, 16}) {
    const QImage image(QStringLiteral(":/icons/128/%1.png").arg(nPx));
    ASSERT_FALSE(image.isNull()) << nPx;
    EXPECT_EQ(image.size(), QSize(nPx, nPx));
    EXPECT_LE(image.colorCount(), 16);
    EXPECT_GT(image.colorCount(), 0);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "transparent corner";
  }
}

TEST(Resources, VersionMetadataAndDesktopFile) {
  EXPECT_STREQ(kVersionText, MORVANE_PROJECT_VERSION);
  EXPECT_EQ(QString("%1.%2.%3.%4").arg(kFileVersion[0]).arg(kFileVersion[1]).arg(kFileVersion[2]).arg(kFileVersion[3]),
            QString(kVersionText));
  EXPECT_STREQ(kFileVersionString, "1, 0, 0, 1");
  EXPECT_NE(std::string_view(kLegalCopyright).find("2005"), std::string_view::npos);

  QSettings desktop(QStringLiteral(MORVANE_DESKTOP_FILE), QSettings::IniFormat);
  ASSERT_EQ(desktop.status(), QSettings::NoError);
  desktop.beginGroup("Desktop Entry");
  EXPECT_EQ(desktop.value("Type").toString(), "Application");
  EXPECT_EQ(desktop.value("Name").toString(), "Morvane");
  EXPECT_EQ(desktop.value("Exec").toString(), "Morvane");
  EXPECT_EQ(desktop.value("Icon").toString(), "morvane");
  EXPECT_FALSE(desktop.value("Comment").toString().isEmpty());
}

}  // namespace
