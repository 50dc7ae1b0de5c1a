#include "platform/netcaps.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Sets the calling thread's effective and permitted state of both capabilities.
bool SetNetCaps(bool bPermitted, bool bEffective) {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) return false;
  cap_value_t list[] = {CAP_NET_RAW, CAP_NET_ADMIN};
  cap_set_flag(caps, CAP_EFFECTIVE, 2, list, bEffective ? CAP_SET : CAP_CLEAR);
  cap_set_flag(caps, CAP_PERMITTED, 2, list, bPermitted ? CAP_SET : CAP_CLEAR);
  const bool bOk = cap_set_proc(caps) == 0;
  cap_free(caps);
  return bOk;
}

bool IsPermitted(cap_value_t nCap) {
  cap_t caps = cap_get_proc();
  cap_flag_value_t v = CAP_CLEAR;
  cap_get_flag(caps, nCap, CAP_PERMITTED, &v);
  cap_free(caps);
  return v == CAP_SET;
}

TEST(ScopedNetCaps, RaisesWhatIsPermittedAndRestoresTheEffectiveSet) {
  if (!IsPermitted(CAP_NET_RAW) || !IsPermitted(CAP_NET_ADMIN)) GTEST_SKIP() << "needs both capabilities permitted";
  const struct {
    const char* pszName;
    bool bPermitted, bEffective;  // at the start
    bool bInside;                 // effective inside the scope
  } cases[] = {
      {"permitted only (setcap +p)", true, false, true},
      {"already effective (root)", true, true, true},
      {"not permitted", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    // Capability sets belong to a thread: each case gets a fresh one, so
    // dropping a permitted capability does not outlive the case.
    std::thread([&] {
      ASSERT_TRUE(SetNetCaps(c.bPermitted, c.bEffective));
      {
        ScopedNetCaps raised;
        EXPECT_EQ(IsCapabilityEffective(CAP_NET_RAW), c.bInside);
        EXPECT_EQ(IsCapabilityEffective(CAP_NET_ADMIN), c.bInside);
      }
      EXPECT_EQ(IsCapabilityEffective(CAP_NET_RAW), c.bEffective);
      EXPECT_EQ(IsCapabilityEffective(CAP_NET_ADMIN), c.bEffective);
    }).join();
  }
  // Other threads never saw a change.
  EXPECT_TRUE(IsPermitted(CAP_NET_RAW));
}

}  // namespace
