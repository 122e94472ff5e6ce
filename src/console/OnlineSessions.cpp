#include "console/OnlineSessions.h"

namespace gw {

std::string SessionStateText(const TOnlineSession& session) {
  if (!session.TokenChecked) return "等待验证";
  switch (session.Step) {
    case ssLogin:
      return "登录中";
    case ssGame:
      return "游戏中";
    case ssNone:
      break;
  }
  return "空闲";
}

}  // namespace gw
