#include "config/UpgradeListener.h"

namespace gw {

// The hand-over is not supported on Windows (see TUpgradeChannel): nothing listens.
struct TUpgradeListener::TState {
  std::string Path;
};

TUpgradeListener::TUpgradeListener(const std::string&, TLogProc ALog)
    : FLog(std::move(ALog)), FState(std::make_unique<TState>()) {}

TUpgradeListener::~TUpgradeListener() = default;

const std::string& TUpgradeListener::Path() const { return FState->Path; }

void TUpgradeListener::Start(THandler) {}

void TUpgradeListener::Stop() {}

void TUpgradeListener::Retire() {}

void TUpgradeListener::Execute() {}

}  // namespace gw
