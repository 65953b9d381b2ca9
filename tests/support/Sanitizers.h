// Which sanitizer a test program is built with, for the few tests whose
// subject the sanitizer's own runtime changes (address-space and descriptor
// limits, the allocation functions). g++ and clang++ say it differently.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TM_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define TM_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TM_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define TM_TSAN 1
#endif
#endif
