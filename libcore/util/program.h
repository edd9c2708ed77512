#pragma once
// Program start-up and shut-down that every command-line tool of the suite shares.
//
//   int main(int argc, char** argv) {
//     cv_program_init();
//     return cv_program_run([&] { return tool_main(argc, argv); });
//   }
//
// cv_program_init makes the standard descriptors safe to use: a descriptor 0, 1 or 2 that
// the caller left closed ("prog >&-") is opened on /dev/null, so that the first file the tool
// opens cannot become descriptor 1 and receive what the tool prints to standard output. It
// also ignores SIGXFSZ, so that a write past the file-size limit (ulimit -f) fails with
// EFBIG and goes through the tool's ordinary write-error path (message, temporary file
// removed, exit status 1) instead of killing the process with a partial output.
//
// cv_program_run is the one place where running out of memory is handled: std::bad_alloc
// that escapes the tool's body prints "out of memory" on standard error and gives exit
// status 1. The body's objects are destroyed on the way out, so its unfinished outputs are
// removed as on any other failure.
//
// Thread safety: call these from the main thread, before starting any other thread.

#include <new>
#include <utility>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, and ignores SIGXFSZ.
// Returns false when a closed standard descriptor could not be reopened (the tool should
// then exit 1: it has nowhere safe to write).
bool cv_program_init();

// Writes "out of memory\n" on standard error, using no memory of its own.
void cv_program_report_out_of_memory();

// Runs `body` (returning the exit status); std::bad_alloc escaping it is reported with
// cv_program_report_out_of_memory and turns into exit status 1.
template <typename Body>
int cv_program_run(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    cv_program_report_out_of_memory();
    return 1;
  }
}

// Flushes and closes standard output, as the last thing a program does with it (after -h or
// -v too: a help text lost on a full disk is a failed run). On failure writes
// "Error writing standard output: %s\n" (system error text) on standard error and returns
// false. Nothing may be written to standard output afterwards.
bool cv_stdout_close_checked();
