// What the speed-hack dialog shows, when its save button is enabled, what "恢复默认设置(&C)"
// puts into the fields and what "保存启用设置(&O)" stores. No widget involved.
#pragma once

#include <string>

#include "console/SpinRange.h"

namespace gw {

class TGateWayConfigure;

struct THookCheckFields {
  bool StartWalkCheck = false;
  bool StartRunCheck = false;
  bool StartHitCheck = false;
  bool StartSpellCheck = false;
  bool StartWarning = false;
  int IncErrorCount = 5;
  int DecErrorCount = 1;
  std::string ErrMsg;
};

class THookCheckModel {
 public:
  static constexpr TSpinRange kCountRange{1, 500, 1};
  static constexpr int kErrMsgMaxChars = 255;
  static const char* const kDefaultErrMsg;

  // Fills the fields from the configuration; the save button starts disabled.
  void Load(const TGateWayConfigure& config);
  // The fields "恢复默认设置(&C)" sets; enables saving, stores nothing.
  void RestoreDefaults();
  // A change of a spin field, of the text or of "开启加速提示" enables saving;
  // the four control boxes alone do not.
  void MarkChanged() { FCanSave = true; }
  // Stores the fields (the caller saves the configuration) and disables saving.
  void Store(TGateWayConfigure& config);

  bool CanSave() const { return FCanSave; }
  THookCheckFields& Fields() { return FFields; }
  const THookCheckFields& Fields() const { return FFields; }

 private:
  THookCheckFields FFields;
  bool FCanSave = false;
};

}  // namespace gw
