#include "serial/device/posix/PortMap.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace serial {

namespace fs = std::filesystem;

std::string PortMapFolder() {
  if (const char* ports = std::getenv("COMFLASH_PORTS"); ports && *ports) return ports;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    config = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  return config + "/comflash/ports";
}

std::optional<int> ComPortNumber(const std::string& name) {
  if (name.size() < 4) return std::nullopt;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return std::nullopt;
  long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
    n = n * 10 + (name[i] - '0');
    if (n > 1000000) return std::nullopt;
  }
  if (n < 1) return std::nullopt;
  return static_cast<int>(n);
}

std::string ResolvePortName(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const auto n = ComPortNumber(name);
  if (!n) return name;
  const fs::path link = fs::path(PortMapFolder()) / ("com" + std::to_string(*n));
  std::error_code ec;
  if (fs::is_symlink(link, ec)) return link.string();
  return "/dev/ttyS" + std::to_string(*n - 1);
}

std::string MapComPort(const std::string& comName, const std::string& target) {
  const auto n = ComPortNumber(comName);
  if (!n) throw std::runtime_error("not a COM port name: " + comName);
  const fs::path folder = PortMapFolder();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw std::runtime_error("cannot create " + folder.string() + ": " + ec.message());
  const fs::path link = folder / ("com" + std::to_string(*n));
  const fs::path temp = folder / ("com" + std::to_string(*n) + ".new");
  fs::remove(temp, ec);
  fs::create_symlink(target, temp, ec);
  if (ec) throw std::runtime_error("cannot create " + temp.string() + ": " + ec.message());
  fs::rename(temp, link, ec);  // atomic replacement of an earlier mapping
  if (ec) throw std::runtime_error("cannot create " + link.string() + ": " + ec.message());
  return link.string();
}

ScopedComMapping::ScopedComMapping(const std::string& comName, std::string target,
                                   std::string program)
    : target_(std::move(target)),
      link_(MapComPort(comName, target_)),
      program_(std::move(program)) {}

ScopedComMapping::~ScopedComMapping() {
  std::error_code ec;
  if (std::filesystem::read_symlink(link_, ec) == target_ && !ec) {
    std::filesystem::remove(link_, ec);
    if (ec) std::cerr << program_ << ": cannot remove " << link_ << ": " << ec.message() << "\n";
  }
}

}  // namespace serial
