// A private temporary folder, removed with everything in it.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "comflash-test") {
    // A fresh name each try; create_directory refuses one that exists.
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() /
                             (prefix + "-" + std::to_string(rng() % 1000000000000ull));
      if (std::filesystem::create_directory(candidate)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary folder");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path of a file in the folder.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
