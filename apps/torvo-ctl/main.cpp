// torvo-ctl: the desktop app's side of the agent's local socket as a command-line tool.
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "app_socket/agent_client.h"
#include "base/paths.h"
#include "tools/ctl_commands.h"
#include "tools/doctor_machine.h"

int main(int argc, char** argv) {
  using namespace torvo;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto invocation = Ctl::parse(args, AgentSocket::path());
  if (!invocation) {
    std::cerr << "torvo-ctl: " << invocation.error() << "\n" << Ctl::helpText();
    return Ctl::usage;
  }
  if (invocation->doctor) {
    Doctor::LocalMachine machine({.socket = invocation->socket});
    return Doctor::run(machine, std::cout);
  }
  const auto send = [&](const AppRequest& request) {
    return AgentClient::blockingSend(request, invocation->socket, 10);
  };
  return Ctl::execute(*invocation, send, std::cout, std::cerr,
                      static_cast<std::int64_t>(std::time(nullptr)));
}
