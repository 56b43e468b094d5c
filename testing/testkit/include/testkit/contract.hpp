#pragma once

#include <string>
#include <vector>

namespace testkit
{

// A daemon's D-Bus contract is its introspection file under dist/: a root
// <node> whose child nodes are the objects it serves, named by their full
// path, each with its interfaces as Introspect shows them. A part of a path
// or of a member's name in braces ("rs{resource}cs{controller}ds0",
// "MACAddress{port}") stands for a number, decimal or hexadecimal digits; a
// path or member named in full is matched before such a pattern.
//
// contractDifferences walks the objects that `service` serves on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS) from "/" with Introspect and compares every
// object that has an interface besides Peer, Introspectable and Properties
// with the file, regardless of order: interfaces, methods and their
// argument types, properties with type and access, signals, and every
// annotation. It returns one line per difference, empty when the daemon
// serves exactly what the file says; every object of the file must be
// served at least once. Throws std::runtime_error when the file cannot be
// read or the service cannot be introspected.
std::vector<std::string> contractDifferences(const std::string& service,
                                             const std::string& xmlFile);

} // namespace testkit
