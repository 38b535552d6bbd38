// PhoneFiles: finds the file of the phone web app that a request path under /phone/ names, in
// the folder given by --phone-dir. Refuses anything that could leave that folder (".." and dot
// segments, percent-encoded escapes, symbolic links pointing out). Pure functions over the file
// system, safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvo::PhoneFiles {

struct Found {
  std::filesystem::path path;  // a regular file inside the folder, symbolic links resolved
  std::string contentType;
};

// The file for `rest`, the undecoded request path after "/phone/" (without the query); the
// empty path names index.html. Nothing when the path is refused or names no regular file.
std::optional<Found> find(const std::string& dir, std::string_view rest);

// The Content-Type answered for a file with this name.
std::string contentType(const std::filesystem::path& path);

}  // namespace torvo::PhoneFiles
