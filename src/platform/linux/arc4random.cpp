// arc4random for glibc before 2.36, so that the agent runs on every current
// distribution (glibc 2.34 and later).
//
// libstdc++ is linked in (-static-libstdc++), and GCC 12's, built on glibc 2.36, takes
// std::random_device's entropy from arc4random: cpp-httplib's client code has one, and
// that alone would make the program need GLIBC_2.36. This definition satisfies it
// inside the program, from getrandom (glibc 2.25), which is where glibc's own comes from.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  for (;;) {
    const ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    // The kernel's pool is always ready once the system has booted; nothing else can
    // fail for four bytes, and glibc's own arc4random aborts as well.
    if (got < 0 && errno != EINTR) std::abort();
  }
}
