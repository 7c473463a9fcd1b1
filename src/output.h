// SPDX-License-Identifier: MIT
// Standard output's reader going away, told the same way on every
// platform.
#pragma once

// What a shell shows for a program ended by SIGPIPE, so that scripts see
// the same status on every platform when the reader goes away.
inline constexpr int exit_reader_gone = 141;

// Forgets earlier errors (errno, and Windows' last error), so that a
// failed write that follows is told by its own cause. Call it before each
// write whose failure output_reader_gone may judge.
void clear_output_error();

// After a failed write to standard output: whether it failed because
// nobody reads any more (a broken pipe) rather than, say, a full disk.
bool output_reader_gone();
