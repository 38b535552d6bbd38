// torvo-phone: the phone's side of the protocol as a command-line tool.
#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "tools/phone_commands.h"
#include "tools/phone_store.h"

int main(int argc, char** argv) {
  using namespace torvo;
  Phone::Invocation defaults;
  defaults.stateFolder = PhoneStore::defaultFolder();
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0) defaults.name = host;
  const auto invocation = Phone::parse(std::vector<std::string>(argv + 1, argv + argc), defaults);
  if (!invocation) {
    std::cerr << "torvo-phone: " << invocation.error() << "\n" << Phone::helpText();
    return Phone::usage;
  }
  return Phone::execute(*invocation, std::cout, std::cerr);
}
