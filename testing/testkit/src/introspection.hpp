#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace testkit
{

// One object's interfaces as comparable lines: interface name to the set of
// its members, one line each ("method Name in(ii) out(i)", "property Name
// i readwrite", "signal Name(s)", and "<member> @annotation=value" for each
// annotation). Order does not matter. An argument's name is not part of its
// line: methods registered without names show none on the bus.
// A property without an EmitsChangedSignal annotation gets "true", the
// D-Bus default, so a file may spell it out or leave it.
using InterfaceLines = std::map<std::string, std::set<std::string>>;

// An introspection document: the interfaces of the node itself and the
// names of its child nodes, in document order.
struct IntrospectedNode
{
    InterfaceLines interfaces;
    std::vector<std::string> children;
    // The interfaces of each child node that has any (a contract file's
    // objects), by the child's name.
    std::map<std::string, InterfaceLines> childInterfaces;
};

// Reads the XML of an Introspect reply or of an introspection file.
// Throws std::runtime_error on XML that cannot be read.
IntrospectedNode parseIntrospection(const std::string& xml);

} // namespace testkit
