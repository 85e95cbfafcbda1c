#include "app/progress_window.h"

#include <commctrl.h>

#include "app/version_string.h"
#include "common/text.h"

namespace {

constexpr DWORD kShowAfterTicks = 1000;
constexpr DWORD kRedrawTicks = 50;
constexpr int kWidth = 380, kHeight = 112;
constexpr wchar_t kWhatItDoes[] = L"Preparing the installation files...";

// The file's own name: the title when it carries no ProductName.
void OwnFileName(wchar_t* out, size_t capacity) {
  wchar_t path[kPathCapacity] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (length >= kPathCapacity) length = 0;
  size_t start = length;
  while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/') --start;
  CopyText(out, capacity, path + start, length - start);
}

void ProductName(wchar_t* out, size_t capacity) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* resource = loaded ? LockResource(loaded) : nullptr;
  if (resource &&
      VersionString(static_cast<const uint8_t*>(resource), SizeofResource(nullptr, found), "ProductName", out,
                    capacity))
    return;
  OwnFileName(out, capacity);
}

template <typename Function>
bool Find(HMODULE module, const char* name, Function* function) {
  *function = module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                     : nullptr;
  return *function != nullptr;
}

// The user32 and comctl32 calls the window makes, looked up when it is due:
// the stub imports neither, so a run without the window never maps them.
struct WindowCalls {
  decltype(&CreateWindowExW) createWindow;
  decltype(&SendMessageW) sendMessage;
  decltype(&MsgWaitForMultipleObjects) waitForMessages;
  decltype(&PeekMessageW) peekMessage;
  decltype(&DispatchMessageW) dispatchMessage;
  decltype(&DestroyWindow) destroyWindow;
  decltype(&GetSystemMetrics) systemMetrics;
  decltype(&InitCommonControlsEx) initControls;

  bool Load() {
    // Kept loaded for the rest of the process: unloading user32 under a
    // thread that used it is not safe, and the run ends soon anyway.
    HMODULE user = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE controls = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return Find(user, "CreateWindowExW", &createWindow) && Find(user, "SendMessageW", &sendMessage) &&
           Find(user, "MsgWaitForMultipleObjects", &waitForMessages) &&
           Find(user, "PeekMessageW", &peekMessage) && Find(user, "DispatchMessageW", &dispatchMessage) &&
           Find(user, "DestroyWindow", &destroyWindow) && Find(user, "GetSystemMetrics", &systemMetrics) &&
           Find(controls, "InitCommonControlsEx", &initControls);
  }
};

}  // namespace

ProgressWindow::ProgressWindow() { add = Count; }

void ProgressWindow::Begin(uint64_t total) {
  while ((total >> unitShift_) > 0x7FFFFFFF) ++unitShift_;
  totalUnits_ = static_cast<LONG>(total >> unitShift_);
  start_ = GetTickCount();
  begun_ = true;
}

void ProgressWindow::Count(ProgressSink* sink, uint32_t bytes) {
  ProgressWindow* self = static_cast<ProgressWindow*>(sink);
  if (!self->begun_) return;
  self->done_ += bytes;
  // One aligned 32-bit store: the window thread reads it whole.
  self->shownUnits_ = static_cast<LONG>(self->done_ >> self->unitShift_);
  if (!self->showAttempted_ && GetTickCount() - self->start_ >= kShowAfterTicks) self->Show();
}

void ProgressWindow::Show() {
  showAttempted_ = true;
  ProductName(title_, kPathCapacity);
  closing_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!closing_.valid()) return;
  thread_.reset(CreateThread(nullptr, 64 * 1024, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

void ProgressWindow::Close() {
  begun_ = false;
  if (!thread_.valid()) return;
  SetEvent(closing_.get());
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
}

DWORD WINAPI ProgressWindow::Run(void* parameter) {
  ProgressWindow* self = static_cast<ProgressWindow*>(parameter);
  WindowCalls calls;
  if (!calls.Load()) return 0;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  calls.initControls(&controls);
  const int x = (calls.systemMetrics(SM_CXSCREEN) - kWidth) / 2;
  const int y = (calls.systemMetrics(SM_CYSCREEN) - kHeight) / 2;
  // The dialog class paints its own background and needs no window
  // procedure of ours; without a system menu the caption has no buttons.
  HWND frame = calls.createWindow(WS_EX_DLGMODALFRAME, L"#32770", self->title_, WS_POPUP | WS_CAPTION | WS_VISIBLE,
                                  x, y, kWidth, kHeight, nullptr, nullptr, nullptr, nullptr);
  if (!frame) return 0;
  calls.createWindow(0, L"STATIC", kWhatItDoes, WS_CHILD | WS_VISIBLE, 14, 12, kWidth - 34, 20, frame, nullptr,
                     nullptr, nullptr);
  HWND bar = calls.createWindow(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 14, 38, kWidth - 34, 20, frame,
                                nullptr, nullptr, nullptr);
  calls.sendMessage(bar, PBM_SETRANGE32, 0, self->totalUnits_);
  HANDLE closing = self->closing_.get();
  for (;;) {
    calls.sendMessage(bar, PBM_SETPOS, static_cast<WPARAM>(self->shownUnits_), 0);
    MSG message;
    while (calls.peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) calls.dispatchMessage(&message);
    if (calls.waitForMessages(1, &closing, FALSE, kRedrawTicks, QS_ALLINPUT) == WAIT_OBJECT_0) break;
  }
  calls.destroyWindow(frame);
  return 0;
}
