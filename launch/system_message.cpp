#include "launch/system_message.h"

#include "common/text.h"

wchar_t* ShapeSystemMessage(wchar_t (&out)[kErrorTextChars], const wchar_t* text, size_t length) {
  out[0] = 0;
  // 14 units of the log line's own text stand beside the message.
  if (!text || length == 0 || length + 14 > kErrorTextChars) return out;
  // System messages end in CR LF; drop exactly that line break and nothing
  // else, so a short or unterminated text is not cut into.
  if (length && text[length - 1] == L'\n') --length;
  if (length && text[length - 1] == L'\r') --length;
  CopyText(out, kErrorTextChars, text, length);
  return out;
}
