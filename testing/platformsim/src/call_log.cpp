#include "call_log.hpp"

#include "sdbusjson/converter.hpp"

#include <cstdio>
#include <exception>

namespace platformsim
{

using sdbusjson::Converter;

namespace
{

void printLine(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

void CallLog::record(CallRecord call)
{
    if (verbose)
    {
        std::string line = "call " + call.service + " " + call.path + " " +
                           call.interface + " " + call.member;
        if (!call.detail.empty())
        {
            line += " " + call.detail;
        }
        printLine(line);
    }
    calls.push_back(std::move(call));
    while (calls.size() > limit)
    {
        calls.pop_front();
    }
}

void CallLog::signalSent(const std::string& service, sd_bus_message* signal)
{
    if (!verbose)
    {
        return;
    }
    std::string line = "signal " + service + " ";
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    line += text(sd_bus_message_get_path(signal)) + " " +
            text(sd_bus_message_get_interface(signal)) + " " +
            text(sd_bus_message_get_member(signal));
    try
    {
        auto args = Converter::readBody(signal);
        auto rendered = Converter::renderArgs(
            text(sd_bus_message_get_signature(signal, 1)), args);
        if (!rendered.empty())
        {
            line += " " + rendered;
        }
    }
    catch (const std::exception& e)
    {
        line += std::string(" <unreadable: ") + e.what() + ">";
    }
    printLine(line);
}

} // namespace platformsim
