// The optional sign of life for a long check-out and extraction: a small
// window with the installer's name, one line of text and a progress bar.
// Nothing is shown, and nothing loaded, unless the work is still running a
// second after it began.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/handle.h"
#include "common/path.h"
#include "common/progress.h"

// The working thread counts bytes through the sink; once the second has
// passed, a window thread of its own draws the window and reads the count
// every redraw. The count is all the two threads share, so the copy and
// extraction never wait for drawing, and the window still redraws while a
// single write stalls.
class ProgressWindow : public ProgressSink {
 public:
  ProgressWindow();
  ~ProgressWindow() { Close(); }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Starts the clock for `total` bytes (checked out plus extracted).
  void Begin(uint64_t total);
  // Takes the window down, if it is shown, and waits until it is gone.
  void Close();

 private:
  static void Count(ProgressSink* self, uint32_t bytes);
  static DWORD WINAPI Run(void* self);
  void Show();

  bool begun_ = false;
  bool showAttempted_ = false;
  DWORD start_ = 0;
  uint64_t done_ = 0;
  uint32_t unitShift_ = 0;  // bytes to bar units, so that the range fits 31 bits
  volatile LONG shownUnits_ = 0;
  LONG totalUnits_ = 0;
  wchar_t title_[kPathCapacity] = {};
  KernelHandle closing_;
  KernelHandle thread_;
};
