#include "platform/netcaps.h"

#include <array>

namespace {
constexpr std::array<cap_value_t, 2> kNetCaps = {CAP_NET_RAW, CAP_NET_ADMIN};
}

ScopedNetCaps::ScopedNetCaps() {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) return;
  bool bRaise = false;
  for (cap_value_t nCap : kNetCaps) {
    cap_flag_value_t bPermitted = CAP_CLEAR;
    cap_flag_value_t bEffective = CAP_CLEAR;
    cap_get_flag(caps, nCap, CAP_PERMITTED, &bPermitted);
    cap_get_flag(caps, nCap, CAP_EFFECTIVE, &bEffective);
    if (bPermitted == CAP_SET && bEffective == CAP_CLEAR) bRaise = true;
  }
  if (!bRaise) {
    cap_free(caps);
    return;
  }
  cap_t capsRaised = cap_dup(caps);
  if (capsRaised == nullptr) {
    cap_free(caps);
    return;
  }
  for (cap_value_t nCap : kNetCaps) {
    cap_flag_value_t bPermitted = CAP_CLEAR;
    cap_get_flag(caps, nCap, CAP_PERMITTED, &bPermitted);
    if (bPermitted == CAP_SET) cap_set_flag(capsRaised, CAP_EFFECTIVE, 1, &nCap, CAP_SET);
  }
  if (cap_set_proc(capsRaised) == 0)
    m_capsBefore = caps;
  else
    cap_free(caps);
  cap_free(capsRaised);
}

ScopedNetCaps::~ScopedNetCaps() {
  if (m_capsBefore == nullptr) return;
  cap_set_proc(m_capsBefore);
  cap_free(m_capsBefore);
}

bool DropEffectiveCapabilities() {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) return false;
  const bool bDropped = cap_clear_flag(caps, CAP_EFFECTIVE) == 0 && cap_set_proc(caps) == 0;
  cap_free(caps);
  return bDropped;
}

bool IsCapabilityEffective(cap_value_t nCap) {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) return false;
  cap_flag_value_t bEffective = CAP_CLEAR;
  cap_get_flag(caps, nCap, CAP_EFFECTIVE, &bEffective);
  cap_free(caps);
  return bEffective == CAP_SET;
}
