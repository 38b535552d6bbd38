// Writes arbitrary bytes as the Info.plist of a scratch app bundle owned by root and reads it
// with both readers: the login-app scan's bundle identifier and the socket peer check. The
// peer check must accept `identifier "X"` exactly when the scan reads X (for an X the
// requirement form can carry), so the two readers never disagree about a bundle.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app_socket/peer_identity.h"
#include "setup/app_file_system.h"

namespace {

// A bundle with a program inside, in a private folder removed when the fuzzer exits. Every
// part is owned by the user running the fuzzer and writable by that user alone.
struct Bundle {
  std::filesystem::path folder;
  std::filesystem::path root;
  std::filesystem::path infoPlist;
  std::filesystem::path program;

  Bundle() {
    char name[] = "/tmp/torvo-fuzz-plist-XXXXXX";
    if (::mkdtemp(name) == nullptr) std::abort();
    folder = name;
    root = folder / "Fuzz.app";
    std::filesystem::create_directories(root / "Contents" / "MacOS");
    infoPlist = root / "Contents" / "Info.plist";
    program = root / "Contents" / "MacOS" / "fuzz";
    std::ofstream(program) << "program";
    for (const auto& path : {root, root / "Contents", root / "Contents" / "MacOS", program}) {
      ::chmod(path.c_str(), 0755);
    }
  }
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;
  ~Bundle() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

const Bundle& scratchBundle() {
  static const Bundle bundle;
  return bundle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const Bundle& bundle = scratchBundle();
  {
    std::ofstream out(bundle.infoPlist, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  ::chmod(bundle.infoPlist.c_str(), 0644);
  const auto identifier = DiskAppFileSystem::bundleID(bundle.root);
  if (::geteuid() != 0) return 0;  // the peer check only trusts files owned by root
  if (identifier && !identifier->empty() && identifier->find('"') == std::string::npos) {
    if (!Peer::satisfies(bundle.program, "identifier \"" + *identifier + "\"")) std::abort();
  }
  if (Peer::satisfies(bundle.program, "identifier \"fuzz.other\"") && identifier != "fuzz.other") {
    std::abort();
  }
  return 0;
}
