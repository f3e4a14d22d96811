// Prints the host's interface list twice: once at start, and again after a line
// arrives on standard input, so a test can make traffic in between and read the
// rates of that interval. One entry per line, "title<TAB>ip<TAB>output<TAB>input",
// and an empty line after each list.
#include <iostream>
#include <string>

#include "net/interfaces.h"

namespace {

void print(const NetIfaceList& list) {
  for (const NetIface& iface : list) {
    std::cout << iface.title << '\t' << iface.ip << '\t' << iface.output << '\t' << iface.input << '\n';
  }
  std::cout << std::endl;
}

}  // namespace

int main() {
  print(enumerate_interfaces());
  std::string line;
  if (!std::getline(std::cin, line)) return 1;
  print(enumerate_interfaces());
  return 0;
}
