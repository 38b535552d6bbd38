// torvo-launch-probe: starts a program and measures how long it takes until a Unix socket at a
// given path is listening (as the kernel's /proc/net/unix table shows it: nothing connects,
// so the program sees no client). Prints "<milliseconds> <pid>" and leaves the program
// running for the caller to measure further and stop; the program's standard output goes to
// the probe's standard error.
//
//   torvo-launch-probe SOCKET_PATH TIMEOUT_SECONDS PROGRAM [ARGUMENT...]
//
// Exits 1, after killing the program, when the socket is not listening within the time, and
// 1 when the program ends first.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// SO_ACCEPTCON in the Flags column: the socket is listening.
constexpr unsigned long acceptingFlag = 0x10000;

// Whether /proc/net/unix lists a listening socket bound to `path`.
bool listening(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the column titles
  while (std::getline(table, line)) {
    if (line.size() < path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0) continue;
    char slot[32];
    unsigned long refs = 0, protocol = 0, flags = 0;
    if (std::sscanf(line.c_str(), "%31s %lx %lx %lx", slot, &refs, &protocol, &flags) == 4 &&
        (flags & acceptingFlag) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: torvo-launch-probe SOCKET_PATH TIMEOUT_SECONDS PROGRAM [ARGUMENT...]\n");
    return 64;
  }
  const std::string socket = argv[1];
  const auto timeout = std::chrono::seconds(std::atoi(argv[2]));
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("torvo-launch-probe: fork");
    return 1;
  }
  if (child == 0) {
    // The program must not hold the probe's standard output: a caller reading it to its end
    // would wait for the program to exit.
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ::execv(argv[3], argv + 3);
    std::perror("torvo-launch-probe: exec");
    ::_exit(127);
  }
  while (std::chrono::steady_clock::now() - start < timeout) {
    if (listening(socket)) {
      const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
      std::printf("%.2f %d\n", elapsed.count(), static_cast<int>(child));
      return 0;
    }
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      std::fprintf(stderr, "torvo-launch-probe: the program ended (status %d) before listening\n", status);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  std::fprintf(stderr, "torvo-launch-probe: no listening socket at %s in time\n", socket.c_str());
  return 1;
}
