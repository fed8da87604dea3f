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

}  // namespace serial
