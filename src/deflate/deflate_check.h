#pragma once
// Consistency conditions of the compressor. The optimised build (NDEBUG)
// compiles them to nothing unless TESSEL_DEFLATE_CHECKS is defined, as it is
// for the copy of the compressor that the deflate tests use; a build with the
// checks reports a broken condition with its text and stops, since the output
// would no longer be trustworthy.

namespace tessel {

[[noreturn]] void deflate_check_failed(const char* text);

}  // namespace tessel

#if defined(NDEBUG) && !defined(TESSEL_DEFLATE_CHECKS)
#define TESSEL_DEFLATE_CHECK(condition, text) ((void)0)
#else
#define TESSEL_DEFLATE_CHECK(condition, text) \
  ((condition) ? (void)0 : ::tessel::deflate_check_failed(text))
#endif
