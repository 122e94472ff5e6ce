// How the main window's log view shows lines: the colours of each level and the size at which
// the view is emptied whole before the next batch. Pure functions, safe from any thread.
#pragma once

#include <QColor>

#include "logging/LogLevel.h"

namespace gw {

struct TLogColors {
  QColor Text;
  QColor Back;
};

// The view is emptied at the start of a pass when it holds this many lines or more.
constexpr int kLogViewMaxLines = 500;

inline bool LogViewMustEmpty(int viewLines) { return viewLines >= kLogViewMaxLines; }

// llMessage black on white, llFatal and llError white on red, llWarning black on yellow,
// llDebug white on blue; anything else as information.
TLogColors LogLevelColors(TLogLevel level);

}  // namespace gw
