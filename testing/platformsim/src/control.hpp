#pragma once

#include "sdbus_ptr.hpp"

namespace platformsim
{

class Simulator;

/** The control service through which tests steer the simulator. */
class Control
{
  public:
    static constexpr const char* serviceName = "local.platformsim";
    static constexpr const char* path = "/local/platformsim";
    static constexpr const char* interface = "local.platformsim.Control";

    /** Opens the connection and requests the control name.
     *  Throws std::runtime_error. */
    explicit Control(Simulator& simulator);

    sd_bus* bus() const
    {
        return connection.get();
    }

    /** Processes what the connection has, until nothing is left.
     *  Returns whether anything was processed; throws on a lost bus. */
    bool process();

  private:
    static int onMessage(sd_bus_message* m, void* userdata,
                         sd_bus_error* error);
    void handle(sd_bus_message* call);

    Simulator& simulator;
    BusPtr connection;
    SlotPtr filter;
};

} // namespace platformsim
