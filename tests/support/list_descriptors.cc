// A child for the tests: writes the numbers of its open descriptors, one a line, to standard
// output, without a shell or a program whose listing differs from system to system.
#include <fcntl.h>
#include <unistd.h>

#include <string>

int main() {
  std::string open;
  for (int descriptor = 0; descriptor < 1024; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0) {
      open += std::to_string(descriptor) + "\n";
    }
  }
  return write(STDOUT_FILENO, open.data(), open.size()) == static_cast<ssize_t>(open.size()) ? 0
                                                                                             : 1;
}
