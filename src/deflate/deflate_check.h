#pragma once
// Consistency conditions of the compressor. A release build (NDEBUG) compiles
// them to nothing; a debug build reports a broken condition with its text and
// stops, since the output would no longer be trustworthy.

namespace tessel {

[[noreturn]] void deflate_check_failed(const char* text);

}  // namespace tessel

#ifdef NDEBUG
#define TESSEL_DEFLATE_CHECK(condition, text) ((void)0)
#else
#define TESSEL_DEFLATE_CHECK(condition, text) \
  ((condition) ? (void)0 : ::tessel::deflate_check_failed(text))
#endif
