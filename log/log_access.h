// What the user who started the run could do without its elevation, asked
// of the token's linked token through ntdll. A log
// path from logtool.ini is that user's choice: an elevated run takes it only
// where the user could have written too.
#pragma once
#include <windows.h>

#include "common/handle.h"
#include "log/log_format.h"

class UnelevatedUser {
 public:
  UnelevatedUser() = default;
  UnelevatedUser(const UnelevatedUser&) = delete;
  UnelevatedUser& operator=(const UnelevatedUser&) = delete;

  // Reads the process token: whether it is elevated (taken as so when it
  // cannot be read) and, if it is, its linked token.
  void Read();
  bool elevated() const { return elevated_; }
  // Whether the user may have `access` to what `object` is open on (with
  // READ_CONTROL), judged by the descriptor read through that handle.
  UserAnswer May(HANDLE object, ACCESS_MASK access) const;

 private:
  bool elevated_ = true;
  UserAnswer withoutToken_ = UserAnswer::kUnknown;  // the answer while linked_ is empty
  KernelHandle linked_;
};

// For tests: when set, answers for the linked token (Wine keeps no
// descriptors to judge by).
extern UserAnswer (*logUserAnswerForTest)(HANDLE object, ACCESS_MASK access);
