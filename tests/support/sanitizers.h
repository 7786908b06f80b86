// What a sanitizer build changes under the tests' feet.
#ifndef ZUB_TESTS_SUPPORT_SANITIZERS_H_
#define ZUB_TESTS_SUPPORT_SANITIZERS_H_

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUB_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZUB_ADDRESS_SANITIZER 1
#endif

// Code that must really fault, not be stopped by a check in front of it.
#define ZUB_NO_SANITIZE __attribute__((no_sanitize("undefined")))

namespace zub::testing {

// AddressSanitizer brings its own operator new, which ends the process when
// memory runs out instead of calling the new-handler, and it reserves far
// more address space than any memory limit admits: the tool's own
// out-of-memory path cannot be reached in such a build.
#ifdef ZUB_ADDRESS_SANITIZER
inline constexpr bool kOwnAllocator = false;
#else
inline constexpr bool kOwnAllocator = true;
#endif

}  // namespace zub::testing

#endif  // ZUB_TESTS_SUPPORT_SANITIZERS_H_
