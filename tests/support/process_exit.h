// The process exit as platform tables for tests and fuzzing make it: an
// exception a caller can catch, instead of the end of the process.
#ifndef ZUB_TESTS_SUPPORT_PROCESS_EXIT_H_
#define ZUB_TESTS_SUPPORT_PROCESS_EXIT_H_

#include <cstdint>

namespace zub::testing {

// Thrown by the fake process exit.
struct ProcessExit {
  std::uint32_t status;
};

// Runs `body`, which must end the process; gives the exit status.
template <typename Body>
std::uint32_t ExitStatusOf(Body body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit.status;
  }
  return 0xDEADBEEF;  // the body returned: no test expects this value
}

}  // namespace zub::testing

#endif  // ZUB_TESTS_SUPPORT_PROCESS_EXIT_H_
