#include "diag/crash_handler.h"

#include "platform/clock.h"
#include "platform/crash_hook.h"
#include "platform/file.h"

namespace cvn {

std::u16string CrashDumpsFolder() {
  const std::u16string base = platform::CommonAppDataFolder();
  if (base.empty()) return {};
  std::u16string folder = platform::WithTrailingSeparator(base);
  for (std::u16string_view part : {u"Halvorn", u"Corvane 3", u"CrashDumps"}) {
    folder.append(part).push_back(platform::kPathSeparator);
  }
  return folder;
}

bool InstallCrashHandler(const std::u16string& folder) {
  char stem[32];
  platform::CrashText text(stem, sizeof stem);
  text.Add("CVNSvc-").Dec(platform::TickCount() % 1000000, 6);
  platform::CrashHookSetup setup;
  setup.folder = folder;
  setup.file_stem = stem;
  setup.version = CVN_PRODUCT_VERSION;
  return platform::InstallCrashHook(setup);
}

void UninstallCrashHandler() { platform::UninstallCrashHook(); }

}  // namespace cvn
