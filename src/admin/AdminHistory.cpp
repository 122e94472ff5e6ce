#include "admin/AdminHistory.h"

#include "admin/JsonWriter.h"

namespace gw {

bool TAdminHistory::Due(uint64_t NowMs) const {
  std::lock_guard<std::mutex> guard(FLock);
  return !FAny || NowMs - FLastMs >= uint64_t{kIntervalSeconds} * 1000;
}

void TAdminHistory::Add(const TSample& Sample, uint64_t NowMs) {
  std::lock_guard<std::mutex> guard(FLock);
  FSamples.push_back(Sample);
  // One more than the points shown: the oldest rate needs the sample before it.
  while (FSamples.size() > kSamples + 1) FSamples.pop_front();
  FLastMs = NowMs;
  FAny = true;
}

size_t TAdminHistory::Size() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSamples.size();
}

void TAdminHistory::Write(TJsonWriter& Writer) const {
  std::lock_guard<std::mutex> guard(FLock);
  // A counter that went back (a new server after a restart of the service) gives 0, not a
  // huge negative rate.
  const auto rate = [](uint64_t from, uint64_t to, double seconds) {
    return to < from || seconds <= 0 ? 0.0 : static_cast<double>(to - from) / seconds;
  };
  const auto series = [&](const char* name, auto value) {
    Writer.Key(name).BeginArray();
    for (size_t i = 1; i < FSamples.size(); ++i) value(FSamples[i - 1], FSamples[i]);
    Writer.EndArray();
  };
  Writer.BeginObject();
  Writer.Key("interval").Integer(kIntervalSeconds);
  series("time", [&](const TSample&, const TSample& b) { Writer.Number(b.Time); });
  series("sessions", [&](const TSample&, const TSample& b) { Writer.Integer(b.Sessions); });
  series("messages_in_per_s", [&](const TSample& a, const TSample& b) {
    Writer.Number(rate(a.MessagesIn, b.MessagesIn, b.Time - a.Time));
  });
  series("messages_out_per_s", [&](const TSample& a, const TSample& b) {
    Writer.Number(rate(a.MessagesOut, b.MessagesOut, b.Time - a.Time));
  });
  Writer.Key("refused_per_s").BeginObject();
  for (size_t r = 0; r < kRefusalReasons.size(); ++r) {
    series(std::string(kRefusalReasons[r]).c_str(), [&](const TSample& a, const TSample& b) {
      Writer.Number(rate(a.Refused[r], b.Refused[r], b.Time - a.Time));
    });
  }
  Writer.EndObject();
  Writer.EndObject();
}

}  // namespace gw
