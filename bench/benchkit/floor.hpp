#pragma once

// The floor service (bench/floor, found through FLOOR) run beside a daemon
// on the same bus, and the calls its figures come from.

#include "sdbus/bus.hpp"
#include "testkit/process.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace benchkit
{

constexpr const char* floorService = "local.benchfloor";
constexpr const char* floorPath = "/local/benchfloor";
constexpr const char* floorInterface = "local.benchfloor";

class Floor
{
  public:
    /** Starts the floor service and waits for its name; the start-up time
     *  is one of its figures. Ends the program when it does not start. */
    Floor();

    /** How the floor service is started (argv of FLOOR). */
    static testkit::Process::Options options();

    pid_t pid() const
    {
        return process->pid();
    }

    /** Milliseconds from exec to the name owned. */
    double startupMs() const
    {
        return startup;
    }

    /** One Set of the boolean property, answered. */
    void set(bool value);
    /** One Get of the boolean property. */
    bool get();
    /** One call of the method that returns at once. */
    void call();
    /** One call of the method that returns length 64-bit values; the
     *  number it answered with. */
    std::size_t array(uint32_t length);
    /** One org.freedesktop.DBus.Peer.Ping (answered by sd-bus itself). */
    void ping();
    /** One SplitFile of a file: read and split into lines and fields. */
    void splitFile(const std::string& path);
    /** One EmitChanges: count PropertiesChanged signals, then the reply. */
    void emitChanges(unsigned count);

  private:
    std::unique_ptr<testkit::Process> process;
    double startup = 0;
    sdbus::Bus client;
};

} // namespace benchkit
