// A registry held in memory written as WiX registry elements, the rows an
// installer writes through its own registry table.
#ifndef ORVO_TOOLS_MSI_REGISTRY_WIX_REGISTRY_H_
#define ORVO_TOOLS_MSI_REGISTRY_WIX_REGISTRY_H_

#include <cstdint>
#include <string>

#include "server/registrar/registry.h"

namespace orvo::msi {

// Appends to |out| one line per entry of |registry|, keys in the order of the
// registry's enumeration, parents before children:
//   - each value: <RegistryValue Root=".." Key=".." [Name=".."] Type="string" Value=".."/>
//     (no Name for the default value);
//   - each key with neither values nor subkeys: a RegistryValue named "*"
//     with no value, the table row that creates the key on install and
//     removes it on uninstall.
// Keys that hold something need no row of their own: the installer creates
// them with their values and removes them when they are left empty.
// Text is UTF-8 with XML's special characters escaped. Data is formatted
// text for the installer, so "[#FILE]" in it becomes the installed path of
// FILE; data that begins with "#" (which the table would read as a number)
// gets a second "#", which keeps it a string. Roots other than HKCR, HKCU,
// HKLM and HKU, and the value names "+", "-" and "*" (the table's key
// actions) give kResultInvalidArg; the registry's own failures are passed on.
int32_t WriteWixRegistry(registrar::Registry& registry, std::string* out);

}  // namespace orvo::msi

#endif  // ORVO_TOOLS_MSI_REGISTRY_WIX_REGISTRY_H_
