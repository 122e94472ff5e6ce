#include "console/LogViewStyle.h"

namespace gw {

TLogColors LogLevelColors(TLogLevel level) {
  switch (level) {
    case llFatal:
    case llError:
      return {Qt::white, Qt::red};
    case llWarning:
      return {Qt::black, Qt::yellow};
    case llDebug:
      return {Qt::white, Qt::blue};
    case llMessage:
      break;
  }
  return {Qt::black, Qt::white};
}

}  // namespace gw
