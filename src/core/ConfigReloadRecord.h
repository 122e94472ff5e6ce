// TConfigReloadRecord: the outcome and time of the last settings load (the service's start
// and every reload: SIGHUP, the console, the control channel), for the metrics an operator
// alerts on. Whoever loads the settings records the attempt once it knows whether it
// worked. Thread safety: every function is safe from any thread.
#pragma once

namespace gw {

class TConfigReloadRecord {
 public:
  struct TState {
    bool Recorded = false;  // no load attempted yet
    bool Successful = false;
    double TimestampSeconds = 0;  // since the Unix epoch
  };

  static void Record(bool Successful);
  static TState Last();
};

// Records a load of the settings that succeeded or failed; any thread.
inline void RecordConfigReload(bool Successful) { TConfigReloadRecord::Record(Successful); }

}  // namespace gw
