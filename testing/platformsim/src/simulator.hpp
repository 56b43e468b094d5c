#pragma once

#include "call_log.hpp"
#include "control.hpp"
#include "mapper.hpp"
#include "model.hpp"
#include "service.hpp"

#include <memory>
#include <string>
#include <vector>

namespace platformsim
{

/** All simulated services, the object mapper and the control service, and
 *  the loop that serves them. */
class Simulator
{
  public:
    /** Connects every service (the mapper first, the control service
     *  last). Throws std::runtime_error or std::invalid_argument. */
    Simulator(Config config, bool verbose);
    ~Simulator();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /** Serves until the signal descriptor becomes readable; returns the
     *  exit status. Throws std::runtime_error when a connection fails. */
    int run(int signalFd);

    /** The simulated service of that name; throws BusError. */
    Service& service(const std::string& name);

    CallLog& log()
    {
        return callLog;
    }

  private:
    bool processAll();

    CallLog callLog;
    std::unique_ptr<Mapper> mapper;
    std::vector<std::unique_ptr<Service>> services;
    std::unique_ptr<Control> control;
};

} // namespace platformsim
