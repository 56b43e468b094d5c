#pragma once

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace platformsim::test
{

struct Reply
{
    std::string error; // empty on success
    std::string message;
    nlohmann::json values = nlohmann::json::array();
};

struct Signal
{
    std::string sender;
    std::string path;
    std::string interface;
    std::string member;
    nlohmann::json args;
};

/** A plain client of the system bus for the tests: calls (synchronous or
 *  not) and signal matches, all on one connection. */
class BusClient
{
  public:
    BusClient();
    ~BusClient();

    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    Reply call(const std::string& service, const std::string& path,
               const std::string& interface, const std::string& member,
               const std::string& sig = "",
               const nlohmann::json& args = nlohmann::json::array());

    /** Sends the call; its reply lands in asyncReplies() under the tag. */
    void callAsync(const std::string& tag, const std::string& service,
                   const std::string& path, const std::string& interface,
                   const std::string& member, const std::string& sig = "",
                   const nlohmann::json& args = nlohmann::json::array());

    /** Replies of asynchronous calls, in the order they were processed. */
    const std::vector<std::pair<std::string, Reply>>& asyncReplies() const
    {
        return replies;
    }

    /** Records every signal that matches the rule. */
    void watch(const std::string& rule);

    const std::vector<Signal>& signals() const
    {
        return received;
    }

    /** Serves the connection until cond holds or the deadline passes. */
    bool waitFor(const std::function<bool()>& cond,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20));

    /** The unique name owning a well-known name, or "" when none. */
    std::string ownerOf(const std::string& name);

  private:
    struct Pending
    {
        BusClient* client;
        std::string tag;
    };

    static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*);
    sd_bus_message* newCall(const std::string& service, const std::string& path,
                            const std::string& interface,
                            const std::string& member, const std::string& sig,
                            const nlohmann::json& args);

    sd_bus* bus = nullptr;
    std::list<Pending> pending;
    std::vector<std::pair<std::string, Reply>> replies;
    std::vector<Signal> received;
};

} // namespace platformsim::test
