// The console module's seam with the system: raw writes to a stream that may
// be a terminal or a Windows console, and the standard streams themselves.
// One implementation per platform; the printing and the progress line stand
// above it and never call each other through it.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes `length` bytes of UTF-8 text, after whatever the stream still
// buffers; a console gets them as UTF-16. Failures are dropped: text that
// cannot be shown must never stop a run.
void write_text(std::FILE* stream, const char* text, std::size_t length);
// Writes straight to standard error, through no buffer and no lock: the
// one write a signal handler may make.
void write_error_raw(const char* text, std::size_t length);
// The width in columns of the terminal or console the stream writes to, or
// 0 when it is none or does not tell.
std::size_t terminal_columns(std::FILE* stream);
// Puts the stream on the null device.
void send_to_null_device(std::FILE* stream);
// Makes standard output write where standard error writes.
void join_output_to_errors();
// How many processes share this process's console, itself included: 0 when
// it has none or the system has no such thing.
unsigned console_process_count();
