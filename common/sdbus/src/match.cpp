#include "sdbus/match.hpp"

namespace sdbus
{

Match::Match(Bus& bus, const std::string& rule, Callback cb) :
    callback(std::make_unique<Callback>(std::move(cb)))
{
    detail::check(sd_bus_add_match(bus.get(), &slot, rule.c_str(), onMessage,
                                   callback.get()),
                  "sd_bus_add_match");
}

Match::~Match()
{
    sd_bus_slot_unref(slot);
}

int Match::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* cb = static_cast<Callback*>(userdata);
    try
    {
        Message msg(m);
        (*cb)(msg);
    }
    catch (...)
    {
        deferException(std::current_exception());
    }
    return 0;
}

} // namespace sdbus
