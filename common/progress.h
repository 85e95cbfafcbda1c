// Bytes done by a long job, for a sign of life. The working thread reports
// each chunk; what is done with the count is the sink's business. Pure: no
// <windows.h>.
#pragma once
#include <stdint.h>

struct ProgressSink {
  void (*add)(ProgressSink* self, uint32_t bytes);
};

inline void AddProgress(ProgressSink* sink, uint32_t bytes) {
  if (sink) sink->add(sink, bytes);
}
