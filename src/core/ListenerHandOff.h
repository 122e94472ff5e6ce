// TListenerHandOff: the running gateway's side of a binary upgrade by listener hand-over. A
// new process started with --take-over in the same work folder connects (TUpgradeChannel),
// says "HELLO 1 <pid>", and gets "LISTENERS <pid> <n>" with the listening sockets (the
// client port's n first, then the metrics port's), or "REFUSED <why>" when this gateway does
// not serve (it drains, stops, or handed its listeners over already). This gateway goes on
// accepting while the new one starts. When the new one can serve (its logic link is up) it
// says "DRAIN": this gateway stops accepting for good, gives the upgrade name up, starts its
// drain (its sessions stay until they leave or the drain's time is over) and answers
// "DRAINING"; the new one accepts from then on. A new process that ends or falls silent
// before "DRAIN" changes nothing here.
//
// Thread safety: the requests are served on the upgrade listener's thread; construction and
// destruction belong to the front-end's thread (destroy it before stopping the service).
#pragma once

#include <memory>
#include <string>

#include "config/UpgradeListener.h"

namespace gw {

class TServiceControl;

class TListenerHandOff {
 public:
  // Listens on the name of AWorkFolder; throws when it cannot (see TUpgradeListener).
  TListenerHandOff(TServiceControl& Service, const std::string& AWorkFolder);
  ~TListenerHandOff();
  TListenerHandOff(const TListenerHandOff&) = delete;
  TListenerHandOff& operator=(const TListenerHandOff&) = delete;

 private:
  void Serve(TUpgradeChannel& Channel);

  TServiceControl& FService;
  std::unique_ptr<TUpgradeListener> FListener;
};

}  // namespace gw
