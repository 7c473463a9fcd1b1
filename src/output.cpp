// SPDX-License-Identifier: MIT
#include "output.h"

#include <cerrno>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

void clear_output_error() {
  errno = 0;
#ifdef _WIN32
  SetLastError(ERROR_SUCCESS);
#endif
}

bool output_reader_gone() {
#ifdef _WIN32
  // The C runtime does not tell a broken pipe apart; Windows does.
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
         error == ERROR_PIPE_NOT_CONNECTED;
#else
  return errno == EPIPE;
#endif
}
