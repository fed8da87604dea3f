// How COMn names find a device on POSIX systems.
//
// COMn resolves to the symbolic link "comn" in the port map folder when that
// link exists, and otherwise to /dev/ttyS<n-1>. A name with a '/' is a path.
#pragma once

#include <optional>
#include <string>

namespace serial {

// $COMFLASH_PORTS if set, else ${XDG_CONFIG_HOME:-$HOME/.config}/comflash/ports.
std::string PortMapFolder();

// The COM number of "COMn" (case-insensitive, n >= 1), or nothing.
std::optional<int> ComPortNumber(const std::string& name);

// The path a port name opens.
std::string ResolvePortName(const std::string& name);

// Maps COMn to target in the port map folder (creating the folder), replacing
// an earlier mapping. Returns the link's path. Throws std::runtime_error.
std::string MapComPort(const std::string& comName, const std::string& target);

// COMn -> target in the port map for as long as the object lives. On the way
// out it leaves a link that another device has taken over since, and says on
// standard error, under the program's name, when the link cannot be removed.
class ScopedComMapping {
 public:
  ScopedComMapping(const std::string& comName, std::string target, std::string program);
  ~ScopedComMapping();
  ScopedComMapping(const ScopedComMapping&) = delete;
  ScopedComMapping& operator=(const ScopedComMapping&) = delete;

 private:
  std::string target_;
  std::string link_;
  std::string program_;
};

}  // namespace serial
