#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace platformsim
{

/** A property: its D-Bus type and its value in the normalised JSON form. */
struct Property
{
    std::string signature;
    nlohmann::json value;
};

/** A method: what it takes, what it answers, or the error it answers. */
struct Method
{
    std::string in;
    std::string out;
    nlohmann::json reply;  // normalised values for `out`
    std::string errorName; // answered instead of `reply` when not empty
    std::string errorMessage;
};

struct Interface
{
    std::map<std::string, Property> properties;
    std::map<std::string, Method> methods;
};

struct Object
{
    std::map<std::string, Interface> interfaces;
};

/** One simulated service as the configuration describes it. */
struct ServiceConfig
{
    std::string name;
    std::string objectManager; // empty when the service has none
    std::map<std::string, Object> objects;
    bool absent = false; // start without the name
};

struct Config
{
    std::vector<ServiceConfig> services;
    bool mapper = true;
    /** How many of the newest received calls the call log keeps. */
    size_t callLogLimit = 100000;
};

/** Builds the configuration from its JSON form; throws
 *  std::invalid_argument naming the faulty place. */
Config parseConfig(const nlohmann::json& config);

/** Parses one object, {"path": ..., "interfaces": {...}}.
 *  Throws std::invalid_argument. */
std::pair<std::string, Object> parseObject(const nlohmann::json& object,
                                           const std::string& where);

/** Whether the interface is one that every object serves itself. */
bool isStandardInterface(const std::string& name);

} // namespace platformsim
