// The string table (language 2052). There is no entry 57344, so the application
// title is the executable's name.
#include <array>

#include "res/resource.h"
#include "res/restypes.h"

namespace {

struct StringEntry {
  UINT nID;
  const char* pszText;
};

constexpr std::array<StringEntry, 2> kStrings{{
    {IDS_ABOUT_MENU_ITEM, "关于 Tessaly(&A)..."},
    {IDS_SOCKET_INIT_FAILED, "Windows 通信端口初始化失败。"},
}};

}  // namespace

const char* FindStringResource(UINT nID) {
  for (const StringEntry& entry : kStrings) {
    if (entry.nID == nID) return entry.pszText;
  }
  return nullptr;
}
