#include "platform/platform.h"

namespace zel::platform {

namespace {
Platform* g_installed = nullptr;
NoticeHandler g_handler = nullptr;
}  // namespace

Platform& Current() {
  return g_installed ? *g_installed : Native();
}

void Install(Platform* platform) {
  g_installed = platform;
}

void SetNoticeHandler(NoticeHandler handler) {
  g_handler = handler;
}

bool ShowNotice(const char* title, const char* text, int flags) {
  if (g_handler) return g_handler(title, text, (flags & kNoticeYesNo) ? 1 : 0) == 1;
  return Current().Notice(title, text, flags);
}

}  // namespace zel::platform
