// The Windows port list and what a port's open says, portable so that it is tested anywhere: the
// ports the system lists (SystemPorts.h) become the catalogue's entries, and the system error of
// a failed open of a port's device becomes the port's state and the reason it cannot be used.
// Listing opens nothing: Windows tells whether another program has a port only to an open, and
// only a job opens a port, the one chosen (PortCatalogWin32.cpp makes the system calls).
#pragma once

#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/SystemPorts.h"

namespace serial {

// The port the system lists, with its device name (its identity and description), taken as free.
[[nodiscard]] PortInfo ListedPort(const SystemPort& system);

// Every listed port through ListedPort, ascending (as ListSystemPorts gives them).
[[nodiscard]] std::vector<PortInfo> ListedPorts(const std::vector<SystemPort>& system);

// The state and reason of `port` after its open failed with the system error `error`
// (`errorText`: the system's text for it, "" when unknown).
void ExplainOpenError(PortInfo& port, unsigned long error, const std::string& errorText);

}  // namespace serial
