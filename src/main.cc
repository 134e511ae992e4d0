// The tool's entry point; everything happens in KeloDesktopNEManager::main.
#include <string>
#include <vector>

#include "kelo_desktop_ne_manager.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  return kelo::KeloDesktopNEManager::main(arguments);
}
