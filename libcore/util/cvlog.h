#pragma once
// Messages of the library and the tools.
//
// cvlog_send is the one way the library reports errors and progress. The tools never
// configure log files, so a message of type CVLOG_MESSAGE, CVLOG_REMOTEADMIN or CVLOG_ERROR
// is written to standard error exactly as formatted (no time stamp, no newline added),
// a CVLOG_DEBUG message is dropped, and any other type is dropped. Safe to call from any
// thread; each message is written with one stdio call, so lines from two threads do not
// interleave within a message.

enum cvlog_type : int {
  CVLOG_MESSAGE = 1,
  CVLOG_REMOTEADMIN = 2,
  CVLOG_DEBUG = 3,
  CVLOG_ERROR = 4,
};

void cvlog_send(int type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Silent mode drops every message. Off unless a caller turns it on.
void cvlog_set_silent(bool silent);
