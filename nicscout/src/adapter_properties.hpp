#pragma once

#include <array>
#include <string>

namespace nicscout
{

constexpr const char* serviceName = "xyz.openbmc_project.NetworkAdapter";
constexpr const char* rootPath = "/xyz/openbmc_project/NetworkAdapter";
constexpr const char* interfaceName =
    "xyz.openbmc_project.NetworkAdapter.Device";
constexpr const char* inventoryPath = "/var/lib/smbios/network";

/** One field of a PCI function's configuration header. */
struct PciField
{
    int size;   // bytes; -1 for the rows that are not header fields
    int offset; // in the configuration header; -1 as above
    const char* name;
};

/** The per-function fields of an adapter. Rows with an offset get an empty
 *  property; the two rows without one are the properties with values. */
constexpr std::array<PciField, 8> PciFieldTable{{
    {-1, -1, "FunctionType"},
    {-1, -1, "DeviceClass"},
    {2, 0x00, "VendorId"},
    {2, 0x02, "DeviceId"},
    {3, 0x09, "ClassCode"},
    {1, 0x08, "RevisionId"},
    {2, 0x2e, "SubsystemId"},
    {2, 0x2c, "SubsystemVendorId"},
}};

/** "/xyz/openbmc_project/NetworkAdapter/enp<bus>s<device>", in decimal. */
std::string adapterPath(int bus, int device);

/** The port index plus one, in decimal, computed without overflow. */
std::string portCount(int port);

/** "SingleFunction" for a port index of 0 or less, else "MultiFunction". */
std::string deviceType(int port);

/** Whether a generated property name may be registered: only ASCII
 *  letters, digits and "_", and a name D-Bus accepts as a member (not
 *  empty, no leading digit, at most 255 characters). */
bool isPublishableName(const std::string& name);

/** The text with every byte that is not part of a character D-Bus accepts
 *  in a string replaced by U+FFFD: malformed or overlong sequences,
 *  surrogates, code points past U+10FFFF and the noncharacters. */
std::string repairUtf8(const std::string& text);

} // namespace nicscout
